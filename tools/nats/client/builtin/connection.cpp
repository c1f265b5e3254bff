#include "nats/client/builtin/connection.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "cli/console.h"
#include "nats/client/builtin/wire_format.h"
#include "platform/clock.h"

namespace travik_nats {

namespace {

// From the first byte sent to the server's PONG after CONNECT.
constexpr auto kAttemptTimeout = std::chrono::seconds(2);
constexpr int64_t kReportEveryMicros = 5000000;
// PONGs and the like waiting for a socket the server does not drain.
constexpr size_t kMaxControlBytes = 256 * 1024;
// Keepalive PINGs unanswered (no byte at all from the server) before the connection is dropped.
constexpr int kMaxPingsOut = 2;

}  // namespace

Connection::~Connection() { Close(); }

bool Connection::Connect(const LinkOptions& options, std::string& error) {
    if (!options.credsFile.empty()) {
        error = "this build's NATS client does not take credentials files (--nats-creds)";
        return false;
    }
    if (!options.tlsCaFile.empty()) {
        error = "this build's NATS client has no TLS (--nats-tls-ca)";
        return false;
    }
    if (options.urls.empty()) {
        error = "no NATS URL";
        return false;
    }
    for (const std::string& url : options.urls) {
        ServerUrl server;
        if (!ParseServerUrl(url, server, error)) return false;
        if (server.tls) {
            error = "this build's NATS client has no TLS (" + Redacted(url) + ")";
            return false;
        }
        m_servers.push_back(server);
    }
    m_urls = options.urls;
    m_lastTry.assign(m_servers.size(), std::nullopt);
    m_who = options.who;
    m_reconnectWaitMs = options.reconnectWaitMs;
    m_pingInterval = std::chrono::milliseconds(std::max(options.pingIntervalMs, 1));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::kConnecting;
    }
    boost::asio::post(m_io, [this] { ScheduleAttempt(); });
    try {
        m_ioThread = std::thread([this] {
            // Handlers catch their own failures; a throw here would be a bug,
            // and ending the thread is better than terminating the tool.
            try {
                m_io.run();
            } catch (...) {
            }
        });
    } catch (const std::system_error& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::kClosed;
        error = std::string("cannot start the NATS client: ") + e.what();
        return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_firstDone; });
    // Not closed: the handshake succeeded (the link may already be
    // reconnecting after losing that first connection).
    if (m_state != State::kClosed) return true;
    error = m_firstError;
    lock.unlock();
    Close();
    return false;
}

bool Connection::Subscribe(const std::string& subject, NatsLink::Handler handler, int pendingMsgs, int pendingBytes,
                           std::string& error) {
    if (!ValidClientSubject(subject)) {
        error = "cannot subscribe to " + subject + ": not a valid subject";
        return false;
    }
    auto queue = std::make_shared<SubscriptionQueue>(std::move(handler), static_cast<size_t>(std::max(pendingMsgs, 1)),
                                                     static_cast<size_t>(std::max(pendingBytes, 1)));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state == State::kClosed || m_state == State::kIdle) {
        error = "cannot subscribe to " + subject + ": not connected";
        return false;
    }
    std::string why;
    if (!queue->Start(why)) {
        error = "cannot subscribe to " + subject + ": " + why;
        return false;
    }
    const uint64_t sid = ++m_nextSid;
    m_subs[sid] = Sub{subject, queue};
    // While reconnecting the handshake sends every subscription.
    if (m_state == State::kConnected) {
        m_out += FormatSubscribe(subject, sid);
        KickLocked();
    }
    return true;
}

bool Connection::BufferLocked(size_t bytes) {
    if (m_state == State::kConnected) return m_out.size() + bytes <= kConnectedBufferBytes;
    if (m_out.size() + bytes <= kReconnectBufferBytes) return true;
    ++m_bufferDrops;
    const int64_t now = travik::NowMicros();
    if (now - m_lastDropReport >= kReportEveryMicros) {
        m_lastDropReport = now;
        travik_tool::Status("%s: NATS reconnect buffer full: messages dropped (%llu so far)", m_who.c_str(),
                            static_cast<unsigned long long>(m_bufferDrops));
    }
    return false;
}

