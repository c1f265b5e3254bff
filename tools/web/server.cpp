// Accept loop, plain HTTP (the embedded page) and the upgrade checks; the
// inbox that carries published items onto the server thread and fans them
// out to the tabs.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <optional>

#include "common/bounded_lines.h"
#include "web/assets.h"
#include "web/server_impl.h"

namespace travik_tool {

namespace {

constexpr size_t kMaxRequestBody = 16 * 1024;
constexpr auto kHttpTimeout = std::chrono::seconds(30);
// Connections past maxConnections that are still read and answered 503, so
// that a browser sees why; past these, accepting pauses.
constexpr size_t kRefusalSlots = 8;

}  // namespace

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool LoopbackHost(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name.front() == '[') {
        name = name.substr(0, name.find(']') + 1);
    } else {
        name = name.substr(0, name.find(':'));
    }
    name = Lower(name);
    return name == "127.0.0.1" || name == "localhost" || name == "[::1]";
}

class HttpConnection;

struct WebServer::Impl {
    WebServerConfig config;
    CommandHandler handler;
    std::unique_ptr<asio::io_context> ioc;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::thread thread;
    int port = 0;
    bool loopback = true;
    ServerCounters counters;

    // Server thread only.
    std::unique_ptr<asio::steady_timer> acceptRetry;
    bool accepting = false;      // an async_accept is pending
    bool retryPending = false;   // paused after a failed accept
    bool acceptFailing = false;  // the last accept failed (to print one line per streak)
    size_t connections = 0;      // HttpConnection objects alive
    std::map<WebTab*, std::shared_ptr<WebTab>> tabs;
    std::map<std::string, std::string> texts;  // "hello", "state", ...
    std::deque<std::string> logSnapshot;
    WebImage imageSnapshot[travik::kImageChannels];

    // Inbox: any thread, under inboxMutex.
    std::mutex inboxMutex;
    WebImage inImages[travik::kImageChannels];
    BoundedLines inLogs{0, 0, true};  // bounded once Start has the config
    uint64_t inLogsDropped = 0;
    std::vector<std::pair<std::string, std::string>> inTexts;
    bool drainPosted = false;

    // Arms one accept unless one is pending, accepting is paused or the
    // acceptor is closed.
    void Accept();
    void OnAcceptFailed(const beast::error_code& ec);
    // An HttpConnection ends: resumes accepting if it was paused for capacity.
    void ConnectionClosed();
    void Wake();  // under inboxMutex
    void Drain();
    // Whether an upgrade may proceed; otherwise the status to answer with.
    http::status CheckUpgrade(const http::request<http::string_body>& req);
    void OpenTab(tcp::socket socket, http::request<http::string_body> req);
};

