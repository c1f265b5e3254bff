#include "travik_bench/line_batcher.h"

#include <chrono>

#include "travik_bench/workload.h"

namespace travik_bench {

LineBatcher::LineBatcher(Deliver deliver, size_t cap, bool blockWhenFull)
    : m_deliver(std::move(deliver)), m_cap(cap), m_block(blockWhenFull) {
    m_thread = std::thread([this] { Run(); });
}

LineBatcher::~LineBatcher() { Finish(1.0); }

bool LineBatcher::Stage(const char* text, size_t n, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_staged.size() + n > m_cap) {
        if (!m_block || m_finishing || stop.load()) return false;
        // Bounded wait, so that `stop` is seen even without a pass.
        m_cond.wait_for(lock, std::chrono::milliseconds(10));
    }
    if (m_finishing) return false;
    const bool wake = m_staged.empty();
    m_staged.append(text, n);
    lock.unlock();
    if (wake) m_cond.notify_all();
    return true;
}

void LineBatcher::Run() {
    std::string batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cond.wait(lock, [&] { return !m_staged.empty() || m_finishing; });
            if (m_staged.empty()) {  // finishing, nothing left
                m_done = true;
                return;
            }
            batch.swap(m_staged);
            m_staged.clear();
        }
        m_cond.notify_all();  // room again for a producer waiting on the cap
        const unsigned long long lines = CountLines(batch.data(), batch.size());
        if (m_deliver(batch, m_abandon)) {
            m_accepted += lines;
        } else {
            m_refused += lines;
        }
    }
}

void LineBatcher::Finish(double seconds) {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finishing = true;
    }
    m_cond.notify_all();
    // A Deliver that keeps retrying is told to give up after `seconds`.
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!m_done.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    m_abandon = true;
    m_thread.join();
}

}  // namespace travik_bench
