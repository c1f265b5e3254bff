// The churn around the steady viewers: short-lived viewers (in this process
// and as `travik view` processes, some killed), viewers that switch
// channels, logs and intervals, raw connections that send garbage, stall
// without reading or reset, nats:// viewers through the bridge and Foxglove
// clients of the web server joining and leaving.
// Contract: Start and Stop on the soak's main thread (Start after Stop
// begins a new round); Actions and Failures from any thread. Each kind runs
// on a worker thread of its own; Stop joins them within a bounded time
// (every wait inside is cut short by the stop, children are killed).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace travik_soak {

struct ChurnTargets {
    std::string toolPath;
    int devicePort = 0;
    std::string natsTarget;  // nats://HOST:PORT/NAME, "" without NATS
    int foxglovePort = 0;    // 0 without the web server
};

class Churn {
public:
    explicit Churn(ChurnTargets targets);
    ~Churn();
    Churn(const Churn&) = delete;
    Churn& operator=(const Churn&) = delete;

    void Start();
    void Stop();
    // Churn actions completed so far.
    uint64_t Actions() const { return m_actions.load(); }
    // Actions where the system under test misbehaved towards a well-behaved
    // client (a direct viewer refused, a `travik view` that failed).
    uint64_t Failures() const { return m_failures.load(); }
    // The first of them, described.
    std::string FirstFailure();

private:
    void Worker(const std::function<void(uint64_t round)>& action);
    // Waits `ms`, or less when stopped; false once stopped.
    bool Pause(int ms);
    void Fail(const std::string& what);

    void ShortViewer(uint64_t round);
    void Switcher(uint64_t round);
    void ViewProcess(uint64_t round, bool nats);
    void RawPeer(uint64_t round);
    void StalledPeer(uint64_t round);
    void FoxgloveVisitor(uint64_t round);

    ChurnTargets m_targets;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_stop = false;
    std::string m_firstFailure;
    std::vector<std::thread> m_workers;
    std::atomic<uint64_t> m_actions{0};
    std::atomic<uint64_t> m_failures{0};
};

}  // namespace travik_soak
