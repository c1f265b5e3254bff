// The Foxglove endpoint on the server core: the handshake checks, one
// FoxgloveClient session per connection and the inbox that carries
// published messages onto the server thread.
#include "foxglove_endpoint/foxglove_server.h"

#include "foxglove_endpoint/foxglove_subscriptions.h"

#include <algorithm>
#include <array>
#include <deque>
#include <exception>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "server/host_policy.h"
#include "server/http_connection.h"
#include "server/server.h"
#include "server/session.h"

namespace travik_tool {

namespace {

// Past this many unsent control messages a client does not read at all: closed.
constexpr size_t kMaxControlMessages = 64;
// At most one "falling behind" status per client in this time.
constexpr auto kBehindWarningEvery = std::chrono::seconds(5);

constexpr uint32_t kChannels = FoxgloveServer::kMaxFoxgloveChannels;
constexpr uint64_t kNoSubscription = FoxgloveSubscriptions::kNone;
// Stream messages waiting in the inbox per channel; past it the channel's
// subscribers wait for a keyframe rather than see a gap.
constexpr size_t kMaxInboxStream = 8;
// Reasons named in the one error status answering a client message.
constexpr size_t kMaxReasons = 4;

}  // namespace

class FoxgloveClient;

struct FoxgloveServer::Impl : RequestHandler {
    FoxgloveServerConfig config;
    std::vector<FoxgloveChannel> channels;
    std::vector<FoxgloveService> services;
    ServiceHandler handler;
    const FoxgloveChannel* byId[kChannels] = {};
    std::string serverInfo, advertise, advertiseServices;
    Server core;
    std::array<std::atomic<uint32_t>, kChannels> subscribers{};
    std::array<std::atomic<bool>, kChannels> keyframeWanted{};

    // Server thread only.
    double callTokens = 0;
    std::chrono::steady_clock::time_point callRefill{};

    // Inbox: any thread, under inboxMutex.
    std::mutex inboxMutex;
    std::deque<SessionItem> inbox[kChannels];
    bool inboxGap[kChannels] = {};  // stream channels: items were dropped
    bool drainPosted = false;

    void OnRequest(HttpConnection& connection) override;
    void Drain();
    // False when the service call budget is spent; takes one call from it.
    bool TakeServiceCall();
    // "" when the handshake may proceed, else why not.
    std::string CheckHandshake(const HttpRequest& req, std::string& subprotocol) const;
    size_t Bound(uint32_t channel) const { return byId[channel]->latestOnly ? 1 : config.clientQueueMessages; }
};

// One client after its upgrade: subscriptions, service calls and the
// subscribed channels' messages. Server thread only (see server/session.h).
class FoxgloveClient : public Session {
public:
    FoxgloveClient(FoxgloveServer::Impl& server, HttpConnection& connection)
        : Session(server.core, connection.TakeStream(), kChannels, kMaxControlMessages, ControlOverflow::Close,
                  connection.TakeSlot(), connection.TakeHandshake()),
          m_server(server),
          m_subs(kChannels) {}

    // A published message for `channel`; ignored unless subscribed.
    void Queue(uint32_t channel, const SessionItem& item) {
        if (!IsOpen() || m_subs.SubscriptionOf(channel) == kNoSubscription) return;
        if (m_server.byId[channel]->stream) {
            if (QueueStreamItem(channel, item)) m_server.keyframeWanted[channel] = true;
            return;
        }
        if (!QueueItem(channel, item, m_server.Bound(channel))) return;
        ++m_behind;
        const auto now = std::chrono::steady_clock::now();
        if (now < m_nextWarning) return;
        m_nextWarning = now + kBehindWarningEvery;
        SendControl(FoxgloveStatusJson(FoxgloveStatusLevel::Warning, "travik: this connection is falling behind; " +
                                                                         std::to_string(m_behind) +
                                                                         " message(s) replaced by newer ones (" +
                                                                         m_server.byId[channel]->topic + ")"));
        m_behind = 0;
    }

    // A stream channel's items were lost upstream: wait for a keyframe.
    void StreamGap(uint32_t channel) {
        if (m_subs.SubscriptionOf(channel) == kNoSubscription) return;
        WaitForKeyframe(channel);
        m_server.keyframeWanted[channel] = true;
    }

private:
    void OnOpen() override {
        SendControl(m_server.serverInfo);
        SendControl(m_server.advertise);
        if (!m_server.services.empty()) SendControl(m_server.advertiseServices);
    }

