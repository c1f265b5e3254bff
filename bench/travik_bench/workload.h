// Pieces every workload shares: its arguments, the sending side's interface
// (run in a child process), the 100-byte log line, and the recorders a
// viewer fills.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "common/synthetic_frames.h"

namespace travik_bench {

// How long each kind of measurement runs, in seconds.
struct Timing {
    double warmup;         // discarded start of every throughput run
    double imageWindow;    // image throughput, small frames
    double bigWindow;      // image throughput, 1920x1080 RGB (under a second per frame with zlib)
    double bigWarmup;      // at least one big frame's worth
    double logWindow;      // log throughput
    double latencyWindow;  // log and image latency
    double idleWindow;     // idle CPU
    double stallWindow;    // stalled viewer
    double limitWindow;    // compressor limit, per shape (twice that for 1920x1080 RGB)
    int imageRounds;       // limit and pipeline rows alternate this many times
};

// What a child does: mode, frame shape, rate (lines or frames per second),
// and how a log producer hands lines over.
struct WorkloadArgs {
    std::string mode;  // images | logs | loglat | imglat | idle | stall | limit | sub
    FrameShape shape{640, 480, 1};
    int rate = 0;
    // logs, loglat: a batching thread takes every line staged since its
    // previous pass and hands them over in one call (LineBatcher).
    bool batched = false;
    // logs: the producer waits until each line (or batch) is taken instead
    // of counting it as refused; ZeroMQ adds ZMQ_XPUB_NODROP.
    bool lossless = false;
    // images, limit: the CPU that the compressing thread is pinned to (-1:
    // not pinned).
    int pinCpu = -1;
    std::string codec = "zlib";  // limit: which compressor
    int port = 0;                // sub: the publisher's port
    int windowMs = 0;            // limit: measuring window
    std::string tlsDir = "";     // travik: serve TLS with device.pem/device.key/ca.pem from here ("" = plain)

