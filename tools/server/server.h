// The server core: one listening socket and the server thread that owns
// every socket behind it. A protocol (the page, the Foxglove endpoint)
// plugs in as a RequestHandler that gets each connection's first request
// and answers it or upgrades it to a Session (session.h).
//
// Threads: Start and Stop from the owner's thread (not from a handler);
// Post from any thread; everything else, and every callback, runs on the
// server thread. The counters are atomics that any thread may read.
//
// Connections are bounded three ways:
//  - maxConnections: connections holding a ConnectionSlot (see below).
//    Past it, refusalSlots more are read and answered 503; past those,
//    accepting pauses until a slot frees and new ones wait in the kernel's
//    backlog.
//  - maxHandshakes: connections accepted and not (yet) upgraded to a
//    session: waiting for a request, being answered, lingering after an
//    error or idle between keep-alive requests. A new connection past it
//    closes the OLDEST of them at once: peers that open sockets and send
//    nothing (or one request, then nothing) lose them to newcomers, and a
//    client that sends its request at once is never the oldest, so idle
//    sockets cannot keep it out. The first request also has a deadline
//    (firstRequestTimeout).
//  - a failed accept (out of descriptors) pauses accepting for
//    kAcceptRetry instead of retrying at once for ever.
#pragma once

#include <boost/asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/security.h"
#include "server/stats.h"

namespace travik_tool {

namespace asio = boost::asio;

class HttpConnection;
class Session;

// Written on the server thread, read by the protocols' TakeStats on any
// thread. Owned by the Server, so it outlives every connection.
struct ServerCounters {
    std::atomic<uint64_t> connections{0};         // connections holding a slot now
    std::atomic<uint64_t> refusedConnections{0};  // answered 503: too many connections
    std::atomic<uint64_t> handshakesDropped{0};   // connections not upgraded, closed for a newcomer
    std::atomic<uint64_t> refusedUpgrades{0};     // upgrades refused (Host, Origin, capacity)
    std::atomic<uint64_t> badRequests{0};         // requests answered 400/413/431
    std::atomic<uint64_t> unauthorized{0};        // requests answered 401: no token or a wrong one
    std::atomic<uint64_t> acceptFailures{0};      // failed accepts; each pauses accepting
    std::atomic<uint64_t> loopErrors{0};          // exceptions that escaped a handler
    std::atomic<uint64_t> itemsQueued{0};         // items handed to a session's queue
    std::atomic<uint64_t> itemsWritten{0};
    std::atomic<uint64_t> itemsReplaced{0};  // unsent items replaced or dropped for a newer one
    std::atomic<uint64_t> badMessages{0};    // session messages answered with an error
    std::atomic<uint64_t> sessions{0};       // in the server's set now (upgrading or open)
    std::atomic<uint64_t> openSessions{0};   // upgraded and not yet finished

    // Hop samples (received -> written), bounded; any thread.
    void AddHop(int64_t micros);
    // The counts and the hop samples since the last call into `out`, and
    // the session items' totals under the protocol's own names; any thread.
    void Take(ServerStats& out, uint64_t& queued, uint64_t& written, uint64_t& replaced);

private:
    std::mutex m_hopMutex;
    std::vector<int64_t> m_hops;
};

constexpr size_t kMaxHopSamples = 100000;
// Pause after a failed accept (descriptors ran out): retrying at once would
// fail again at once, for ever, while the connection waits in the backlog.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

struct ServerConfig {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 literal
    int port = 0;                       // 0: any free port
    size_t maxConnections = 64;
    size_t refusalSlots = 0;  // past maxConnections, answered 503 (0: accepting pauses)
    size_t maxHandshakes = 16;
    std::chrono::milliseconds firstRequestTimeout{2000};
    std::string name = "travik web";  // prefix of the lines printed on stderr
    ServerSecurity security;          // TLS, the token
};

// A TLS handshake takes one or two round trips; a peer that has not
// finished it by then is stalling and loses its socket.
constexpr auto kTlsHandshakeTimeout = std::chrono::seconds(5);

class Server;

// Holds one of maxConnections while alive; the connection, then the session
// it becomes (or neither, for a protocol that bounds sessions itself).
// Server thread only; the Server outlives it.
class ConnectionSlot {
public:
    ConnectionSlot() = default;
    // `refusal`: one of the refusalSlots past the cap, not one of maxConnections.
    ConnectionSlot(Server* server, bool refusal);
    ~ConnectionSlot();
    ConnectionSlot(ConnectionSlot&& other) noexcept;
    ConnectionSlot& operator=(ConnectionSlot&& other) noexcept;
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    void Release();

private:
    Server* m_server = nullptr;
    bool m_refusal = false;
};

// One unfinished handshake while alive (see maxHandshakes). `close` runs at
// most once, on the server thread, when a newcomer needs the place; the
// ticket is then already released. Server thread only.
class HandshakeTicket {
public:
    HandshakeTicket() = default;
    HandshakeTicket(Server* server, std::function<void()> close);
    ~HandshakeTicket();
    HandshakeTicket(HandshakeTicket&& other) noexcept;
    HandshakeTicket& operator=(HandshakeTicket&& other) noexcept;
    HandshakeTicket(const HandshakeTicket&) = delete;
    HandshakeTicket& operator=(const HandshakeTicket&) = delete;
    void Release();
    // Points the eviction at another object (the session the connection became).
    void Rebind(std::function<void()> close);

private:
    Server* m_server = nullptr;
    uint64_t m_id = 0;
};

// A protocol on the core. Runs on the server thread; must not block.
class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    // A request read from `connection` (within the limits). The handler
    // answers it (connection.Respond) or upgrades it (a Session).
    virtual void OnRequest(HttpConnection& connection) = 0;
};