// One plain HTTP connection: requests for the page's files, or the
// upgrade that turns it into a tab. `refuse`: over the connection cap; its
// first request is answered 503 and the connection closed. Server thread
// only; borrows the server, which outlives it (see WebTab).
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(tcp::socket socket, WebServer::Impl& server, bool refuse)
        : m_stream(std::move(socket)), m_server(server), m_refuse(refuse) {
        m_server.counters.connections = ++m_server.connections;
    }
    ~HttpConnection() {
        m_server.counters.connections = --m_server.connections;
        m_server.ConnectionClosed();
    }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    void Read() {
        m_parser.emplace();
        m_parser->body_limit(kMaxRequestBody);
        m_parser->header_limit(16 * 1024);
        m_stream.expires_after(kHttpTimeout);
        auto self = shared_from_this();
        http::async_read(m_stream, m_buffer, *m_parser, [self](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

private:
    void OnRead(beast::error_code ec) {
        if (ec) return Close();
        http::request<http::string_body> req = m_parser->release();
        if (m_refuse) {
            ++m_server.counters.refusedConnections;
            return Respond(req, http::status::service_unavailable, "text/plain; charset=utf-8",
                           "too many connections\n", false);
        }
        if (websocket::is_upgrade(req)) {
            http::status refusal = m_server.CheckUpgrade(req);
            if (refusal == http::status::ok) {
                m_stream.expires_never();
                return m_server.OpenTab(m_stream.release_socket(), std::move(req));
            }
            ++m_server.counters.refusedUpgrades;
            return Respond(req, refusal, "text/plain; charset=utf-8",
                           refusal == http::status::forbidden ? "websocket upgrade refused: origin not allowed\n"
                                                              : "too many tabs\n",
                           false);
        }
        if (req.method() != http::verb::get && req.method() != http::verb::head)
            return Respond(req, http::status::method_not_allowed, "text/plain", "GET only\n", false);
        if (m_server.loopback && !LoopbackHost(std::string(req[http::field::host])))
            return Respond(req, http::status::forbidden, "text/plain", "host not allowed\n", false);
        const WebAsset* asset = FindWebAsset(std::string(req.target()));
        if (!asset) return Respond(req, http::status::not_found, "text/plain", "not found\n", req.keep_alive());
        Respond(req, http::status::ok, asset->contentType,
                std::string(reinterpret_cast<const char*>(asset->data), asset->size), req.keep_alive());
    }

    void Respond(const http::request<http::string_body>& req, http::status status, const char* type, std::string body,
                 bool keepAlive) {
        auto res = std::make_shared<http::response<http::string_body>>(status, req.version());
        res->set(http::field::server, "travik");
        res->set(http::field::content_type, type);
        res->set(http::field::cache_control, "no-store");
        res->set("X-Content-Type-Options", "nosniff");
        res->set("Content-Security-Policy",
                 "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'; frame-ancestors 'none'");
        const bool head = req.method() == http::verb::head;
        res->body() = head ? std::string() : std::move(body);
        res->keep_alive(keepAlive);
        res->prepare_payload();
        auto self = shared_from_this();
        http::async_write(m_stream, *res, [self, res](beast::error_code ec, size_t) {
            if (ec || !res->keep_alive()) return self->Close();
            self->Read();
        });
    }

    void Close() {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.socket().close(ignored);
    }

    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    WebServer::Impl& m_server;
    const bool m_refuse;
};

http::status WebServer::Impl::CheckUpgrade(const http::request<http::string_body>& req) {
    const std::string host(req[http::field::host]);
    if (req.target() != "/ws" || (loopback && !LoopbackHost(host))) return http::status::forbidden;
    // Browsers always send Origin; it must be this page's own host. A client
    // that is not a browser sends none and cannot be driven by another site.
    auto origin = req.find(http::field::origin);
    if (origin != req.end()) {
        const std::string value = Lower(std::string(origin->value()));
        if (value != "http://" + Lower(host)) return http::status::forbidden;
    }
    if (tabs.size() >= config.maxTabs) return http::status::service_unavailable;
    return http::status::ok;
}

void WebServer::Impl::OpenTab(tcp::socket socket, http::request<http::string_body> req) {
    auto tab = std::make_shared<WebTab>(std::move(socket), config.tabLogLines, counters, &handler, [this](WebTab* t) {
        tabs.erase(t);
        counters.tabs = tabs.size();
    });
    tabs[tab.get()] = tab;
    counters.tabs = tabs.size();
    std::vector<std::string> snapshotTexts;
    for (const auto& kv : texts) snapshotTexts.push_back(kv.second);
    std::vector<WebImage> images;
    for (const WebImage& image : imageSnapshot)
        if (image.message) images.push_back(image);
    tab->Accept(std::move(req), std::move(snapshotTexts),
                std::vector<std::string>(logSnapshot.begin(), logSnapshot.end()), std::move(images));
}

void WebServer::Impl::Accept() {
    if (accepting || retryPending || !acceptor || !acceptor->is_open()) return;
    accepting = true;
    acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
        accepting = false;
        if (ec == asio::error::operation_aborted || !acceptor || !acceptor->is_open()) return;
        if (ec) return OnAcceptFailed(ec);
        acceptFailing = false;
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        const bool refuse = connections >= config.maxConnections;
        std::make_shared<HttpConnection>(std::move(socket), *this, refuse)->Read();
        // At the hard cap, ConnectionClosed resumes; meanwhile new
        // connections wait in the kernel's backlog.
        if (connections < config.maxConnections + kRefusalSlots) Accept();
    });
}

