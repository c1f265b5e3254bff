// The batching front end a log producer uses in the "batched" rows, the same
// for travik and ZeroMQ: the producer stages one line per call into a
// buffer, and a sending thread takes everything staged since its previous
// pass and hands it over in one call (one SendLogInfo call or one ZeroMQ
// message). This is how travik's own send thread joins staged text into one
// log frame per pass, so a ZeroMQ sender built this way does the same work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace travik_bench {

// Staged bytes over which a batcher refuses (or waits): travik's own cap on
// staged log text.
constexpr size_t kBatchCapBytes = 16u << 20;

class LineBatcher {
public:
    // Runs on the batcher's thread with one pass's text (whole lines); returns
    // false when the batch was refused. `abandon` is set once Finish gives up
    // waiting, so that a call that retries can stop.
    using Deliver = std::function<bool(std::string& batch, const std::atomic<bool>& abandon)>;

    // `cap`: staged bytes over which Stage refuses (or, when `blockWhenFull`,
    // waits for the next pass).
    LineBatcher(Deliver deliver, size_t cap, bool blockWhenFull);
    ~LineBatcher();
    LineBatcher(const LineBatcher&) = delete;
    LineBatcher& operator=(const LineBatcher&) = delete;

    // Producer thread. False when refused (full, or finishing).
    bool Stage(const char* text, size_t n, const std::atomic<bool>& stop);
    // Hands over what is staged and joins the thread; waits at most
    // `seconds` for the last deliveries.
    void Finish(double seconds);

    // Lines in batches that Deliver accepted / refused.
    unsigned long long AcceptedLines() const { return m_accepted.load(); }
    unsigned long long RefusedLines() const { return m_refused.load(); }

private:
    void Run();

    Deliver m_deliver;
    const size_t m_cap;
    const bool m_block;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::string m_staged;
    bool m_finishing = false;
    std::atomic<bool> m_abandon{false};
    std::atomic<bool> m_done{false};
    std::atomic<unsigned long long> m_accepted{0};
    std::atomic<unsigned long long> m_refused{0};
    std::thread m_thread;
};

}  // namespace travik_bench