bool Connection::Publish(const std::string& subject, const void* data, int len) {
    if (len < 0 || !ValidClientSubject(subject)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state == State::kClosed || m_state == State::kIdle) return false;
    if (m_maxPayload > 0 && len > m_maxPayload) return false;
    if (!BufferLocked(static_cast<size_t>(len) + subject.size() + 32)) return false;
    AppendPublish(m_out, subject, std::string(), data, static_cast<size_t>(len));
    KickLocked();
    return true;
}

bool Connection::Flush(int timeoutMs) {
    auto wait = std::make_shared<PongWait>();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state != State::kConnected) return false;
    m_pongs.push_back(wait);
    m_out += "PING\r\n";
    ++m_pingsUnsent;
    KickLocked();
    m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&wait] { return wait->done; });
    return wait->ok;
}

std::string Connection::InboxLocked() {
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string inbox = "_INBOX.";
    for (int i = 0; i < 22; ++i) inbox += kDigits[m_random() % 62];
    return inbox;
}

bool Connection::Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply) {
    if (!ValidClientSubject(subject)) return false;
    auto wait = std::make_shared<RequestWait>();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state == State::kClosed || m_state == State::kIdle) return false;
    if (m_maxPayload > 0 && static_cast<int64_t>(text.size()) > m_maxPayload) return false;
    if (!BufferLocked(text.size() + subject.size() + 128)) return false;
    const uint64_t sid = ++m_nextSid;
    const std::string inbox = InboxLocked();
    m_requests[sid] = wait;
    m_subs[sid] = Sub{inbox, nullptr};  // restored by a reconnect like the others
    if (m_state == State::kConnected) m_out += FormatSubscribe(inbox, sid);
    AppendPublish(m_out, subject, inbox, text.data(), text.size());
    KickLocked();
    m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&wait] { return wait->done; });
    m_requests.erase(sid);
    m_subs.erase(sid);
    if (m_state != State::kClosed) {
        m_out += FormatUnsubscribe(sid);
        KickLocked();
    }
    if (!wait->answered) return false;
    reply = std::move(wait->reply);
    return true;
}

int64_t Connection::MaxPayload() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_maxPayload;
}

bool Connection::Up() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state != State::kClosed && m_state != State::kIdle;
}

bool Connection::Connected() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state == State::kConnected;
}

void Connection::Close() {
    if (!m_ioThread.joinable()) return;
    // What was published before Close reaches the server, as far as it can.
    if (Connected()) Flush(1000);
    std::vector<std::shared_ptr<SubscriptionQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::kClosed;
        FailWaitsLocked();
        for (auto& entry : m_subs)
            if (entry.second.queue) queues.push_back(entry.second.queue);
        m_subs.clear();
        m_requests.clear();
        m_firstDone = true;
    }
    m_cond.notify_all();
    // No handler runs after Close: each queue waits for its running one
    // (a few seconds in all, then leaves it to finish on its own).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (auto& queue : queues) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        queue->Stop(std::max(left, std::chrono::milliseconds(1)));
    }
    boost::asio::post(m_io, [this] {
        CloseSocket();
        m_io.stop();
    });
    m_ioThread.join();
}

void Connection::FailWaitsLocked() {
    for (auto& wait : m_pongs) wait->done = true;  // ok stays false
    m_pongs.clear();
    m_stalePongs = m_pingsUnsent;
    m_cond.notify_all();
}

void Connection::KickLocked() {
    if (m_state != State::kConnected || m_kickPosted) return;
    m_kickPosted = true;
    boost::asio::post(m_io, [this] { StartWrite(); });
}