    std::vector<std::string> ToArgs() const;
    static WorkloadArgs FromArgs(const std::vector<std::string>& args, size_t first);
};

// The sending side of one workload, living in a child process.
class Sender {
public:
    virtual ~Sender() = default;
    // Opens the endpoint and prepares the data; the port viewers use (0 for
    // none), or -1.
    virtual int Setup() = 0;
    // Before "go": makes every connected receiver see one message that holds
    // no line, so that the parent knows they are all there. Called every few
    // milliseconds until "go".
    virtual void Probe() {}
    // Produces until `stop` is set. Runs on its own thread after "go".
    virtual void Produce(const std::atomic<bool>& stop) = 0;
    // Reply to a command other than go/cpu/stop; empty when unknown.
    virtual std::string Query(const std::string&) { return std::string(); }
    virtual void Teardown() = 0;
};

std::unique_ptr<Sender> MakeTravikSender(const WorkloadArgs& args);
std::unique_ptr<Sender> MakeZmqSender(const WorkloadArgs& args);
std::unique_ptr<Sender> MakeTcpSender(const WorkloadArgs& args);
// Measures the compressor's limit on query "limit" (compressor_limit.cpp).
std::unique_ptr<Sender> MakeLimitSender(const WorkloadArgs& args);

// Child entry point: args after "--child" are the role and WorkloadArgs.
int RunChild(const std::vector<std::string>& args);

// A 100-byte log line: 20 digits of its staging time (NowNanos), a space,
// filler, '\n', and a NUL after the 100 bytes.
constexpr int kLogLineBytes = 100;
void MakeLogLine(char (&out)[kLogLineBytes + 1], uint64_t stampNanos);
// The one line splitter of every log receiver (travik, ZeroMQ, TCP), so that
// all count the same way: calls `onLine(line, length)` for each
// '\n'-terminated line in `p`..`p+n` (length includes the '\n') and returns
// how many there were. A trailing piece without '\n' is not a line.
template <class Fn>
size_t SplitLines(const char* p, size_t n, Fn&& onLine);
inline size_t CountLines(const char* p, size_t n) {
    return SplitLines(p, n, [](const char*, size_t) {});
}
// The staging time of a whole 100-byte line from MakeLogLine, else 0.
uint64_t LineStamp(const char* line, size_t length);

// Lines and messages (frames, ZeroMQ messages) one receiver has counted.
struct LineCounter {
    std::atomic<uint64_t> lines{0};
    std::atomic<uint64_t> messages{0};
    void Add(const char* p, size_t n) {
        lines.fetch_add(CountLines(p, n), std::memory_order_relaxed);
        messages.fetch_add(1, std::memory_order_relaxed);
    }
};

// Several frames per shape, so that a compressor never sees the same bytes
// twice in a row.
constexpr int kDistinctFrames = 6;
std::vector<std::shared_ptr<unsigned char>> MakeFrameSet(const FrameShape& shape);

// Latencies in nanoseconds, from any thread.
class LatencyLog {
public:
    void Add(uint64_t nanos, uint64_t at);
    // Percentile (0..100) of the samples taken within [from, to], in ns.
    double Percentile(double pct, uint64_t from, uint64_t to) const;
    size_t Count(uint64_t from, uint64_t to) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<uint64_t, uint64_t>> m_samples;  // (at, latency)
};

// Arrival times and raw sizes of image frames at one viewer.
class FrameLog {
public:
    void Add(uint64_t at, uint64_t rawBytes);
    // Raw bytes per second over the frames that arrived within [from, to]:
    // from the first such frame's arrival to the last one's, so that a
    // window holding only a few large frames is still measured fairly.
    double Rate(uint64_t from, uint64_t to) const;
    size_t Count(uint64_t from, uint64_t to) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<uint64_t, uint64_t>> m_frames;
};

void SleepSeconds(double s);

class ChildProcess;

// The CPU share of `child` (percent of one core) over a window of `seconds`
// from now, from its "cpu" replies at both ends; false when one is missing.
// Blocks for the window.
bool CpuShareOver(ChildProcess& child, double seconds, double& pct);

// Latency percentiles (ns) over one measuring window; `any` is false when
// no sample fell inside it.
struct LatencyFigures {
    bool any = false;
    double p50 = 0;
    double p99 = 0;
};
// Says "go" to `sender`, lets `warmup` seconds pass, then takes the figures
// of `lat` over the next `window` seconds. Blocks for both.
LatencyFigures LatencyOver(ChildProcess& sender, const LatencyLog& lat, double warmup, double window);

// Per-thread CPU time of a child, sampled over its control channel.
struct ThreadSample {
    uint64_t at = 0;
    std::map<std::string, unsigned long long> cpu;  // thread id -> ns
};
ThreadSample SampleThreads(ChildProcess& child);
// Between two samples: the busiest thread's share of one core, and the
// whole process's (in cores).
void ThreadShares(const ThreadSample& a, const ThreadSample& b, double& busiest, double& total);

// Calls `send()` (which returns false to give up) until `stop` is set:
// back to back when `perSecond` <= 0, else about `perSecond` times a second
// in a burst each millisecond.
template <class Fn>
void SendPaced(const std::atomic<bool>& stop, int perSecond, Fn&& send);

// The latency workloads' pace: every 1/`perSecond` s one log line stamped
// with the time it is made, handed to `send(line)` (false gives up), until
// `stop` is set.
template <class Fn>
void SendTimedLines(const std::atomic<bool>& stop, int perSecond, Fn&& send);

// Sleeps until `window` seconds after `t0`, then on until `enough(now)`
// holds (so that a window of a few large frames still has at least a few),
// for at most four windows and ten seconds more. Returns the end time.
uint64_t WaitWindow(uint64_t t0, double window, const std::function<bool(uint64_t)>& enough);
uint64_t ParseStamp(const char* p);

// Pins the calling thread (tid 0) or thread `tid` to `cpu`; false when that
// failed. `cpu` < 0 leaves it alone and returns true.
bool PinThread(int tid, int cpu);
// The id of this process's thread named `name` (waits up to a second for
// it to appear), or 0.
int FindThread(const std::string& name);
// The CPUs thread `tid` (0: the caller) may run on, as "0-1" or "1".
std::string ThreadAffinity(int tid);

template <class Fn>
void SendTimedLines(const std::atomic<bool>& stop, int perSecond, Fn&& send) {
    char line[kLogLineBytes + 1];
    const auto period = std::chrono::nanoseconds(1000000000 / std::max(1, perSecond));
    auto next = std::chrono::steady_clock::now();
    while (!stop.load()) {
        next += period;
        std::this_thread::sleep_until(next);
        MakeLogLine(line, NowNanos());
        if (!send(line)) return;
    }
}

template <class Fn>
void SendPaced(const std::atomic<bool>& stop, int perSecond, Fn&& send) {
    if (perSecond <= 0) {
        while (!stop.load()) {
            for (int i = 0; i < 256; ++i)
                if (!send()) return;
        }
        return;
    }
    const uint64_t start = NowNanos();
    uint64_t sent = 0;
    while (!stop.load()) {
        const uint64_t owed = (NowNanos() - start) / 1000 * static_cast<uint64_t>(perSecond) / 1000000;
        for (; sent < owed; ++sent)
            if (!send()) return;
        SleepSeconds(0.001);
    }
}

template <class Fn>
size_t SplitLines(const char* p, size_t n, Fn&& onLine) {
    size_t lines = 0;
    const char* end = p + n;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl) break;
        onLine(p, static_cast<size_t>(nl - p + 1));
        ++lines;
        p = nl + 1;
    }
    return lines;
}

}  // namespace travik_bench
