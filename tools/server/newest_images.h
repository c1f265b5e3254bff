// The relays' worker: keeps the newest raw image of each channel and hands
// it to one worker thread, which encodes it once whatever the number of
// clients. An image that arrives while the previous one of its channel
// still waits replaces it (counted as skipped), so a slow encoder never
// builds a lag.
//
// Threads: Offer and TakeSkipped from any thread, never blocking on the
// worker; `process` runs on the worker thread only, without the lock;
// Stop joins (not from `process`). The destructor stops.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace travik_tool {

// One image as the library hands it: attributes a1..a5 (a2 the format,
// a3 the width, a4 the height), the library's buffer kept by reference.
struct RawImage {
    std::shared_ptr<unsigned char> data;
    int attrs[5] = {};
    int len = 0;
    uint64_t tag = 0;
    uint64_t sequence = 0;        // set by Offer: the n-th image offered on its channel, from 1
    uint64_t receivedMicros = 0;  // set by Offer: wall clock
};

class NewestImageWorker {
public:
    using Process = std::function<void(int channel, RawImage& image)>;

    // Starts the worker thread. `channels`: valid channels are 0..channels-1.
    NewestImageWorker(int channels, Process process);
    ~NewestImageWorker();
    NewestImageWorker(const NewestImageWorker&) = delete;
    NewestImageWorker& operator=(const NewestImageWorker&) = delete;

    // False (and nothing kept) for a channel out of range or once stopped.
    bool Offer(int channel, RawImage image);
    void Stop();  // idempotent; what still waits is dropped
    uint64_t TakeSkipped();

private:
    void Run();

    const Process m_process;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<RawImage> m_slots;
    std::vector<bool> m_full;
    std::vector<uint64_t> m_sequence;
    size_t m_waiting = 0;  // full slots
    uint64_t m_skipped = 0;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace travik_tool
