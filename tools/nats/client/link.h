// One connection to a NATS cluster, for the bridge and the viewers: every
// URL of the cluster (reconnects to the others, forever), credentials and a
// CA file passed through, disconnects, reconnects and slow-consumer drops
// reported on the console (URLs without their user part; nothing secret).
// Contract: Connect, Subscribe and Close on one host thread; Publish,
// Request, Respond, Up and the counters from any thread while connected.
// Handlers run on the client library's threads, one at a time per
// subscription; they borrow the message for the call only. After Close
// returns no handler runs (it waits up to a few seconds for one running).
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace travik_nats {

struct LinkOptions {
    std::vector<std::string> urls;  // nats://HOST:PORT, at least one
    std::string credsFile;          // empty: none
    std::string tlsCaFile;          // empty: plain TCP unless a URL says tls://
    std::string who = "travik";     // prefix of the console reports
    int reconnectWaitMs = 250;
};

// "a,b,c" -> {"a","b","c"}, each given "nats://" and port 4222 when left out.
// False when a part is empty.
bool SplitUrls(const std::string& text, std::vector<std::string>& urls);
// An URL as printed: without a user or password part.
std::string Redacted(const std::string& url);

class NatsLink {
public:
    using Handler = std::function<void(natsMsg* msg)>;

    NatsLink() = default;
    ~NatsLink() { Close(); }
    NatsLink(const NatsLink&) = delete;
    NatsLink& operator=(const NatsLink&) = delete;

    // Blocks until connected to one of the URLs (true) or all refused.
    bool Connect(const LinkOptions& options, std::string& error);
    // Subscribes with the client's queue for it bounded to `pendingMsgs`
    // messages and `pendingBytes` bytes: past them the client drops and
    // the drop is reported.
    bool Subscribe(const std::string& subject, Handler handler, int pendingMsgs, int pendingBytes, std::string& error);
    // Non-blocking (the client buffers, also while reconnecting).
    natsStatus Publish(const std::string& subject, const void* data, int len);
    // Blocks up to `timeoutMs` for the answer.
    bool Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply);
    // The server's max_payload (0 before connected).
    int64_t MaxPayload();
    // False once the connection is closed for good.
    bool Up();
    // True while connected (not while reconnecting).
    bool Connected();
    // The client's connection, for calls this class does not wrap; null
    // unless connected.
    natsConnection* Raw() { return m_conn; }
    uint64_t SlowConsumerDrops() const { return m_slowDrops.load(); }
    void Close();

private:
    struct Sub {
        NatsLink* link = nullptr;
        Handler handler;
        natsSubscription* sub = nullptr;
        std::string subject;
    };
    static void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    static void OnComplete(void* closure);
    static void OnError(natsConnection*, natsSubscription* sub, natsStatus err, void* closure);
    static void OnDisconnected(natsConnection* nc, void* closure);
    static void OnReconnected(natsConnection* nc, void* closure);
    static void OnClosed(natsConnection* nc, void* closure);

    std::string m_who;
    natsOptions* m_opts = nullptr;
    natsConnection* m_conn = nullptr;
    std::vector<std::unique_ptr<Sub>> m_subs;
    std::mutex m_mutex;  // m_live
    std::condition_variable m_cond;
    // Subscriptions whose completion has not been seen, plus the connection
    // until its closed callback (the last of its callbacks) has run.
    int m_live = 0;
    std::atomic<uint64_t> m_slowDrops{0};
    std::atomic<int64_t> m_lastSlowReport{0};
    std::atomic<bool> m_closing{false};  // no "connection lost" report for our own Close
};

}  // namespace travik_nats
