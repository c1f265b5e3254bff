// The Foxglove endpoint: accept loop, handshake checks, one FoxgloveClient
// per connection and the inbox that carries published messages onto the
// server thread.
#include "web/foxglove_server.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <optional>

#include "platform/clock.h"
#include "web/server_impl.h"

namespace travik_tool {

namespace {

constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
// Client messages are small JSON and service calls; larger ones close the
// connection (WebSocket status 1009).
constexpr size_t kReadMessageMax = 64 * 1024;
constexpr size_t kMaxControlMessages = 64;
// At most one "falling behind" status per client in this time.
constexpr auto kBehindWarningEvery = std::chrono::seconds(5);

struct Item {
    std::shared_ptr<const std::string> payload;
    uint64_t logTimeNanos = 0;
    uint64_t receivedMicros = 0;
};

constexpr uint32_t kChannels = FoxgloveServer::kMaxFoxgloveChannels;
// Wider than any subscription id: a client may use every 32-bit value.
constexpr uint64_t kNoSubscription = ~uint64_t{0};
// Reasons named in the one error status answering a client message.
constexpr size_t kMaxReasons = 4;

}  // namespace

class FoxgloveClient;

struct FoxgloveServer::Impl {
    FoxgloveServerConfig config;
    std::vector<FoxgloveChannel> channels;
    std::vector<FoxgloveService> services;
    ServiceHandler handler;
    const FoxgloveChannel* byId[kChannels] = {};
    std::string serverInfo, advertise, advertiseServices;

    std::unique_ptr<asio::io_context> ioc;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> acceptRetry;
    std::thread thread;
    int port = 0;
    bool loopback = true;

    std::array<std::atomic<uint32_t>, kChannels> subscribers{};
    std::atomic<uint64_t> clients{0}, queued{0}, written{0}, replaced{0}, badMessages{0}, refusedUpgrades{0},
        acceptFailures{0}, loopErrors{0};
    std::mutex hopMutex;
    std::vector<int64_t> hopMicros;

    // Server thread only.
    bool accepting = false, retryPending = false, acceptFailing = false;
    std::map<FoxgloveClient*, std::shared_ptr<FoxgloveClient>> connections;
    double callTokens = 0;
    std::chrono::steady_clock::time_point callRefill{};

    // Inbox: any thread, under inboxMutex.
    std::mutex inboxMutex;
    std::deque<Item> inbox[kChannels];
    bool drainPosted = false;

    void Accept();
    void OnAcceptFailed(const beast::error_code& ec);
    void Closed(FoxgloveClient* client);
    void Drain();
    // False when the service call budget is spent; takes one call from it.
    bool TakeServiceCall();
    // "" when the handshake may proceed, else why not.
    std::string CheckHandshake(const http::request<http::empty_body>& req, std::string& subprotocol) const;
};

// One connection: the HTTP upgrade, then the Foxglove session. Server
// thread only. Ownership as WebTab's: the server's map and every pending
// operation (`self`) hold it; the server (Impl) outlives it.
class FoxgloveClient : public std::enable_shared_from_this<FoxgloveClient> {
public:
    FoxgloveClient(tcp::socket socket, FoxgloveServer::Impl& server) : m_ws(std::move(socket)), m_server(server) {
        m_subscriptionOf.fill(kNoSubscription);
    }

    void Start() {
        m_parser.emplace();
        m_parser->header_limit(16 * 1024);
        beast::get_lowest_layer(m_ws).expires_after(kHandshakeTimeout);
        auto self = shared_from_this();
        http::async_read(m_ws.next_layer(), m_readBuffer, *m_parser,
                         [self](beast::error_code ec, size_t) { self->OnRequest(ec); });
    }

    // A published message for `channel`; ignored unless subscribed.
    void Queue(uint32_t channel, const Item& item) {
        if (m_closed || !m_open || m_subscriptionOf[channel] == kNoSubscription) return;
        const FoxgloveChannel& info = *m_server.byId[channel];
        std::deque<Item>& queue = m_pending[channel];
        const size_t bound = info.latestOnly ? 1 : m_server.config.clientQueueMessages;
        if (queue.size() >= bound) {
            queue.pop_front();
            ++m_server.replaced;
            ++m_behind;
            const auto now = std::chrono::steady_clock::now();
            if (now >= m_nextWarning) {
                m_nextWarning = now + kBehindWarningEvery;
                Control(false,
                        FoxgloveStatusJson(FoxgloveStatusLevel::Warning,
                                           "travik: this connection is falling behind; " + std::to_string(m_behind) +
                                               " message(s) replaced by newer ones (" + info.topic + ")"));
                m_behind = 0;
            }
        }
        queue.push_back(item);
        ++m_server.queued;
        Pump();
    }

