// The listener, the accept loop with its caps and back-off, the
// unfinished-handshake registry and the server thread.
#include "server/server.h"

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "server/host_policy.h"
#include "server/http_connection.h"
#include "server/session.h"

namespace travik_tool {

void ServerCounters::AddHop(int64_t micros) {
    std::lock_guard<std::mutex> lock(m_hopMutex);
    if (m_hops.size() < kMaxHopSamples) m_hops.push_back(micros);
}

void ServerCounters::Take(ServerStats& out, uint64_t& queued, uint64_t& written, uint64_t& replaced) {
    out.connections = connections;
    out.refusedConnections = refusedConnections;
    out.handshakesDropped = handshakesDropped;
    out.badRequests = badRequests;
    out.unauthorized = unauthorized;
    out.refusedUpgrades = refusedUpgrades;
    out.badMessages = badMessages;
    out.acceptFailures = acceptFailures;
    out.loopErrors = loopErrors;
    queued = itemsQueued;
    written = itemsWritten;
    replaced = itemsReplaced;
    std::lock_guard<std::mutex> lock(m_hopMutex);
    out.hopMicros.clear();
    out.hopMicros.swap(m_hops);
}

ConnectionSlot::ConnectionSlot(Server* server, bool refusal) : m_server(server), m_refusal(refusal) {
    if (m_refusal) {
        ++m_server->m_refusing;
    } else {
        ++m_server->m_slots;
    }
    m_server->m_counters.connections = m_server->m_slots + m_server->m_refusing;
}

ConnectionSlot::~ConnectionSlot() { Release(); }

ConnectionSlot::ConnectionSlot(ConnectionSlot&& other) noexcept : m_server(other.m_server), m_refusal(other.m_refusal) {
    other.m_server = nullptr;
}

ConnectionSlot& ConnectionSlot::operator=(ConnectionSlot&& other) noexcept {
    if (this != &other) {
        Release();
        m_server = other.m_server;
        m_refusal = other.m_refusal;
        other.m_server = nullptr;
    }
    return *this;
}

void ConnectionSlot::Release() {
    Server* server = m_server;
    m_server = nullptr;
    if (server) server->SlotFreed(m_refusal);
}

HandshakeTicket::HandshakeTicket(Server* server, std::function<void()> close)
    : m_server(server), m_id(server->AddHandshake(std::move(close))) {}

HandshakeTicket::~HandshakeTicket() { Release(); }

HandshakeTicket::HandshakeTicket(HandshakeTicket&& other) noexcept : m_server(other.m_server), m_id(other.m_id) {
    other.m_server = nullptr;
}

HandshakeTicket& HandshakeTicket::operator=(HandshakeTicket&& other) noexcept {
    if (this != &other) {
        Release();
        m_server = other.m_server;
        m_id = other.m_id;
        other.m_server = nullptr;
    }
    return *this;
}

void HandshakeTicket::Release() {
    if (m_server) m_server->m_handshakes.erase(m_id);  // absent once evicted
    m_server = nullptr;
}

void HandshakeTicket::Rebind(std::function<void()> close) {
    if (!m_server) return;
    auto found = m_server->m_handshakes.find(m_id);
    if (found != m_server->m_handshakes.end()) found->second = std::move(close);
}

uint64_t Server::AddHandshake(std::function<void()> close) {
    // The newcomer's place: the oldest unfinished handshake goes.
    while (!m_handshakes.empty() && m_handshakes.size() >= m_config.maxHandshakes) {
        auto oldest = m_handshakes.begin();
        std::function<void()> evict = std::move(oldest->second);
        m_handshakes.erase(oldest);
        ++m_counters.handshakesDropped;
        if (evict) evict();
    }
    const uint64_t id = m_nextTicket++;
    m_handshakes.emplace(id, std::move(close));
    return id;
}

Server::~Server() { Stop(); }

bool Server::Start(const ServerConfig& config, RequestHandler& handler, std::string& error) {
    m_config = config;
    if (m_config.maxHandshakes == 0) m_config.maxHandshakes = 1;
    m_handler = &handler;
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(config.address, ec);
    if (ec) {
        error = "bad address '" + config.address + "' (expected an IP address such as 127.0.0.1)";
        return false;
    }
    m_loopback = !BeyondLoopback(config.address);
    if (!m_loopback && !m_config.security.access.RequiresToken() && !m_config.security.serveWithoutToken) {
        error = "refusing to serve " + config.address +
                " without a token: anyone who can reach that address could watch and steer the device";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_postMutex);
        m_ioc = std::make_unique<asio::io_context>(1);
    }
    m_acceptor = std::make_unique<tcp::acceptor>(*m_ioc);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(config.port));
    m_acceptor->open(endpoint.protocol(), ec);
    if (!ec) m_acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) m_acceptor->bind(endpoint, ec);
    if (!ec) m_acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + config.address + ":" + std::to_string(config.port) + ": " + ec.message();
        m_acceptor.reset();
        std::lock_guard<std::mutex> lock(m_postMutex);
        m_ioc.reset();
        return false;
    }
    m_port = m_acceptor->local_endpoint().port();
    m_acceptRetry = std::make_unique<asio::steady_timer>(*m_ioc);
    m_accepting = m_retryPending = m_acceptFailing = false;
    Accept();
    m_thread = std::thread([this] { RunServerLoop(*m_ioc, m_counters.loopErrors, m_config.name); });
    return true;
}

