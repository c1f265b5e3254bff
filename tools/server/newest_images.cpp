#include "server/newest_images.h"

#include "platform/clock.h"

namespace travik_tool {

NewestImageWorker::NewestImageWorker(int channels, Process process)
    : m_process(std::move(process)),
      m_slots(static_cast<size_t>(channels > 0 ? channels : 0)),
      m_full(m_slots.size(), false),
      m_sequence(m_slots.size(), 0),
      m_thread(&NewestImageWorker::Run, this) {}

NewestImageWorker::~NewestImageWorker() { Stop(); }

bool NewestImageWorker::Offer(int channel, RawImage image) {
    const uint64_t now = static_cast<uint64_t>(travik::NowMicros());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || channel < 0 || static_cast<size_t>(channel) >= m_slots.size()) return false;
    const size_t c = static_cast<size_t>(channel);
    if (m_full[c]) {
        ++m_skipped;
    } else {
        m_full[c] = true;
        ++m_waiting;
    }
    image.sequence = ++m_sequence[c];
    image.receivedMicros = now;
    m_slots[c] = std::move(image);
    m_cond.notify_one();
    return true;
}

void NewestImageWorker::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (RawImage& slot : m_slots) slot = RawImage();  // release the library's buffers now
}

uint64_t NewestImageWorker::TakeSkipped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t n = m_skipped;
    m_skipped = 0;
    return n;
}

void NewestImageWorker::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_cond.wait(lock, [this] { return m_stop || m_waiting > 0; });
        if (m_stop) return;
        for (size_t c = 0; c < m_slots.size(); ++c) {
            if (!m_full[c]) continue;
            RawImage image = std::move(m_slots[c]);
            m_slots[c] = RawImage();
            m_full[c] = false;
            --m_waiting;
            lock.unlock();
            m_process(static_cast<int>(c), image);
            image.data.reset();
            lock.lock();
            if (m_stop) return;
        }
    }
}

}  // namespace travik_tool
