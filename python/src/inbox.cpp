#include "inbox.h"

#include <utility>

namespace travik_py {

void Inbox::PushImage(ReceivedImage image) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return;
        int c = image.channel;
        if (m_filled[c]) ++m_droppedImages;
        image.seq = m_nextSeq++;
        m_slots[c] = std::move(image);
        m_filled[c] = true;
    }
    m_cond.notify_all();
}

void Inbox::PushLogText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return;
        m_droppedLines += m_lines.Push(text);
    }
    m_cond.notify_all();
}

bool Inbox::PopOldestImage(ReceivedImage& out) {
    int best = -1;
    for (int c = 0; c < kChannels; ++c)
        if (m_filled[c] && (best < 0 || m_slots[c].seq < m_slots[best].seq)) best = c;
    if (best < 0) return false;
    out = std::move(m_slots[best]);
    m_slots[best] = ReceivedImage{};
    m_filled[best] = false;
    return true;
}

template <class Pop>
WaitResult Inbox::Wait(Clock::time_point until, Pop pop) {
    std::unique_lock<std::mutex> lock(m_mutex);
    WaitResult result = WaitResult::Timeout;
    m_cond.wait_until(lock, until, [&] {
        if (m_closed) {
            result = WaitResult::Closed;
        } else if (pop()) {
            result = WaitResult::Item;
        } else if (m_lost) {
            result = WaitResult::Lost;
        } else {
            return false;
        }
        return true;
    });
    return result;
}

WaitResult Inbox::WaitImage(Clock::time_point until, ReceivedImage& out) {
    return Wait(until, [&] { return PopOldestImage(out); });
}

WaitResult Inbox::WaitLog(Clock::time_point until, std::string& out) {
    return Wait(until, [&] { return m_lines.Pop(out); });
}

void Inbox::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_connected = false;
        for (int c = 0; c < kChannels; ++c) {
            m_slots[c] = ReceivedImage{};
            m_filled[c] = false;
        }
        m_lines.Clear();
    }
    m_cond.notify_all();
}

void Inbox::SetLost() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lost = true;
        m_connected = false;
    }
    m_cond.notify_all();
}

void Inbox::SetConnected(bool up) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connected = up && !m_closed;
    if (up) m_lost = false;
}

bool Inbox::Connected() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

unsigned long long Inbox::DroppedImages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_droppedImages;
}

unsigned long long Inbox::DroppedLogLines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_droppedLines;
}

}  // namespace travik_py
