// The tool's own NATS client connection (where the NATS C client is not
// available): one I/O thread on Boost.Asio runs the socket, the parser and
// the timers; the URL list is tried in turn, no server sooner than the
// reconnect wait after its last attempt began, and after the first connect
// it reconnects forever, restoring the subscriptions and sending what was
// published meanwhile (bounded in bytes; past it publishes are dropped and
// the drop reported). Each subscription's messages wait in a bounded queue
// drained by its own dispatcher thread.
// Contract: Connect, Subscribe and Close on one host thread (Connect and
// Close block; not from a handler); Publish, Flush, Request, MaxPayload,
// Up, Connected and SlowConsumerDrops from any thread, handlers included
// (Flush and Request block up to their timeout). One m_mutex guards the
// state shared with the I/O thread; it is never held while a handler runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "nats/client/builtin/server_url.h"
#include "nats/client/builtin/subscription_queue.h"
#include "nats/client/builtin/wire_parser.h"
#include "nats/client/link.h"

namespace travik_nats {

class Connection : private WireSink {
public:
    // Bytes held for the server while reconnecting; past them publishes drop.
    static constexpr size_t kReconnectBufferBytes = 8 * 1024 * 1024;
    // Bytes held while connected but the socket does not take them.
    static constexpr size_t kConnectedBufferBytes = 64 * 1024 * 1024;

    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Connect(const LinkOptions& options, std::string& error);
    bool Subscribe(const std::string& subject, NatsLink::Handler handler, int pendingMsgs, int pendingBytes,
                   std::string& error);
    bool Publish(const std::string& subject, const void* data, int len);
    bool Flush(int timeoutMs);
    bool Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply);
    int64_t MaxPayload();
    bool Up();
    bool Connected();
    uint64_t SlowConsumerDrops() const { return m_slowDrops.load(); }
    void Close();

private:
    enum class State { kIdle, kConnecting, kHandshake, kConnected, kClosed };
    struct PongWait {
        bool done = false;
        bool ok = false;
    };
    struct RequestWait {
        bool done = false;
        bool answered = false;  // false: timed out, or no one subscribes
        std::string reply;
    };
    struct Sub {
        std::string subject;
        std::shared_ptr<SubscriptionQueue> queue;
    };

    // I/O thread.
    void ScheduleAttempt();
    void StartAttempt();
    void AttemptFailed(const std::string& reason);
    void ArmKeepalive(std::chrono::steady_clock::duration wait);
    void Keepalive();
    void ConnectionLost(const std::string& reason);
    void CloseSocket();
    void StartRead();
    void StartWrite();
    void KickLocked();
    void OnInfo(const std::string& json) override;
    void OnMessage(WireMessage& message) override;
    void OnPing() override;
    void OnPong() override;
    void OnServerError(const std::string& text) override;

    void FailWaitsLocked();
    bool BufferLocked(size_t bytes);
    std::string InboxLocked();

    std::string m_who;
    std::vector<std::string> m_urls;
    std::vector<ServerUrl> m_servers;
    int m_reconnectWaitMs = 250;
    std::chrono::milliseconds m_pingInterval{120000};

    boost::asio::io_context m_io;
    // Keeps run() going between a failed attempt and Close.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work{m_io.get_executor()};
    boost::asio::ip::tcp::resolver m_resolver{m_io};
    boost::asio::ip::tcp::socket m_socket{m_io};
    boost::asio::steady_timer m_timer{m_io};  // an attempt's deadline; connected, the keepalive
    std::thread m_ioThread;

    // I/O thread only.
    WireParser m_parser;
    uint64_t m_gen = 0;  // bumped per socket: handlers of an older one do nothing
    size_t m_urlIndex = 0;
    size_t m_attempts = 0;  // failed attempts since the last connection
    std::vector<std::optional<std::chrono::steady_clock::time_point>> m_lastTry;  // per server
    bool m_everConnected = false;
    bool m_infoSeen = false;                           // this socket's INFO came
    std::string m_control;                             // CONNECT, PING, PONG, SUB: sent ahead of m_out
    bool m_pongsUnread = false;                        // the server PINGs on but reads no PONG: this socket is dropped
    std::chrono::steady_clock::time_point m_lastRead;  // the last bytes from the server
    int m_keepalivePings = 0;                          // PINGs sent since those bytes
    std::string m_sending;
    bool m_writing = false;
    std::string m_serverError;  // the last -ERR of an attempt
    int64_t m_lastErrorReport = 0;
    uint64_t m_errorsUnreported = 0;  // -ERRs since the last one printed
    std::vector<char> m_readBuffer = std::vector<char>(64 * 1024);

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    State m_state = State::kIdle;                                 // m_mutex
    bool m_firstDone = false;                                     // m_mutex: Connect's wait
    std::string m_firstError;                                     // m_mutex
    std::string m_out;                                            // m_mutex: PUB, PING, SUB, UNSUB in order
    bool m_kickPosted = false;                                    // m_mutex
    int64_t m_maxPayload = 0;                                     // m_mutex
    std::map<uint64_t, Sub> m_subs;                               // m_mutex
    std::map<uint64_t, std::shared_ptr<RequestWait>> m_requests;  // m_mutex
    std::deque<std::shared_ptr<PongWait>> m_pongs;                // m_mutex
    int m_pingsUnsent = 0;                                        // m_mutex: Flush PINGs still in m_out
    int m_stalePongs = 0;                                         // m_mutex: PONGs owed for PINGs of failed Flushes
    uint64_t m_nextSid = 0;                                       // m_mutex
    std::mt19937_64 m_random{std::random_device{}()};             // m_mutex
    uint64_t m_bufferDrops = 0;                                   // m_mutex
    int64_t m_lastDropReport = 0;                                 // m_mutex
    std::atomic<uint64_t> m_slowDrops{0};
    std::atomic<int64_t> m_lastSlowReport{0};
};

}  // namespace travik_nats