void Server::Stop() {
    if (!m_ioc) return;
    asio::post(*m_ioc, [this] {
        boost::system::error_code ignored;
        m_acceptor->close(ignored);
        m_acceptRetry->cancel();
        for (auto& session : Sessions()) session->Close();
    });
    m_ioc->stop();
    if (m_thread.joinable()) m_thread.join();
    // The listener goes first: a session's slot freed below must not arm
    // another accept.
    m_acceptor.reset();
    m_acceptRetry.reset();
    m_sessions.clear();
    m_counters.sessions = 0;
    m_counters.openSessions = 0;
    std::unique_ptr<asio::io_context> ioc;
    {
        std::lock_guard<std::mutex> lock(m_postMutex);
        ioc = std::move(m_ioc);
    }
    ioc.reset();  // destroys pending handlers and the connections they hold
    m_handshakes.clear();
}

bool Server::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(m_postMutex);
    if (!m_ioc) return false;
    asio::post(*m_ioc, std::move(fn));
    return true;
}

void Server::AddSession(std::shared_ptr<Session> session) {
    Session* key = session.get();
    m_sessions[key] = std::move(session);
    m_counters.sessions = m_sessions.size();
}

void Server::RemoveSession(Session* session) {
    m_sessions.erase(session);
    m_counters.sessions = m_sessions.size();
}

std::vector<std::shared_ptr<Session>> Server::Sessions() const {
    std::vector<std::shared_ptr<Session>> out;
    out.reserve(m_sessions.size());
    for (const auto& kv : m_sessions) out.push_back(kv.second);
    return out;
}

void Server::Accept() {
    if (m_accepting || m_retryPending || !m_acceptor || !m_acceptor->is_open()) return;
    // At the hard cap new connections wait in the kernel's backlog;
    // SlotFreed resumes.
    if (m_slots >= m_config.maxConnections && m_refusing >= m_config.refusalSlots) return;
    m_accepting = true;
    m_acceptor->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        m_accepting = false;
        if (ec == asio::error::operation_aborted || !m_acceptor || !m_acceptor->is_open()) return;
        if (ec) return OnAcceptFailed(ec);
        m_acceptFailing = false;
        OnAccepted(std::move(socket));
        Accept();
    });
}

void Server::OnAccepted(tcp::socket socket) {
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const bool refuse = m_slots >= m_config.maxConnections;
    ConnectionSlot slot(this, refuse);
    const auto& tls = m_config.security.tls;
    ServerStream stream = tls ? ServerStream(std::move(socket), *tls) : ServerStream(std::move(socket));
    std::make_shared<HttpConnection>(std::move(stream), *this, std::move(slot), refuse)->Start();
}

void Server::OnAcceptFailed(const boost::system::error_code& ec) {
    ++m_counters.acceptFailures;
    if (!m_acceptFailing) {
        std::fprintf(stderr, "%s: accept failed: %s; retrying every %d ms\n", m_config.name.c_str(),
                     ec.message().c_str(), static_cast<int>(kAcceptRetry.count()));
    }
    m_acceptFailing = true;
    m_retryPending = true;
    m_acceptRetry->expires_after(kAcceptRetry);
    m_acceptRetry->async_wait([this](boost::system::error_code waitEc) {
        m_retryPending = false;
        if (waitEc == asio::error::operation_aborted) return;
        Accept();
    });
}

void Server::SlotFreed(bool refusal) {
    if (refusal) {
        --m_refusing;
    } else {
        --m_slots;
    }
    m_counters.connections = m_slots + m_refusing;
    // Runs in destructors: nothing may escape. Should arming fail, the next
    // connection to close tries again.
    try {
        Accept();
    } catch (const std::exception& e) {
        m_accepting = false;
        std::fprintf(stderr, "%s: cannot resume accepting: %s\n", m_config.name.c_str(), e.what());
    }
}

void RunServerLoop(asio::io_context& ioc, std::atomic<uint64_t>& loopErrors, const std::string& name) {
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
        std::fprintf(stderr, "%s: error on the server thread: %s (%" PRIu64 " so far); carrying on\n", name.c_str(),
                     what.c_str(), n);
    }
}

}  // namespace travik_tool
