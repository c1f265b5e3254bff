// NatsLink on the NATS C client (libnats).
#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "cli/console.h"
#include "nats/client/link.h"
#include "platform/clock.h"

namespace travik_nats {

namespace {

std::string ConnectedUrl(natsConnection* nc) {
    char buffer[256] = {};
    if (natsConnection_GetConnectedUrl(nc, buffer, sizeof buffer) != NATS_OK) return "?";
    return Redacted(buffer);
}

}  // namespace

class NatsLink::Impl {
public:
    struct Sub {
        Impl* link = nullptr;
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

NatsLink::NatsLink() : m_impl(std::make_unique<Impl>()) {}

NatsLink::~NatsLink() { Close(); }

bool NatsLink::Connect(const LinkOptions& options, std::string& error) {
    Impl& d = *m_impl;
    d.m_who = options.who;
    std::vector<const char*> servers;
    for (const std::string& url : options.urls) servers.push_back(url.c_str());
    natsStatus s = natsOptions_Create(&d.m_opts);
    if (s == NATS_OK) s = natsOptions_SetServers(d.m_opts, servers.data(), static_cast<int>(servers.size()));
    // The URLs in the order given: the first is the preferred node.
    if (s == NATS_OK) s = natsOptions_SetNoRandomize(d.m_opts, true);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(d.m_opts, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(d.m_opts, options.reconnectWaitMs);
    if (s == NATS_OK) s = natsOptions_SetPingInterval(d.m_opts, options.pingIntervalMs);
    if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(d.m_opts, 2);
    if (s == NATS_OK) s = natsOptions_SetErrorHandler(d.m_opts, &Impl::OnError, &d);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(d.m_opts, &Impl::OnDisconnected, &d);
    if (s == NATS_OK) s = natsOptions_SetReconnectedCB(d.m_opts, &Impl::OnReconnected, &d);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(d.m_opts, &Impl::OnClosed, &d);
    if (s == NATS_OK && !options.credsFile.empty())
        s = natsOptions_SetUserCredentialsFromFiles(d.m_opts, options.credsFile.c_str(), nullptr);
    if (s == NATS_OK && !options.tlsCaFile.empty()) {
        s = natsOptions_LoadCATrustedCertificates(d.m_opts, options.tlsCaFile.c_str());
        if (s == NATS_OK) s = natsOptions_SetSecure(d.m_opts, true);
    }
    if (s != NATS_OK) {
        error = std::string("NATS options: ") + natsStatus_GetText(s);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.m_mutex);
        ++d.m_live;
    }
    s = natsConnection_Connect(&d.m_conn, d.m_opts);
    if (s != NATS_OK) {
        // No connection, so no closed callback will come.
        std::lock_guard<std::mutex> lock(d.m_mutex);
        --d.m_live;
        d.m_conn = nullptr;
        error = std::string("cannot connect to NATS: ") + natsStatus_GetText(s);
        return false;
    }
    return true;
}

bool NatsLink::Subscribe(const std::string& subject, Handler handler, int pendingMsgs, int pendingBytes,
                         std::string& error) {
    Impl& d = *m_impl;
    if (d.m_conn == nullptr) return false;
    auto sub = std::make_unique<Impl::Sub>();
    sub->link = &d;
    sub->handler = std::move(handler);
    sub->subject = subject;
    natsStatus s = natsConnection_Subscribe(&sub->sub, d.m_conn, subject.c_str(), &Impl::OnMessage, sub.get());
    if (s == NATS_OK) {
        {
            std::lock_guard<std::mutex> lock(d.m_mutex);
            ++d.m_live;
        }
        natsSubscription_SetOnCompleteCB(sub->sub, &Impl::OnComplete, sub.get());
        s = natsSubscription_SetPendingLimits(sub->sub, pendingMsgs, pendingBytes);
    }
    if (sub->sub != nullptr) d.m_subs.push_back(std::move(sub));
    if (s != NATS_OK) {
        error = "cannot subscribe to " + subject + ": " + natsStatus_GetText(s);
        return false;
    }
    return true;
}

bool NatsLink::Publish(const std::string& subject, const void* data, int len) {
    if (m_impl->m_conn == nullptr) return false;
    return natsConnection_Publish(m_impl->m_conn, subject.c_str(), data, len) == NATS_OK;
}

bool NatsLink::Flush(int timeoutMs) {
    if (!Connected()) return false;
    return natsConnection_FlushTimeout(m_impl->m_conn, timeoutMs) == NATS_OK;
}

bool NatsLink::Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply) {
    if (m_impl->m_conn == nullptr) return false;
    natsMsg* msg = nullptr;
    if (natsConnection_Request(&msg, m_impl->m_conn, subject.c_str(), text.data(), static_cast<int>(text.size()),
                               timeoutMs) != NATS_OK)
        return false;
    reply.assign(natsMsg_GetData(msg), static_cast<size_t>(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
    return true;
}

int64_t NatsLink::MaxPayload() { return m_impl->m_conn == nullptr ? 0 : natsConnection_GetMaxPayload(m_impl->m_conn); }

bool NatsLink::Up() { return m_impl->m_conn != nullptr && !natsConnection_IsClosed(m_impl->m_conn); }

bool NatsLink::Connected() {
    return m_impl->m_conn != nullptr && natsConnection_Status(m_impl->m_conn) == NATS_CONN_STATUS_CONNECTED;
}

uint64_t NatsLink::SlowConsumerDrops() const { return m_impl->m_slowDrops.load(); }

void NatsLink::Close() {
    Impl& d = *m_impl;
    d.m_closing = true;
    for (auto& sub : d.m_subs) natsSubscription_Unsubscribe(sub->sub);
    if (d.m_conn != nullptr) natsConnection_Close(d.m_conn);
    bool finished = true;
    {
        std::unique_lock<std::mutex> lock(d.m_mutex);
        finished = d.m_cond.wait_for(lock, std::chrono::seconds(5), [&d] { return d.m_live == 0; });
    }
    for (auto& sub : d.m_subs) {
        natsSubscription_Destroy(sub->sub);
        // A handler still running keeps its Sub: leaked rather than freed
        // under it.
        if (!finished) (void)sub.release();
    }
    d.m_subs.clear();
    if (d.m_conn != nullptr) natsConnection_Destroy(d.m_conn);
    d.m_conn = nullptr;
    if (d.m_opts != nullptr) natsOptions_Destroy(d.m_opts);
    d.m_opts = nullptr;
}

void NatsLink::Impl::OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* sub = static_cast<Sub*>(closure);
    try {
        LinkMessage view;
        view.subject = natsMsg_GetSubject(msg);
        view.reply = natsMsg_GetReply(msg);
        view.data = natsMsg_GetData(msg);
        view.size = natsMsg_GetDataLength(msg);
        if (view.data == nullptr) view.data = "";
        sub->handler(view);
    } catch (...) {
        // A handler's failure (allocation) loses this message only.
    }
    natsMsg_Destroy(msg);
}

void NatsLink::Impl::OnComplete(void* closure) {
    Impl* link = static_cast<Sub*>(closure)->link;
    std::lock_guard<std::mutex> lock(link->m_mutex);
    --link->m_live;
    link->m_cond.notify_all();
}

void NatsLink::Impl::OnError(natsConnection*, natsSubscription* sub, natsStatus err, void* closure) {
    auto* link = static_cast<Impl*>(closure);
    if (err == NATS_SLOW_CONSUMER) {
        ++link->m_slowDrops;
        // At most one report per five seconds.
        const int64_t now = travik::NowMicros();
        int64_t last = link->m_lastSlowReport.load();
        if (now - last < 5000000 || !link->m_lastSlowReport.compare_exchange_strong(last, now)) return;
        const char* subject = sub ? natsSubscription_GetSubject(sub) : nullptr;
        travik_tool::Status("%s: slow consumer: the NATS client dropped messages of %s (%llu drops so far)",
                            link->m_who.c_str(), subject ? subject : "?",
                            static_cast<unsigned long long>(link->m_slowDrops.load()));
        return;
    }
    travik_tool::Status("%s: NATS error: %s", link->m_who.c_str(), natsStatus_GetText(err));
}

void NatsLink::Impl::OnDisconnected(natsConnection*, void* closure) {
    auto* link = static_cast<Impl*>(closure);
    if (link->m_closing.load()) return;
    travik_tool::Status("%s: NATS connection lost; reconnecting", link->m_who.c_str());
}

void NatsLink::Impl::OnClosed(natsConnection*, void* closure) {
    auto* link = static_cast<Impl*>(closure);
    std::lock_guard<std::mutex> lock(link->m_mutex);
    --link->m_live;
    link->m_cond.notify_all();
}

void NatsLink::Impl::OnReconnected(natsConnection* nc, void* closure) {
    auto* link = static_cast<Impl*>(closure);
    travik_tool::Status("%s: NATS reconnected to %s", link->m_who.c_str(), ConnectedUrl(nc).c_str());
}

}  // namespace travik_nats