void Connection::CloseSocket() {
    ++m_gen;
    boost::system::error_code ignored;
    m_resolver.cancel();
    m_timer.cancel();
    m_socket.close(ignored);
    m_writing = false;
    m_sending.clear();
    m_control.clear();
    m_pongsUnread = false;
    // Closed from a sink call maybe: what follows in the read buffer belongs
    // to the closed connection.
    m_parser.Stop();
}

void Connection::ScheduleAttempt() {
    // Posted or timed, never at once: a sink call may be closing the
    // connection inside the parser, which StartAttempt resets.
    const size_t index = m_urlIndex % m_servers.size();
    const auto now = std::chrono::steady_clock::now();
    auto wait = std::chrono::steady_clock::duration::zero();
    if (m_lastTry[index]) {
        const auto due = *m_lastTry[index] + std::chrono::milliseconds(m_reconnectWaitMs);
        if (due > now) wait = due - now;
    }
    const uint64_t gen = m_gen;
    m_timer.expires_after(wait);
    m_timer.async_wait([this, gen](const boost::system::error_code& ec) {
        if (!ec && gen == m_gen) StartAttempt();
    });
}

void Connection::StartAttempt() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == State::kClosed) return;
        m_state = State::kConnecting;
    }
    CloseSocket();
    m_parser.Reset();
    m_infoSeen = false;
    m_serverError.clear();
    const uint64_t gen = m_gen;
    const ServerUrl& server = m_servers[m_urlIndex % m_servers.size()];
    m_lastTry[m_urlIndex % m_servers.size()] = std::chrono::steady_clock::now();
    m_timer.expires_after(kAttemptTimeout);
    m_timer.async_wait([this, gen](const boost::system::error_code& ec) {
        if (!ec && gen == m_gen) AttemptFailed("no answer in time");
    });
    m_resolver.async_resolve(
        server.host, server.port,
        [this, gen](const boost::system::error_code& ec, const boost::asio::ip::tcp::resolver::results_type& results) {
            if (gen != m_gen) return;
            if (ec) {
                AttemptFailed(ec.message());
                return;
            }
            boost::asio::async_connect(
                m_socket, results,
                [this, gen](const boost::system::error_code& ec2, const boost::asio::ip::tcp::endpoint&) {
                    if (gen != m_gen) return;
                    if (ec2) {
                        AttemptFailed(ec2.message());
                        return;
                    }
                    boost::system::error_code ignored;
                    m_socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_state = State::kHandshake;
                    }
                    StartRead();
                });
        });
}

void Connection::AttemptFailed(const std::string& reason) {
    const std::string url = Redacted(m_urls[m_urlIndex % m_urls.size()]);
    const std::string why = m_serverError.empty() ? reason : m_serverError;
    CloseSocket();
    ++m_attempts;
    ++m_urlIndex;
    if (!m_everConnected && m_attempts >= m_urls.size()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::kClosed;
        m_firstDone = true;
        m_firstError = "cannot connect to NATS: " + url + ": " + why;
        m_cond.notify_all();
        return;
    }
    ScheduleAttempt();
}

void Connection::ArmKeepalive(std::chrono::steady_clock::duration wait) {
    const uint64_t gen = m_gen;
    m_timer.expires_after(wait);
    m_timer.async_wait([this, gen](const boost::system::error_code& ec) {
        if (!ec && gen == m_gen) Keepalive();
    });
}

// A server gone without a word (a cut link, a machine switched off) leaves
// the socket open for ever: silence is asked about with a PING, and a
// connection silent through two of them is dropped.
void Connection::Keepalive() {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastRead < m_pingInterval) {
        ArmKeepalive(m_lastRead + m_pingInterval - now);
        return;
    }
    if (m_keepalivePings >= kMaxPingsOut) {
        travik_tool::Status(
            "%s: no word from the NATS server in %lld s", m_who.c_str(),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now - m_lastRead).count()));
        ConnectionLost("");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state != State::kConnected) return;
        // In line with Flush's PINGs, whose PONGs come back in order; nobody waits on this one.
        m_pongs.push_back(std::make_shared<PongWait>());
        m_out += "PING\r\n";
        ++m_pingsUnsent;
        KickLocked();
    }
    ++m_keepalivePings;
    ArmKeepalive(m_pingInterval);
}

