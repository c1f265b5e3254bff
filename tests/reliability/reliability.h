// Shared pieces of the reliability suite: run mode, figure lines, a lossless
// image stream between an in-process device and a healthy viewer, helper
// child processes and memory sampling.
//
// Every test prints its measurements as "FIGURE <name>: <value>" lines on
// standard output; run_long.sh collects them into RESULTS.md.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"
#include "travik/travik.h"

namespace travik_rel {

// Short mode is the default; TRAVIK_RELIABILITY_MODE=long selects the long
// soak run.
bool LongMode();
// True in builds with a sanitizer (compiled with -fsanitize=...), where the
// short mode scales its counts down further and memory figures are only
// reported, not judged (shadow memory and the allocator's quarantine
// dominate them).
bool Sanitized();
// True where the resident-size bounds are judged: not in sanitizer builds,
// and not on Windows, where the bounds (set from glibc's allocator) do not
// hold under wine's heap (the figures are still reported). Where they are
// not judged, says so on standard output.
bool MemoryJudged();
// `shortValue` in short mode, `longValue` in long mode, `sanitizedShort` in
// the short mode of a sanitizer build.
long long Pick(long long shortValue, long long longValue, long long sanitizedShort);

void Figure(const std::string& name, const std::string& value);
void Figure(const std::string& name, long long value);
void Figure(const std::string& name, double value, int decimals);

double MiB(long long bytes);
double SecondsSince(std::chrono::steady_clock::time_point start);

// Image content derived from the tag, incompressible so that frames stay
// about as large as the image.
void FillImage(unsigned char* out, size_t len, uint64_t tag);
bool CheckImage(const unsigned char* p, size_t len, uint64_t tag);

// Socket options of a test's own client sockets: no Nagle delay; a reset
// instead of an orderly end when it is closed (SO_LINGER 0).
void NoDelay(travik_test::RawSocket s);
void ResetOnClose(travik_test::RawSocket s);

// Number of lines in `text` that start with `prefix`.
int CountLinesStartingWith(const std::string& text, const std::string& prefix);

// The highest resident set size seen while it runs (sampled every 20 ms).
class RssPeak {
public:
    RssPeak();
    ~RssPeak();
    long long Peak() const { return m_peak.load(); }
    void Stop();

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_peak{0};
    std::thread m_thread;
};

// A lossless image stream from an in-process device to an in-process
// healthy viewer.
//
// The device coalesces images (latest wins per channel), so a viewer that is
// slower than the producer legitimately skips images. To make every miss a
// real loss, the producer runs in lockstep: it stages image N+1 only after
// the viewer has received image N. Every staged image must then be sent to
// and received by the viewer; one that has not arrived within the deadline
// counts as missed.
class LockstepStream {
public:
    struct Stats {
        uint64_t staged = 0;
        uint64_t delivered = 0;    // distinct staged images that arrived, in order
        uint64_t misses = 0;       // staged - delivered
        uint64_t orderErrors = 0;  // an image whose tag was not above the previous one
        uint64_t corrupt = 0;      // wrong size or content
        double maxWaitMs = 0;      // longest stage-to-delivery time
    };

    // Channel 0 images (attr1 1, attr5 0) of `imageBytes` bytes.
    LockstepStream(TravikMgr& device, int port, int imageBytes);
    ~LockstepStream();
    LockstepStream(const LockstepStream&) = delete;
    LockstepStream& operator=(const LockstepStream&) = delete;

    // Connects the viewer, opens the image stream at a 1 ms interval and
    // waits for the first image. False (see Error) when that fails.
    bool Start();
    // Stops the producer after the image in flight has arrived or timed out.
    void Stop();
    Stats Snapshot();
    // Waits until at least `n` more images than now have been delivered.
    bool WaitForMore(uint64_t n, std::chrono::milliseconds timeout);
    TravikMgr& Viewer() { return m_viewer; }
    const std::string& Error() const { return m_error; }
    // Longest time one image may take before it is counted as missed
    // (scaled by TRAVIK_TEST_TIME_SCALE).
    static constexpr std::chrono::milliseconds kDeliveryDeadline{5000};

private:
    void OnImage(int len, const std::shared_ptr<unsigned char>& data, unsigned long long tag);
    void Produce();

    TravikMgr& m_device;
    TravikMgr m_viewer;
    int m_port;
    int m_imageBytes;
    std::string m_error;
    std::chrono::steady_clock::time_point m_lastStage;  // of the last warm-up image, then the producer's

    std::mutex m_mutex;
    std::condition_variable m_cond;
    uint64_t m_lastTag = 0;
    uint64_t m_deliveredCount = 0;
    uint64_t m_orderErrors = 0;
    uint64_t m_corrupt = 0;
    uint64_t m_warmupSeen = 0;
    uint64_t m_staged = 0;
    double m_maxWaitMs = 0;
    bool m_stop = false;
    std::thread m_producer;
};

// A helper child process (the reliability_peer executable). Its status
// lines arrive on a pipe; its standard output goes to /dev/null unless
// `quiet` is false. Descriptors (on Windows, inheritable handles) of this
// process are not inherited unless `inheritFds` is set. Killed and reaped on
// destruction.
class Child {
public:
    bool Spawn(const std::vector<std::string>& args, bool inheritFds = false, bool quiet = true);
    // Next status line, or false after `timeout`. Timeouts here are scaled
    // by TRAVIK_TEST_TIME_SCALE.
    bool ReadLine(std::string& line, std::chrono::milliseconds timeout);
    // Reads status lines until one starts with `prefix`.
    bool WaitForLine(const std::string& prefix, std::string& line, std::chrono::milliseconds timeout);
    // Stops every thread of the child (SIGSTOP; on Windows NtSuspendProcess);
    // false where that is not possible.
    bool Suspend() { return m_process.Suspend(); }
    // SIGKILL (TerminateProcess) and reap.
    void Kill() { m_process.Kill(); }
    // True when the child ended because Kill ended it.
    bool EndedByKill() { return m_process.EndedByKill(); }
    // Waits for the child to end; its wait status, or -1 after `timeout`.
    int Wait(std::chrono::milliseconds timeout);
    pid_t pid() const { return m_process.pid(); }

private:
    travik_proc::Process m_process;
};

// Path of the reliability_peer helper executable.
const char* PeerPath();

}  // namespace travik_rel
