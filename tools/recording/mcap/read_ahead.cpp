#include "recording/mcap/read_ahead.h"

#include <algorithm>

#include "recording/mcap/recording.h"

namespace travik_mcap {

ReadAhead::ReadAhead(Reader& reader, bool loop) : m_reader(reader), m_loop(loop) {
    m_thread = std::thread(&ReadAhead::Run, this);
}

ReadAhead::~ReadAhead() {
    Stop();
    m_thread.join();
}

void ReadAhead::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_cond.notify_all();
}

ReadAheadItem ReadAhead::Pop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return !m_queue.empty(); });
    ReadAheadItem item = std::move(m_queue.front());
    m_queue.pop_front();
    m_bytes -= item.bytes.size();
    if (item.kind == ReadAheadItem::kEndOfPass) --m_endsQueued;
    m_cond.notify_all();
    return item;
}

ScanResult ReadAhead::Result() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_result;
}

std::string ReadAhead::Error() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

ReadAhead::Stats ReadAhead::Snapshot() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Stats s;
    s.items = m_queue.size();
    s.bytes = m_bytes;
    s.passes = m_passes;
    s.waiting = m_waiting;
    return s;
}

bool ReadAhead::Push(ReadAheadItem item) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_waiting = true;
    // An empty queue always takes the item, however large: one message is
    // never held back by the byte bound.
    m_cond.wait(lock, [this] {
        return m_stop || m_queue.empty() || (m_bytes < kReadAheadBytes && m_queue.size() < kReadAheadItems);
    });
    m_waiting = false;
    if (m_stop) return false;
    m_bytes += item.bytes.size();
    if (item.kind == ReadAheadItem::kEndOfPass) ++m_endsQueued;
    m_queue.push_back(std::move(item));
    m_cond.notify_all();
    return true;
}

void ReadAhead::Run() {
    std::string error;
    ScanResult result;
    for (bool more = true; more;) {
        {
            // Another pass waits for the pacer to take the end of an earlier one.
            std::unique_lock<std::mutex> lock(m_mutex);
            m_waiting = true;
            m_cond.wait(lock, [this] { return m_stop || m_endsQueued < kReadAheadPasses; });
            m_waiting = false;
            if (m_stop) break;
            ++m_passes;
        }
        bool any = false;
        MessageDecoder decoder;
        result = m_reader.Scan([&](const Channel& ch, const Message& m) {
            Decoded d;
            if (!decoder.Decode(ch, m, d, error)) return false;
            if (d.kind == Decoded::kOther) return true;
            ReadAheadItem item;
            item.kind = d.kind == Decoded::kLog ? ReadAheadItem::kLog : ReadAheadItem::kImage;
            item.logTime = m.logTime;
            std::copy(d.attrs, d.attrs + 5, item.attrs);
            item.tag = d.tag;
            item.bytes.assign(reinterpret_cast<const char*>(d.data), d.size);
            any = true;
            return Push(std::move(item));
        });
        more = m_loop && any && error.empty() && result.status != ScanResult::kCorrupt &&
               result.status != ScanResult::kStopped;
        if (more) {
            ReadAheadItem end;
            end.kind = ReadAheadItem::kEndOfPass;
            more = Push(std::move(end));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_result = result;
    m_error = error;
    ReadAheadItem end;
    end.kind = ReadAheadItem::kEnd;
    m_queue.push_back(std::move(end));  // past the bound: Pop must always see the end
    m_cond.notify_all();
}

}  // namespace travik_mcap