void Connection::ConnectionLost(const std::string& reason) {
    // Dropped, not ended: what the server has not taken is discarded at
    // once (a reset) rather than left to a close that waits on a server
    // that does not read.
    boost::system::error_code ignored;
    m_socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    CloseSocket();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == State::kClosed) return;
        m_state = State::kConnecting;
        FailWaitsLocked();
        m_kickPosted = false;
    }
    if (!reason.empty()) travik_tool::Status("%s: NATS protocol error: %s", m_who.c_str(), reason.c_str());
    travik_tool::Status("%s: NATS connection lost; reconnecting", m_who.c_str());
    m_attempts = 0;
    ++m_urlIndex;  // the next node first: this one just failed
    // A server that takes connections and then fails them is retried no
    // sooner than the reconnect wait after the last attempt began.
    ScheduleAttempt();
}

void Connection::StartRead() {
    const uint64_t gen = m_gen;
    m_socket.async_read_some(
        boost::asio::buffer(m_readBuffer), [this, gen](const boost::system::error_code& ec, size_t n) {
            if (gen != m_gen) return;
            State state;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                state = m_state;
            }
            if (ec) {
                if (state == State::kConnected)
                    ConnectionLost("");
                else
                    AttemptFailed(ec == boost::asio::error::eof ? "closed by the server" : ec.message());
                return;
            }
            m_lastRead = std::chrono::steady_clock::now();
            m_keepalivePings = 0;
            std::string error;
            bool ok = m_parser.Feed(m_readBuffer.data(), n, *this, error);
            if (gen != m_gen) return;  // a sink call closed this socket
            if (ok && m_pongsUnread) {
                ok = false;
                error = "the server sends PINGs but reads none of the PONGs";
            }
            if (!ok) {
                std::lock_guard<std::mutex> lock(m_mutex);
                state = m_state;
            }
            if (!ok && state == State::kConnected) {
                ConnectionLost(error);
            } else if (!ok) {
                AttemptFailed("protocol error: " + error);
            } else {
                StartRead();
            }
        });
}

void Connection::StartWrite() {
    if (m_writing) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_kickPosted = false;
        m_sending = std::move(m_control);
        m_control.clear();
        if (m_state == State::kConnected) {
            m_sending += m_out;
            m_out.clear();
            m_pingsUnsent = 0;
        }
    }
    if (m_sending.empty()) return;
    m_writing = true;
    const uint64_t gen = m_gen;
    boost::asio::async_write(m_socket, boost::asio::buffer(m_sending),
                             [this, gen](const boost::system::error_code& ec, size_t) {
                                 if (gen != m_gen) return;
                                 m_writing = false;
                                 m_sending.clear();
                                 if (!ec) {
                                     StartWrite();
                                     return;
                                 }
                                 bool connected = false;
                                 {
                                     std::lock_guard<std::mutex> lock(m_mutex);
                                     connected = m_state == State::kConnected;
                                 }
                                 if (connected)
                                     ConnectionLost("");
                                 else
                                     AttemptFailed(ec.message());
                             });
}

void Connection::OnInfo(const std::string& json) {
    ServerInfo info;
    const bool valid = ParseServerInfo(json, info);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state == State::kConnected) {
        // A later INFO (the cluster changed): only its limit matters here.
        if (valid) {
            m_maxPayload = info.maxPayload;
            m_parser.SetMaxPayload(info.maxPayload);
        }
        return;
    }
    if (m_state != State::kHandshake || m_infoSeen) return;
    lock.unlock();
    m_infoSeen = true;
    if (!valid) {
        AttemptFailed("the server's INFO is malformed");
        return;
    }
    if (info.tlsRequired) {
        AttemptFailed("the server requires TLS, which this build's NATS client does not have");
        return;
    }
    lock.lock();
    m_maxPayload = info.maxPayload;
    lock.unlock();
    m_parser.SetMaxPayload(info.maxPayload);
    const ServerUrl& server = m_servers[m_urlIndex % m_servers.size()];
    ConnectFields fields;
    fields.user = server.user;
    fields.pass = server.pass;
    m_control = FormatConnect(fields) + "PING\r\n";
    StartWrite();
}

