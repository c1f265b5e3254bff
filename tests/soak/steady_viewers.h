// Viewers that stay for the whole soak and must keep receiving: two direct
// viewers of the device (every channel fast; one channel slowly, with logs),
// a nats:// viewer through the bridge and a Foxglove client of the web
// server (those two when the system has them).
// Contract: Start, Stop and Reassert on the soak's main thread; Starved, Total and
// Names from any thread (atomics). Each feed's clock is advanced by its own
// callbacks or thread.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace travik_tool {
class ViewSource;
}
class TravikMgr;

namespace travik_soak {

class SteadyViewers {
public:
    SteadyViewers();
    ~SteadyViewers();
    SteadyViewers(const SteadyViewers&) = delete;
    SteadyViewers& operator=(const SteadyViewers&) = delete;

    // `natsUrl` "" and `foxglovePort` 0 leave those feeds out. False (with
    // `error`) when a viewer cannot connect.
    bool Start(int devicePort, const std::string& natsUrl, const std::string& natsName, int foxglovePort,
               std::string& error);
    void Stop();
    // Asks the device again for what the steady viewers want. A command
    // sets the device's switches for every viewer, and the churn's viewers
    // switch channels, logs and intervals off and on; the steady viewers
    // repeat theirs every few seconds so that only a fault starves them.
    void Reassert();

    // True once every feed has received something.
    bool AllReceiving() const;
    // The feeds that have received nothing yet, comma-separated.
    std::string Silent() const;
    // The name of a feed that has received nothing for `limit`, and for how
    // long; "" when none has starved.
    std::string Starved(std::chrono::seconds limit, std::chrono::seconds& idle) const;
    // Messages received by all feeds so far.
    uint64_t Total() const;
    // Times the Foxglove client had to join again after losing the endpoint.
    uint64_t FoxgloveRejoins() const { return m_foxRejoins.load(); }

private:
    struct Feed {
        explicit Feed(std::string n) : name(std::move(n)) {}
        std::string name;
        std::atomic<long long> lastNs{0};  // steady clock; 0 before the first message
        std::atomic<uint64_t> count{0};
        void Got();
    };
    Feed& AddFeed(const std::string& name);
    void RunFoxglove(int port, Feed& feed);

    std::chrono::steady_clock::time_point m_started;
    std::vector<std::unique_ptr<Feed>> m_feeds;
    std::unique_ptr<TravikMgr> m_fast, m_slow;
    std::unique_ptr<travik_tool::ViewSource> m_nats;
    std::thread m_fox;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_foxRejoins{0};
};

}  // namespace travik_soak