void WebServer::Impl::OnAcceptFailed(const beast::error_code& ec) {
    ++counters.acceptFailures;
    if (!acceptFailing) {
        std::fprintf(stderr, "travik web: accept failed: %s; retrying every %d ms\n", ec.message().c_str(),
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

void WebServer::Impl::ConnectionClosed() {
    // Runs in a destructor: nothing may escape. Should arming fail, the next
    // connection to close tries again.
    try {
        Accept();
    } catch (const std::exception& e) {
        accepting = false;
        std::fprintf(stderr, "travik web: cannot resume accepting: %s\n", e.what());
    }
}

void RunServerLoop(asio::io_context& ioc, std::atomic<uint64_t>& loopErrors) {
    for (;;) {
        std::string what;
        try {
            ioc.run();
            return;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
            what = "an exception that is not a std::exception";
        }
        const uint64_t n = ++loopErrors;
        std::fprintf(stderr, "travik web: error on the server thread: %s (%" PRIu64 " so far); carrying on\n",
                     what.c_str(), n);
    }
}

void WebServer::Impl::Wake() {
    if (drainPosted || !ioc) return;
    drainPosted = true;
    asio::post(*ioc, [this] { Drain(); });
}

void WebServer::Impl::Drain() {
    WebImage images[travik::kImageChannels];
    std::deque<std::string> logs;
    uint64_t dropped = 0;
    std::vector<std::pair<std::string, std::string>> newTexts;
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        for (int c = 0; c < travik::kImageChannels; ++c) std::swap(images[c], inImages[c]);
        logs = inLogs.TakeAll();
        std::swap(dropped, inLogsDropped);
        newTexts.swap(inTexts);
        drainPosted = false;
    }
    // Tabs may close (and leave `tabs`) while being fed: iterate a copy.
    std::vector<std::shared_ptr<WebTab>> open;
    for (const auto& kv : tabs) open.push_back(kv.second);
    for (auto& kv : newTexts) {
        texts[kv.first] = kv.second;
        for (auto& tab : open) tab->QueueText(kv.second);
    }
    if (!logs.empty() || dropped > 0) {
        std::vector<std::string> lines(logs.begin(), logs.end());
        for (auto& tab : open) tab->QueueLogs(lines, dropped);
        for (std::string& line : lines) {
            logSnapshot.push_back(std::move(line));
            if (logSnapshot.size() > config.snapshotLogLines) logSnapshot.pop_front();
        }
    }
    for (const WebImage& image : images) {
        if (!image.message) continue;
        imageSnapshot[image.channel] = image;  // checked by PublishImage
        for (auto& tab : open) tab->QueueImage(image);
    }
}

WebServer::WebServer() : m_impl(std::make_unique<Impl>()) {}

WebServer::~WebServer() { Stop(); }

void WebServer::SetCommandHandler(CommandHandler handler) { m_impl->handler = std::move(handler); }

bool WebServer::Start(const WebServerConfig& config, std::string& error) {
    Impl& s = *m_impl;
    s.config = config;
    {
        std::lock_guard<std::mutex> lock(s.inboxMutex);
        s.inLogs = BoundedLines(config.tabLogLines, BoundedLines::kNoByteLimit, true);
    }
    beast::error_code ec;
    const auto address = asio::ip::make_address(config.address, ec);
    if (ec) {
        error = "bad address '" + config.address + "' (expected an IP address such as 127.0.0.1)";
        return false;
    }
    s.loopback = address.is_loopback();
    s.ioc = std::make_unique<asio::io_context>(1);
    s.acceptor = std::make_unique<tcp::acceptor>(*s.ioc);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(config.port));
    s.acceptor->open(endpoint.protocol(), ec);
    if (!ec) s.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) s.acceptor->bind(endpoint, ec);
    if (!ec) s.acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + config.address + ":" + std::to_string(config.port) + ": " + ec.message();
        s.acceptor.reset();
        s.ioc.reset();
        return false;
    }
    s.port = s.acceptor->local_endpoint().port();
    s.acceptRetry = std::make_unique<asio::steady_timer>(*s.ioc);
    s.accepting = s.retryPending = s.acceptFailing = false;
    s.Accept();
    {
        std::lock_guard<std::mutex> lock(s.inboxMutex);
        s.drainPosted = false;
        s.Wake();  // items published before Start
    }
    s.thread = std::thread([&s] { RunServerLoop(*s.ioc, s.counters.loopErrors); });
    return true;
}

