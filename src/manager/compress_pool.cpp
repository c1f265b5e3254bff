#include "manager/compress_pool.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/diag.h"
#include "platform/net_startup.h"
#include "protocol/codec.h"

namespace travik {

int ResolveCompressThreads(int threads) {
    if (threads != 0) return threads;
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::min<unsigned>(std::max(cores, 1u), kAutoCompressThreads));
}

int WorkersFor(int threads) {
    if (threads <= 1) return 0;
    return CodecSplitsFrames() ? threads - 1 : threads;
}

void CompressPool::Start(int workers) {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = true;
    while (static_cast<int>(m_workers.size()) < workers) m_workers.emplace_back(&CompressPool::Run, this);
}

void CompressPool::Grow(int workers) {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    while (m_running && static_cast<int>(m_workers.size()) < workers) m_workers.emplace_back(&CompressPool::Run, this);
}

void CompressPool::Stop() {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    std::vector<std::thread> workers;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        workers.swap(m_workers);
        dropped.swap(m_tasks);
        m_cond.notify_all();
    }
    for (std::thread& t : workers) t.join();
}

bool CompressPool::Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_running || m_workers.empty()) return false;
    m_tasks.push_back(std::move(task));
    m_cond.notify_one();
    return true;
}

void CompressPool::Run() {
    NameThisThread("travik-zip");
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cond.wait(lock, [this] { return !m_running || !m_tasks.empty(); });
            if (!m_running) return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        // Tasks report their own failures; a throw must not end the worker.
        RunGuarded("compression worker", task);
    }
}

namespace {

// One ParallelFor call, shared with helpers that may start after it ended.
struct Sweep {
    size_t count = 0;
    const std::function<void(size_t)>* work = nullptr;
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable cond;
    size_t done = 0;

    // Takes indices until none is left; `work` is only touched for an index
    // taken, so a helper that starts late never reaches a finished call.
    void Help() {
        for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            // Work reports failures in its own results; an index must be
            // counted whatever happens, or the caller would wait forever.
            try {
                (*work)(i);
            } catch (...) {
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (++done == count) cond.notify_all();
        }
    }
};

}  // namespace

void CompressPool::ParallelFor(size_t count, int helpers, const std::function<void(size_t)>& work) {
    if (count == 0) return;
    auto sweep = std::make_shared<Sweep>();
    sweep->count = count;
    sweep->work = &work;
    const size_t extra = std::min(count - 1, static_cast<size_t>(std::max(helpers, 0)));
    for (size_t i = 0; i < extra; ++i)
        if (!Post([sweep] { sweep->Help(); })) break;
    sweep->Help();
    std::unique_lock<std::mutex> lock(sweep->mutex);
    sweep->cond.wait(lock, [&] { return sweep->done == count; });
}

}  // namespace travik