    // The server closes the client (Stop): no onClosed.
    void Close() {
        if (m_closed) return;
        m_closed = true;
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().close(ignored);
    }

private:
    void OnRequest(beast::error_code ec) {
        if (ec) return Finish();
        m_request = m_parser->release();
        std::string subprotocol;
        const std::string refusal = m_server.CheckHandshake(m_request, subprotocol);
        if (!refusal.empty()) {
            ++m_server.refusedUpgrades;
            auto res = std::make_shared<http::response<http::string_body>>(
                websocket::is_upgrade(m_request) ? http::status::forbidden : http::status::upgrade_required,
                m_request.version());
            res->set(http::field::server, "travik");
            res->set(http::field::content_type, "text/plain; charset=utf-8");
            res->body() = refusal + "\n";
            res->keep_alive(false);
            res->prepare_payload();
            auto self = shared_from_this();
            http::async_write(m_ws.next_layer(), *res, [self, res](beast::error_code, size_t) { self->Finish(); });
            return;
        }
        beast::get_lowest_layer(m_ws).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kHandshakeTimeout;
        timeouts.idle_timeout = std::chrono::seconds(30);
        timeouts.keep_alive_pings = true;
        m_ws.set_option(timeouts);
        m_ws.set_option(websocket::stream_base::decorator([subprotocol](websocket::response_type& res) {
            res.set(http::field::server, "travik");
            res.set(http::field::sec_websocket_protocol, subprotocol);
        }));
        m_ws.read_message_max(kReadMessageMax);
        m_ws.auto_fragment(false);
        auto self = shared_from_this();
        m_ws.async_accept(m_request, [self](beast::error_code acceptEc) {
            if (acceptEc) return self->Finish();
            self->m_open = true;
            self->m_request = {};
            ++self->m_server.clients;
            self->m_counted = true;
            self->Control(false, self->m_server.serverInfo);
            self->Control(false, self->m_server.advertise);
            if (!self->m_server.services.empty()) self->Control(false, self->m_server.advertiseServices);
            self->Read();
        });
    }