int WebServer::Port() const { return m_impl->port; }

void WebServer::Stop() {
    Impl& s = *m_impl;
    if (!s.ioc) return;
    asio::post(*s.ioc, [&s] {
        beast::error_code ignored;
        s.acceptor->close(ignored);
        s.acceptRetry->cancel();
        for (auto& kv : std::map<WebTab*, std::shared_ptr<WebTab>>(s.tabs)) kv.second->Close();
    });
    s.ioc->stop();
    if (s.thread.joinable()) s.thread.join();
    s.tabs.clear();
    s.acceptor.reset();
    s.acceptRetry.reset();
    {
        std::lock_guard<std::mutex> lock(s.inboxMutex);
        s.ioc.reset();  // destroys pending handlers and the tabs they hold
    }
    s.counters.tabs = 0;
}

bool WebServer::PublishImage(WebImage image) {
    if (!image.message || !travik::ValidChannel(image.channel)) return false;
    std::lock_guard<std::mutex> lock(m_impl->inboxMutex);
    const int channel = image.channel;
    m_impl->inImages[channel] = std::move(image);
    m_impl->Wake();
    return true;
}

void WebServer::PublishLog(const std::string& text) {
    Impl& s = *m_impl;
    std::lock_guard<std::mutex> lock(s.inboxMutex);
    const uint64_t dropped = s.inLogs.Push(text);
    s.inLogsDropped += dropped;
    s.counters.logLinesDropped += dropped;
    s.Wake();
}

void WebServer::PublishText(const std::string& key, std::string json) {
    std::lock_guard<std::mutex> lock(m_impl->inboxMutex);
    auto& pending = m_impl->inTexts;
    auto same = std::find_if(pending.begin(), pending.end(), [&](const auto& kv) { return kv.first == key; });
    if (same != pending.end()) {
        same->second = std::move(json);  // only the newest of a key matters
    } else {
        pending.emplace_back(key, std::move(json));
    }
    m_impl->Wake();
}

WebServerStats WebServer::TakeStats() {
    ServerCounters& c = m_impl->counters;
    WebServerStats s;
    s.tabs = c.tabs;
    s.imagesQueued = c.imagesQueued;
    s.imagesWritten = c.imagesWritten;
    s.imagesReplaced = c.imagesReplaced;
    s.logLinesDropped = c.logLinesDropped;
    s.badMessages = c.badMessages;
    s.refusedUpgrades = c.refusedUpgrades;
    s.connections = c.connections;
    s.refusedConnections = c.refusedConnections;
    s.acceptFailures = c.acceptFailures;
    s.loopErrors = c.loopErrors;
    std::lock_guard<std::mutex> lock(c.hopMutex);
    s.hopMicros.swap(c.hopMicros);
    return s;
}

}  // namespace travik_tool