class Server {
public:
    Server() = default;
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, listens and starts the server thread; `handler` must outlive
    // Stop. False with `error` set (and nothing running), also for an
    // address beyond loopback without a token (security.h).
    bool Start(const ServerConfig& config, RequestHandler& handler, std::string& error);
    int Port() const { return m_port; }
    // Whether the bound address is a loopback one (the Host policy applies).
    bool Loopback() const { return m_loopback; }
    bool Tls() const { return m_config.security.tls != nullptr; }
    const ServerConfig& Config() const { return m_config; }
    ServerCounters& Counters() { return m_counters; }
    RequestHandler& Handler() { return *m_handler; }
    asio::io_context& Context() { return *m_ioc; }
    // Closes the listener and every session, stops and joins the server
    // thread, then destroys what is pending. Idempotent.
    void Stop();
    // Runs `fn` on the server thread; false (and dropped) when not running.
    // Any thread.
    bool Post(std::function<void()> fn);

    // Sessions: the open WebSocket connections (server thread only).
    void AddSession(std::shared_ptr<Session> session);
    void RemoveSession(Session* session);  // by Session::Finish
    std::vector<std::shared_ptr<Session>> Sessions() const;
    size_t SessionCount() const { return m_sessions.size(); }

private:
    friend class ConnectionSlot;
    friend class HandshakeTicket;
    void Accept();
    void OnAccepted(asio::ip::tcp::socket socket);
    void OnAcceptFailed(const boost::system::error_code& ec);
    void SlotFreed(bool refusal);
    uint64_t AddHandshake(std::function<void()> close);

    ServerConfig m_config;
    RequestHandler* m_handler = nullptr;
    std::mutex m_postMutex;  // guards m_ioc against Post from other threads
    std::unique_ptr<asio::io_context> m_ioc;
    std::unique_ptr<asio::ip::tcp::acceptor> m_acceptor;
    std::unique_ptr<asio::steady_timer> m_acceptRetry;
    std::thread m_thread;
    int m_port = 0;
    bool m_loopback = true;
    ServerCounters m_counters;

    // Server thread only.
    bool m_accepting = false;      // an async_accept is pending
    bool m_retryPending = false;   // paused after a failed accept
    bool m_acceptFailing = false;  // the last accept failed (one line per streak)
    size_t m_slots = 0;            // ConnectionSlots alive
    size_t m_refusing = 0;         // connections past the cap being answered 503
    uint64_t m_nextTicket = 1;
    std::map<uint64_t, std::function<void()>> m_handshakes;  // oldest first
    std::map<Session*, std::shared_ptr<Session>> m_sessions;
};

// Runs `ioc` on the calling thread until it stops. An exception that
// escapes a handler is counted in `loopErrors`, printed on stderr and the
// loop carries on: one bad handler must not take the server down.
void RunServerLoop(asio::io_context& ioc, std::atomic<uint64_t>& loopErrors, const std::string& name = "travik web");

}  // namespace travik_tool