    void Read() {
        auto self = shared_from_this();
        m_readBuffer.consume(m_readBuffer.size());
        m_ws.async_read(m_readBuffer, [self](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (ec) return Finish();
        if (m_ws.got_text()) {
            OnText(beast::buffers_to_string(m_readBuffer.data()));
        } else {
            const std::string bytes = beast::buffers_to_string(m_readBuffer.data());
            OnBinary(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        }
        if (!m_closed) Read();
    }

    void Refuse(const std::string& why) {
        ++m_server.badMessages;
        Control(false, FoxgloveStatusJson(FoxgloveStatusLevel::Error, why));
    }

    void OnText(const std::string& text) {
        FoxgloveClientOp op;
        std::string error;
        if (!ParseFoxgloveClientText(text, kChannels, op, error)) return Refuse(error);
        // One status for the whole message, however many items fail: a
        // status each would fill the control queue and close the client.
        size_t refused = 0;
        auto refuse = [&](const std::string& why) {
            if (refused++ < kMaxReasons) error += (error.empty() ? "" : "; ") + why;
        };
        if (op.kind == FoxgloveClientOp::Subscribe) {
            for (const auto& [id, channel] : op.subscriptions) {
                if (channel >= kChannels || !m_server.byId[channel]) {
                    refuse("no channel " + std::to_string(channel));
                } else if (m_subscriptionOf[channel] != kNoSubscription) {
                    refuse("channel " + std::to_string(channel) + " is already subscribed");
                } else if (m_channelOf.count(id)) {
                    refuse("subscription id " + std::to_string(id) + " is in use");
                } else {
                    m_subscriptionOf[channel] = id;
                    m_channelOf[id] = channel;
                    ++m_server.subscribers[channel];
                }
            }
        } else {
            for (uint32_t id : op.unsubscribe) {
                auto found = m_channelOf.find(id);
                if (found == m_channelOf.end()) {
                    refuse("no subscription " + std::to_string(id));
                    continue;
                }
                Unsubscribe(found->second);
                m_channelOf.erase(found);
            }
        }
        if (refused > kMaxReasons) error += "; and " + std::to_string(refused - kMaxReasons) + " more";
        if (refused > 0) Refuse(error);
    }

    void Unsubscribe(uint32_t channel) {
        m_subscriptionOf[channel] = kNoSubscription;
        m_pending[channel].clear();
        --m_server.subscribers[channel];
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
            Control(true, FoxgloveServiceResponse(call.serviceId, call.callId, "json", reply));
        } else {
            ++m_server.badMessages;
            Control(false, FoxgloveServiceCallFailureJson(call.serviceId, call.callId, reply));
        }
    }

    // A control message (JSON text, or a binary service response). A client
    // that lets them pile up does not read at all: it is closed.
    void Control(bool binary, std::string message) {
        if (m_closed) return;
        if (m_control.size() >= kMaxControlMessages) return Finish();
        m_control.emplace_back(binary, std::move(message));
        Pump();
    }

    void Pump() {
        if (!m_open || m_writing || m_closed) return;
        auto self = shared_from_this();
        if (!m_control.empty()) {
            m_controlOut = std::move(m_control.front());
            m_control.pop_front();
            m_writing = true;
            m_ws.binary(m_controlOut.first);
            m_ws.async_write(asio::buffer(m_controlOut.second),
                             [self](beast::error_code ec, size_t) { self->OnWritten(ec, false, 0); });
            return;
        }
        for (uint32_t i = 0; i < kChannels; ++i) {
            const uint32_t channel = (m_nextChannel + i) % kChannels;
            std::deque<Item>& queue = m_pending[channel];
            if (queue.empty()) continue;
            m_nextChannel = (channel + 1) % kChannels;
            m_itemOut = std::move(queue.front());
            queue.pop_front();
            WriteFoxgloveMessageHeader(static_cast<uint32_t>(m_subscriptionOf[channel]), m_itemOut.logTimeNanos,
                                       m_header);
            const std::array<asio::const_buffer, 2> buffers{asio::buffer(m_header, sizeof m_header),
                                                            asio::buffer(*m_itemOut.payload)};
            m_writing = true;
            m_ws.binary(true);
            const uint64_t received = m_itemOut.receivedMicros;
            m_ws.async_write(buffers,
                             [self, received](beast::error_code ec, size_t) { self->OnWritten(ec, true, received); });
            return;
        }
    }

    void OnWritten(beast::error_code ec, bool message, uint64_t receivedMicros) {
        m_writing = false;
        m_itemOut = Item();
        m_controlOut.second.clear();
        if (ec) return Finish();
        if (message) {
            ++m_server.written;
            if (receivedMicros > 0) {
                const int64_t hop = travik::NowMicros() - static_cast<int64_t>(receivedMicros);
                std::lock_guard<std::mutex> lock(m_server.hopMutex);
                if (m_server.hopMicros.size() < kMaxHopSamples) m_server.hopMicros.push_back(hop);
            }
        }
        Pump();
    }

    // Ends on its own (closed by the peer, a failed read or write, a refused
    // handshake): drops its subscriptions and tells the server, once.
    void Finish() {
        Close();
        if (m_finished) return;
        m_finished = true;
        for (uint32_t c = 0; c < kChannels; ++c)
            if (m_subscriptionOf[c] != kNoSubscription) Unsubscribe(c);
        m_channelOf.clear();
        m_control.clear();
        if (m_counted) --m_server.clients;
        m_server.Closed(this);
    }

    websocket::stream<beast::tcp_stream> m_ws;
    FoxgloveServer::Impl& m_server;
    beast::flat_buffer m_readBuffer;
    std::optional<http::request_parser<http::empty_body>> m_parser;
    http::request<http::empty_body> m_request;
    bool m_open = false, m_writing = false, m_closed = false, m_finished = false, m_counted = false;
    std::array<uint64_t, kChannels> m_subscriptionOf;  // channel -> subscription id
    std::map<uint32_t, uint32_t> m_channelOf;          // subscription id -> channel
    std::deque<Item> m_pending[kChannels];
    uint32_t m_nextChannel = 0;
    std::deque<std::pair<bool, std::string>> m_control;
    std::pair<bool, std::string> m_controlOut;
    Item m_itemOut;
    unsigned char m_header[kFoxgloveMessageHeaderBytes] = {};
    uint64_t m_behind = 0;
    std::chrono::steady_clock::time_point m_nextWarning{};
};

std::string FoxgloveServer::Impl::CheckHandshake(const http::request<http::empty_body>& req,
                                                 std::string& subprotocol) const {
    if (!websocket::is_upgrade(req)) return "this is a Foxglove WebSocket endpoint: connect with ws://";
    if (loopback && !LoopbackHost(std::string(req[http::field::host]))) return "host not allowed";
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

void FoxgloveServer::Impl::Accept() {
    if (accepting || retryPending || !acceptor || !acceptor->is_open()) return;
    // At the cap new connections wait in the kernel's backlog; Closed resumes.
    if (connections.size() >= config.maxConnections) return;
    accepting = true;
    acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
        accepting = false;
        if (ec == asio::error::operation_aborted || !acceptor || !acceptor->is_open()) return;
        if (ec) return OnAcceptFailed(ec);
        acceptFailing = false;
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto client = std::make_shared<FoxgloveClient>(std::move(socket), *this);
        connections[client.get()] = client;
        client->Start();
        Accept();
    });
}

void FoxgloveServer::Impl::OnAcceptFailed(const beast::error_code& ec) {
    ++acceptFailures;
    if (!acceptFailing) {
        std::fprintf(stderr, "travik web: foxglove accept failed: %s; retrying every %d ms\n", ec.message().c_str(),
                     static_cast<int>(kAcceptRetry.count()));
    }
    acceptFailing = true;
    retryPending = true;
    acceptRetry->expires_after(kAcceptRetry);
    acceptRetry->async_wait([this](beast::error_code waitEc) {
        retryPending = false;
        if (waitEc == asio::error::operation_aborted) return;
        Accept();
    });
}

void FoxgloveServer::Impl::Closed(FoxgloveClient* client) {
    // The caller's own reference (`self` of the running handler, or the
    // drain's copy) keeps it alive until it returns.
    connections.erase(client);
    Accept();
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
    std::deque<Item> items[kChannels];
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        for (uint32_t c = 0; c < kChannels; ++c) items[c].swap(inbox[c]);
        drainPosted = false;
    }
    std::vector<std::shared_ptr<FoxgloveClient>> open;
    for (const auto& kv : connections) open.push_back(kv.second);
    for (uint32_t c = 0; c < kChannels; ++c) {
        for (const Item& item : items[c])
            for (auto& client : open) client->Queue(c, item);
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
    beast::error_code ec;
    const auto address = asio::ip::make_address(config.address, ec);
    if (ec) {
        error = "bad address '" + config.address + "' (expected an IP address such as 127.0.0.1)";
        return false;
    }
    s.loopback = address.is_loopback();
    {
        std::lock_guard<std::mutex> lock(s.inboxMutex);  // Publish reads it
        s.ioc = std::make_unique<asio::io_context>(1);
    }
    s.acceptor = std::make_unique<tcp::acceptor>(*s.ioc);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(config.port));
    s.acceptor->open(endpoint.protocol(), ec);
    if (!ec) s.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) s.acceptor->bind(endpoint, ec);
    if (!ec) s.acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + config.address + ":" + std::to_string(config.port) + ": " + ec.message();
        s.acceptor.reset();
        std::lock_guard<std::mutex> lock(s.inboxMutex);
        s.ioc.reset();
        return false;
    }
    s.port = s.acceptor->local_endpoint().port();
    s.acceptRetry = std::make_unique<asio::steady_timer>(*s.ioc);
    s.Accept();
    s.thread = std::thread([&s] { RunServerLoop(*s.ioc, s.loopErrors); });
    return true;
}