void Connection::OnMessage(WireMessage& message) {
    std::shared_ptr<SubscriptionQueue> queue;
    std::string subject;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto request = m_requests.find(message.sid);
        if (request != m_requests.end()) {
            request->second->reply.assign(message.data.begin(), message.data.end());
            request->second->answered = message.status != 503;
            request->second->done = true;
            m_cond.notify_all();
            return;
        }
        const auto sub = m_subs.find(message.sid);
        if (sub == m_subs.end() || !sub->second.queue) return;  // unsubscribed meanwhile
        queue = sub->second.queue;
        subject = sub->second.subject;
    }
    if (queue->Push(std::move(message))) return;
    ++m_slowDrops;
    // At most one report per five seconds.
    const int64_t now = travik::NowMicros();
    int64_t last = m_lastSlowReport.load();
    if (now - last < kReportEveryMicros || !m_lastSlowReport.compare_exchange_strong(last, now)) return;
    travik_tool::Status("%s: slow consumer: the NATS client dropped messages of %s (%llu drops so far)", m_who.c_str(),
                        subject.c_str(), static_cast<unsigned long long>(m_slowDrops.load()));
}

void Connection::OnPing() {
    // Unbounded otherwise: one PONG held per PING of a server that never reads.
    if (m_control.size() >= kMaxControlBytes) {
        m_pongsUnread = true;
        return;
    }
    m_control += "PONG\r\n";
    StartWrite();
}

void Connection::OnPong() {
    bool reconnected = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == State::kHandshake) {
            // The answer to CONNECT's PING: the server took us.
            m_state = State::kConnected;
            m_keepalivePings = 0;
            ArmKeepalive(m_pingInterval);  // in place of the attempt's deadline
            for (const auto& entry : m_subs) m_control += FormatSubscribe(entry.second.subject, entry.first);
            reconnected = m_everConnected;
            m_everConnected = true;
            m_attempts = 0;
            m_firstDone = true;
            m_cond.notify_all();
        } else if (m_state == State::kConnected) {
            if (m_stalePongs > 0) {
                --m_stalePongs;
            } else if (!m_pongs.empty()) {
                m_pongs.front()->done = true;
                m_pongs.front()->ok = true;
                m_pongs.pop_front();
                m_cond.notify_all();
            }
            return;
        } else {
            return;
        }
    }
    if (reconnected)
        travik_tool::Status("%s: NATS reconnected to %s", m_who.c_str(),
                            Redacted(m_urls[m_urlIndex % m_urls.size()]).c_str());
    StartWrite();
}

void Connection::OnServerError(const std::string& text) {
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connected = m_state == State::kConnected;
    }
    if (!connected) {
        // The server refused the handshake (authorization, say): it is
        // about to close; fail the attempt with its word.
        m_serverError = text;
        AttemptFailed(text);
        return;
    }
    // A server may send -ERR lines without end: one line per five seconds.
    ++m_errorsUnreported;
    const int64_t now = travik::NowMicros();
    if (m_lastErrorReport != 0 && now - m_lastErrorReport < kReportEveryMicros) return;
    m_lastErrorReport = now;
    if (m_errorsUnreported > 1)
        travik_tool::Status("%s: NATS error: %s (%llu more not shown)", m_who.c_str(), text.c_str(),
                            static_cast<unsigned long long>(m_errorsUnreported - 1));
    else
        travik_tool::Status("%s: NATS error: %s", m_who.c_str(), text.c_str());
    m_errorsUnreported = 0;
}

}  // namespace travik_nats