    void OnMessage(bool text, const std::string& bytes) override {
        if (text) return OnText(bytes);
        OnBinary(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }

    size_t ItemHeader(size_t channel, const SessionItem& item, unsigned char* out) override {
        WriteFoxgloveMessageHeader(static_cast<uint32_t>(m_subs.SubscriptionOf(static_cast<uint32_t>(channel))),
                                   item.logTimeNanos, out);
        return kFoxgloveMessageHeaderBytes;
    }

    // Drops the subscriptions once the client ends.
    void OnFinished() override {
        std::vector<FoxgloveSubscriptions::Change> changes;
        m_subs.Clear(changes);
        Act(changes);
    }

    void Refuse(const std::string& why) {
        ++Owner().Counters().badMessages;
        SendControl(FoxgloveStatusJson(FoxgloveStatusLevel::Error, why));
    }

    void OnText(const std::string& text) {
        std::vector<FoxgloveSubscriptions::Change> changes;
        std::vector<std::string> reasons;
        const bool parsed = m_subs.Apply(
            text, [this](uint32_t channel) { return m_server.byId[channel] != nullptr; }, changes, reasons);
        Act(changes);
        if (!parsed) return Refuse(reasons.front());
        if (reasons.empty()) return;
        // One status for the whole message, however many items fail: a
        // status each would fill the control queue and close the client.
        std::string error;
        for (size_t i = 0; i < reasons.size() && i < kMaxReasons; ++i) error += (i ? "; " : "") + reasons[i];
        if (reasons.size() > kMaxReasons) error += "; and " + std::to_string(reasons.size() - kMaxReasons) + " more";
        Refuse(error);
    }

    // What the subscriptions' changes mean for the counts and the queues.
    void Act(const std::vector<FoxgloveSubscriptions::Change>& changes) {
        for (const FoxgloveSubscriptions::Change& c : changes) {
            if (c.subscribed) {
                ++m_server.subscribers[c.channel];
                if (m_server.byId[c.channel]->stream) StreamGap(c.channel);  // starts with a keyframe
            } else {
                ClearChannel(c.channel);
                --m_server.subscribers[c.channel];
            }
        }
    }

    void OnBinary(const unsigned char* bytes, size_t size) {
        FoxgloveServiceCall call;
        if (size == 0 || bytes[0] != kFoxgloveServiceCallRequest) return Refuse("client publishing is not supported");
        if (!ParseFoxgloveServiceCall(bytes, size, call)) return Refuse("malformed service call request");
        std::string reply;
        bool ok = false;
        const bool known = std::any_of(m_server.services.begin(), m_server.services.end(),
                                       [&](const FoxgloveService& s) { return s.id == call.serviceId; });
        if (!known) {
            reply = "no service " + std::to_string(call.serviceId);
        } else if (call.encoding != "json") {
            reply = "service requests must be encoded as json";
        } else if (!m_server.handler) {
            reply = "services are not available";
        } else if (!m_server.TakeServiceCall()) {
            reply = "too many service calls (at most " + std::to_string(m_server.config.serviceCallsPerSecond) +
                    " a second); try again";
        } else {
            try {
                ok = m_server.handler(call.serviceId, call.payload, reply);
            } catch (const std::exception& e) {
                reply = std::string("service failed: ") + e.what();
            } catch (...) {
                reply = "service failed";
            }
        }
        if (ok) {
            SendControl(FoxgloveServiceResponse(call.serviceId, call.callId, "json", reply), true);
        } else {
            ++Owner().Counters().badMessages;
            SendControl(FoxgloveServiceCallFailureJson(call.serviceId, call.callId, reply));
        }
    }

    FoxgloveServer::Impl& m_server;
    FoxgloveSubscriptions m_subs;
    uint64_t m_behind = 0;
    std::chrono::steady_clock::time_point m_nextWarning{};
};

void FoxgloveServer::Impl::OnRequest(HttpConnection& connection) {
    const HttpRequest& req = connection.Request();
    std::string subprotocol;
    const std::string refusal = CheckHandshake(req, subprotocol);
    if (!refusal.empty()) {
        ++core.Counters().refusedUpgrades;
        return connection.Refuse(websocket::is_upgrade(req) ? http::status::forbidden : http::status::upgrade_required,
                                 refusal);
    }
    const HttpRequest request = connection.TakeRequest();
    auto client = std::make_shared<FoxgloveClient>(*this, connection);
    client->Accept(request, subprotocol);
}

std::string FoxgloveServer::Impl::CheckHandshake(const HttpRequest& req, std::string& subprotocol) const {
    if (!websocket::is_upgrade(req))
        return core.Tls() ? "this is a Foxglove WebSocket endpoint: connect with wss://"
                          : "this is a Foxglove WebSocket endpoint: connect with ws://";
    if (core.Loopback() && !LoopbackHost(std::string(req[http::field::host]))) return "host not allowed";
    auto origin = req.find(http::field::origin);
    if (origin != req.end()) {
        std::string value = Lower(std::string(origin->value()));
        while (!value.empty() && value.back() == '/') value.pop_back();
        bool allowed = false;
        for (const std::string& o : config.allowedOrigins) allowed = allowed || Lower(o) == value;
        if (!allowed) return "origin not allowed (travik web --allow-origin ORIGIN allows a page's origin)";
    }
    subprotocol = PickFoxgloveSubprotocol(std::string(req[http::field::sec_websocket_protocol]));
    if (subprotocol.empty()) return std::string("subprotocol ") + kFoxgloveSubprotocol + " required";
    return std::string();
}

bool FoxgloveServer::Impl::TakeServiceCall() {
    const double rate = config.serviceCallsPerSecond;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - callRefill).count();
    callRefill = now;
    callTokens = std::min(rate, callTokens + seconds * rate);
    if (callTokens < 1) return false;
    callTokens -= 1;
    return true;
}

void FoxgloveServer::Impl::Drain() {
    std::deque<SessionItem> items[kChannels];
    bool gap[kChannels] = {};
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        for (uint32_t c = 0; c < kChannels; ++c) {
            items[c].swap(inbox[c]);
            std::swap(gap[c], inboxGap[c]);
        }
        drainPosted = false;
    }
    const auto sessions = core.Sessions();  // a client may finish while fed
    for (uint32_t c = 0; c < kChannels; ++c) {
        if (gap[c])
            for (const auto& session : sessions) static_cast<FoxgloveClient*>(session.get())->StreamGap(c);
        for (const SessionItem& item : items[c])
            for (const auto& session : sessions) static_cast<FoxgloveClient*>(session.get())->Queue(c, item);
    }
}