int FoxgloveServer::Port() const { return m_impl->port; }

void FoxgloveServer::Stop() {
    Impl& s = *m_impl;
    if (!s.ioc) return;
    asio::post(*s.ioc, [&s] {
        beast::error_code ignored;
        s.acceptor->close(ignored);
        s.acceptRetry->cancel();
        for (auto& kv : s.connections) kv.second->Close();
    });
    s.ioc->stop();
    if (s.thread.joinable()) s.thread.join();
    s.connections.clear();
    s.acceptor.reset();
    s.acceptRetry.reset();
    {
        std::lock_guard<std::mutex> lock(s.inboxMutex);
        s.ioc.reset();  // destroys pending handlers and the clients they hold
    }
    for (auto& n : s.subscribers) n = 0;
    s.clients = 0;
}

uint32_t FoxgloveServer::Subscribers(uint32_t channelId) const {
    return channelId < kChannels ? m_impl->subscribers[channelId].load() : 0;
}

bool FoxgloveServer::Publish(uint32_t channelId, uint64_t logTimeNanos, std::shared_ptr<const std::string> payload,
                             uint64_t receivedMicros) {
    Impl& s = *m_impl;
    if (!payload || channelId >= kChannels || !s.byId[channelId]) return false;
    std::lock_guard<std::mutex> lock(s.inboxMutex);
    std::deque<Item>& queue = s.inbox[channelId];
    const size_t bound = s.byId[channelId]->latestOnly ? 1 : s.config.clientQueueMessages;
    while (queue.size() >= bound) queue.pop_front();
    queue.push_back(Item{std::move(payload), logTimeNanos, receivedMicros});
    if (!s.drainPosted && s.ioc) {
        s.drainPosted = true;
        asio::post(*s.ioc, [&s] { s.Drain(); });
    }
    return true;
}

FoxgloveServerStats FoxgloveServer::TakeStats() {
    Impl& s = *m_impl;
    FoxgloveServerStats out;
    out.clients = s.clients;
    out.messagesQueued = s.queued;
    out.messagesWritten = s.written;
    out.messagesReplaced = s.replaced;
    out.badMessages = s.badMessages;
    out.refusedUpgrades = s.refusedUpgrades;
    out.acceptFailures = s.acceptFailures;
    out.loopErrors = s.loopErrors;
    std::lock_guard<std::mutex> lock(s.hopMutex);
    out.hopMicros.swap(s.hopMicros);
    return out;
}

}  // namespace travik_tool
