#include "nats/client/link.h"

#include <chrono>

#include "cli/console.h"
#include "platform/clock.h"

namespace travik_nats {

namespace {

std::string ConnectedUrl(natsConnection* nc) {
    char buffer[256] = {};
    if (natsConnection_GetConnectedUrl(nc, buffer, sizeof buffer) != NATS_OK) return "?";
    return Redacted(buffer);
}

}  // namespace

bool SplitUrls(const std::string& text, std::vector<std::string>& urls) {
    urls.clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (part.empty()) return false;
        if (part.find("://") == std::string::npos) part = "nats://" + part;
        const size_t hostStart = part.find("://") + 3;
        const size_t at = part.rfind('@');
        const size_t host = at == std::string::npos || at < hostStart ? hostStart : at + 1;
        if (part.find(':', host) == std::string::npos) part += ":4222";
        urls.push_back(part);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string Redacted(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t at = url.rfind('@');
    if (at == std::string::npos || at < hostStart) return url;
    return url.substr(0, hostStart) + url.substr(at + 1);
}

bool NatsLink::Connect(const LinkOptions& options, std::string& error) {
    m_who = options.who;
    std::vector<const char*> servers;
    for (const std::string& url : options.urls) servers.push_back(url.c_str());
    natsStatus s = natsOptions_Create(&m_opts);
    if (s == NATS_OK) s = natsOptions_SetServers(m_opts, servers.data(), static_cast<int>(servers.size()));
    // The URLs in the order given: the first is the preferred node.
    if (s == NATS_OK) s = natsOptions_SetNoRandomize(m_opts, true);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(m_opts, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(m_opts, options.reconnectWaitMs);
    if (s == NATS_OK) s = natsOptions_SetErrorHandler(m_opts, &NatsLink::OnError, this);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(m_opts, &NatsLink::OnDisconnected, this);
    if (s == NATS_OK) s = natsOptions_SetReconnectedCB(m_opts, &NatsLink::OnReconnected, this);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(m_opts, &NatsLink::OnClosed, this);
    if (s == NATS_OK && !options.credsFile.empty())
        s = natsOptions_SetUserCredentialsFromFiles(m_opts, options.credsFile.c_str(), nullptr);
    if (s == NATS_OK && !options.tlsCaFile.empty()) {
        s = natsOptions_LoadCATrustedCertificates(m_opts, options.tlsCaFile.c_str());
        if (s == NATS_OK) s = natsOptions_SetSecure(m_opts, true);
    }
    if (s != NATS_OK) {
        error = std::string("NATS options: ") + natsStatus_GetText(s);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_live;
    }
    s = natsConnection_Connect(&m_conn, m_opts);
    if (s != NATS_OK) {
        // No connection, so no closed callback will come.
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_live;
        m_conn = nullptr;
        error = std::string("cannot connect to NATS: ") + natsStatus_GetText(s);
        return false;
    }
    return true;
}

bool NatsLink::Subscribe(const std::string& subject, Handler handler, int pendingMsgs, int pendingBytes,
                         std::string& error) {
    if (m_conn == nullptr) return false;
    auto sub = std::make_unique<Sub>();
    sub->link = this;
    sub->handler = std::move(handler);
    sub->subject = subject;
    natsStatus s = natsConnection_Subscribe(&sub->sub, m_conn, subject.c_str(), &NatsLink::OnMessage, sub.get());
    if (s == NATS_OK) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_live;
        }
        natsSubscription_SetOnCompleteCB(sub->sub, &NatsLink::OnComplete, sub.get());
        s = natsSubscription_SetPendingLimits(sub->sub, pendingMsgs, pendingBytes);
    }
    if (sub->sub != nullptr) m_subs.push_back(std::move(sub));
    if (s != NATS_OK) {
        error = "cannot subscribe to " + subject + ": " + natsStatus_GetText(s);
        return false;
    }
    return true;
}

natsStatus NatsLink::Publish(const std::string& subject, const void* data, int len) {
    if (m_conn == nullptr) return NATS_CONNECTION_CLOSED;
    return natsConnection_Publish(m_conn, subject.c_str(), data, len);
}

bool NatsLink::Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply) {
    if (m_conn == nullptr) return false;
    natsMsg* msg = nullptr;
    if (natsConnection_Request(&msg, m_conn, subject.c_str(), text.data(), static_cast<int>(text.size()), timeoutMs) !=
        NATS_OK)
        return false;
    reply.assign(natsMsg_GetData(msg), static_cast<size_t>(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
    return true;
}

int64_t NatsLink::MaxPayload() { return m_conn == nullptr ? 0 : natsConnection_GetMaxPayload(m_conn); }

bool NatsLink::Up() { return m_conn != nullptr && !natsConnection_IsClosed(m_conn); }

bool NatsLink::Connected() { return m_conn != nullptr && natsConnection_Status(m_conn) == NATS_CONN_STATUS_CONNECTED; }

void NatsLink::Close() {
    m_closing = true;
    for (auto& sub : m_subs) natsSubscription_Unsubscribe(sub->sub);
    if (m_conn != nullptr) natsConnection_Close(m_conn);
    bool finished = true;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        finished = m_cond.wait_for(lock, std::chrono::seconds(5), [this] { return m_live == 0; });
    }
    for (auto& sub : m_subs) {
        natsSubscription_Destroy(sub->sub);
        // A handler still running keeps its Sub: leaked rather than freed
        // under it.
        if (!finished) (void)sub.release();
    }
    m_subs.clear();
    if (m_conn != nullptr) natsConnection_Destroy(m_conn);
    m_conn = nullptr;
    if (m_opts != nullptr) natsOptions_Destroy(m_opts);
    m_opts = nullptr;
}

void NatsLink::OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* sub = static_cast<Sub*>(closure);
    try {
        sub->handler(msg);
    } catch (...) {
        // A handler's failure (allocation) loses this message only.
    }
    natsMsg_Destroy(msg);
}

void NatsLink::OnComplete(void* closure) {
    NatsLink* link = static_cast<Sub*>(closure)->link;
    std::lock_guard<std::mutex> lock(link->m_mutex);
    --link->m_live;
    link->m_cond.notify_all();
}

void NatsLink::OnError(natsConnection*, natsSubscription* sub, natsStatus err, void* closure) {
    auto* link = static_cast<NatsLink*>(closure);
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

void NatsLink::OnDisconnected(natsConnection*, void* closure) {
    auto* link = static_cast<NatsLink*>(closure);
    if (link->m_closing.load()) return;
    travik_tool::Status("%s: NATS connection lost; reconnecting", link->m_who.c_str());
}

void NatsLink::OnClosed(natsConnection*, void* closure) {
    auto* link = static_cast<NatsLink*>(closure);
    std::lock_guard<std::mutex> lock(link->m_mutex);
    --link->m_live;
    link->m_cond.notify_all();
}

void NatsLink::OnReconnected(natsConnection* nc, void* closure) {
    auto* link = static_cast<NatsLink*>(closure);
    travik_tool::Status("%s: NATS reconnected to %s", link->m_who.c_str(), ConnectedUrl(nc).c_str());
}

}  // namespace travik_nats
