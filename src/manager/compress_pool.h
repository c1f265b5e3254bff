// The device's compression workers: a few threads owned by the manager,
// started by Listen and stopped by Release, that help the send thread
// compress image frames. Idle workers sleep on a condition variable, so
// nothing runs while nothing is staged.
//
// Threads: Start and Stop are called by the host thread that runs Listen,
// Release or SetCompression (serialised by the pool's own mutex); Post and
// ParallelFor by the send thread. No call holds the pool's mutex while a
// task runs, and tasks never call back into the pool's Start or Stop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace travik {

// Most threads compressing one frame, the send thread included, for an
// explicit setting; 0 ("one per core") picks at most kAutoCompressThreads.
constexpr int kMaxCompressThreads = 32;
constexpr int kAutoCompressThreads = 8;

// 0 → one per core, at most kAutoCompressThreads; other values unchanged.
int ResolveCompressThreads(int threads);

// Workers the pool needs for `threads` compressing threads: the send thread
// compresses pieces too where the compressor splits frames; where it
// cannot, it only takes staged images while `threads` workers compress
// whole frames.
int WorkersFor(int threads);

class CompressPool {
public:
    CompressPool() = default;
    ~CompressPool() { Stop(); }
    CompressPool(const CompressPool&) = delete;
    CompressPool& operator=(const CompressPool&) = delete;

    // Makes at least `workers` workers run (never fewer than already run).
    // May throw std::system_error when a thread cannot be started.
    void Start(int workers);
    // As Start, but only while the pool is started (between Start and Stop).
    void Grow(int workers);
    // Blocks until every worker has finished its current task and ended;
    // tasks still queued are dropped. Start may be called again afterwards.
    void Stop();

    // Queues `task` for a worker. False (task dropped) when no worker runs.
    bool Post(std::function<void()> task);

    // Runs work(0) .. work(count - 1) on the calling thread and on up to
    // `helpers` workers; returns when all have finished. Completes on the
    // calling thread alone when no worker is free or the pool is stopped.
    void ParallelFor(size_t count, int helpers, const std::function<void(size_t)>& work);

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<std::function<void()>> m_tasks;
    std::vector<std::thread> m_workers;
    bool m_running = false;
    // Serialises Start and Stop, which join outside m_mutex.
    std::mutex m_lifeMutex;
};

}  // namespace travik