FoxgloveServer::FoxgloveServer() : m_impl(std::make_unique<Impl>()) {}

FoxgloveServer::~FoxgloveServer() { Stop(); }

void FoxgloveServer::SetChannels(std::vector<FoxgloveChannel> channels) {
    Impl& s = *m_impl;
    s.channels.clear();
    for (const FoxgloveChannel*& p : s.byId) p = nullptr;
    for (FoxgloveChannel& c : channels)
        if (c.id < kChannels) s.channels.push_back(std::move(c));
    for (const FoxgloveChannel& c : s.channels) s.byId[c.id] = &c;
}

void FoxgloveServer::SetServices(std::vector<FoxgloveService> services, ServiceHandler handler) {
    m_impl->services = std::move(services);
    m_impl->handler = std::move(handler);
}

bool FoxgloveServer::Start(const FoxgloveServerConfig& config, std::string& error) {
    Impl& s = *m_impl;
    s.config = config;
    s.serverInfo = FoxgloveServerInfoJson(config.name, std::to_string(travik::NowMicros()));
    s.advertise = FoxgloveAdvertiseJson(s.channels);
    s.advertiseServices = FoxgloveAdvertiseServicesJson(s.services);
    ServerConfig core;
    core.address = config.address;
    core.port = config.port;
    core.maxConnections = config.maxConnections;
    core.maxHandshakes = config.maxHandshakes;
    core.firstRequestTimeout = config.firstRequestTimeout;
    core.name = "travik web: foxglove";
    core.security = config.security;
    return s.core.Start(core, s, error);
}

int FoxgloveServer::Port() const { return m_impl->core.Port(); }

void FoxgloveServer::Stop() {
    Impl& s = *m_impl;
    s.core.Stop();
    for (auto& n : s.subscribers) n = 0;
}

uint32_t FoxgloveServer::Subscribers(uint32_t channelId) const {
    return channelId < kChannels ? m_impl->subscribers[channelId].load() : 0;
}

bool FoxgloveServer::Publish(uint32_t channelId, uint64_t logTimeNanos, std::shared_ptr<const std::string> payload,
                             uint64_t receivedMicros, bool keyframe) {
    Impl& s = *m_impl;
    if (!payload || channelId >= kChannels || !s.byId[channelId]) return false;
    std::lock_guard<std::mutex> lock(s.inboxMutex);
    std::deque<SessionItem>& queue = s.inbox[channelId];
    SessionItem item{std::move(payload), logTimeNanos, receivedMicros, keyframe};
    if (s.byId[channelId]->stream) {
        if (keyframe) {
            queue.clear();  // nothing before a keyframe is needed
        } else if (queue.size() >= kMaxInboxStream) {
            // The server thread is behind: rather than a gap, every
            // subscriber waits for the next keyframe.
            queue.clear();
            s.inboxGap[channelId] = true;
            s.keyframeWanted[channelId] = true;
            return true;
        }
    } else {
        const size_t bound = s.Bound(channelId);
        while (queue.size() >= bound) queue.pop_front();
    }
    queue.push_back(std::move(item));
    if (!s.drainPosted) s.drainPosted = s.core.Post([&s] { s.Drain(); });
    return true;
}

bool FoxgloveServer::TakeKeyframeWanted(uint32_t channelId) {
    return channelId < kChannels && m_impl->keyframeWanted[channelId].exchange(false);
}

FoxgloveServerStats FoxgloveServer::TakeStats() {
    ServerCounters& c = m_impl->core.Counters();
    FoxgloveServerStats out;
    c.Take(out, out.messagesQueued, out.messagesWritten, out.messagesReplaced);
    out.clients = c.openSessions;
    return out;
}

}  // namespace travik_tool
