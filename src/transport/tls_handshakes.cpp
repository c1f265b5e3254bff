// TLS connections. The device keeps accepted sockets out of the connection
// table until their handshake finished (a viewer gets no frame, counts for
// nothing and starts no callback before), at most kMaxHandshakes at once and
// each for at most kHandshakeSeconds. TLS connections read through their
// bufferevent, which decrypts, instead of the plain path's own reads.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>

#include "platform/diag.h"
#include "transport/backlog_limits.h"
#include "transport/tls_context.h"
#include "transport/travik_obj.h"

using travik::Diag;

namespace {

// The latest error OpenSSL reported on a bufferevent (0: none); drains them.
// libevent hands them back newest first, the SSL_get_error code last.
unsigned long TlsError(bufferevent* bev) {
    const unsigned long code = bufferevent_get_openssl_error(bev);
    while (bufferevent_get_openssl_error(bev) != 0) {
    }
    return code;
}

// OpenSSL's text for `code`; the returned buffer is this thread's own.
const char* TlsReason(unsigned long code) {
    if (!code) return "connection lost";
    if (const char* reason = ERR_reason_error_string(code)) return reason;
    thread_local char text[160];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

void TravikObj::AcceptTls(evutil_socket_t fd) {
    m_acceptPaused = false;
    if (m_handshakes.size() >= travik::kMaxHandshakes) {
        if (!m_handshakesFull) Diag("TLS: %zu handshakes under way; closing the oldest\n", m_handshakes.size());
        m_handshakesFull = true;
        EndHandshake(&m_handshakes.front(), false, nullptr);
        // libevent accepts until the backlog is empty, and a flood refills it
        // as fast: the loop would never return, never free the closed
        // handshakes (their release is deferred to the loop) nor serve the
        // viewers. Every table's worth of evictions, accepting resumes only
        // on the loop's next turn.
        if (++m_handshakeEvictions % travik::kMaxHandshakes == 0) PauseAccepting(0);
    }
    SSL* ssl = m_tls->NewConnection();
    bufferevent* bev =
        ssl ? bufferevent_openssl_socket_new(m_base, fd, ssl, BUFFEREVENT_SSL_ACCEPTING, BEV_OPT_CLOSE_ON_FREE)
            : nullptr;
    if (!bev) {
        Diag("TLS: cannot start a handshake on fd = %lld\n", static_cast<long long>(fd));
        if (ssl) SSL_free(ssl);
        evutil_closesocket(fd);
        return;
    }
    TuneSocket(fd);
    HandshakeSt& hs = *m_handshakes.insert(m_handshakes.end(), HandshakeSt{});
    hs.owner = this;
    hs.fd = fd;
    hs.bev = bev;
    hs.timer = evtimer_new(m_base, HandshakeTimeoutCb, &hs);
    timeval deadline{travik::kHandshakeSeconds, 0};
    if (!hs.timer || evtimer_add(hs.timer, &deadline) != 0) {
        EndHandshake(&hs, false, "no timer");
        return;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
    bufferevent_setcb(bev, nullptr, nullptr, HandshakeEventCb, &hs);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
}

void TravikObj::EndHandshake(HandshakeSt* hs, bool ok, const char* why) {
    const evutil_socket_t fd = hs->fd;
    bufferevent* bev = hs->bev;
    if (hs->timer) event_free(hs->timer);
    m_handshakes.remove_if([hs](const HandshakeSt& h) { return &h == hs; });
    if (m_handshakes.size() < travik::kMaxHandshakes / 2) m_handshakesFull = false;
    if (!ok) {
        if (why) Diag("TLS handshake failed fd = %lld: %s\n", static_cast<long long>(fd), why);
        bufferevent_free(bev);
        return;
    }
    ConnectionSt* conn;
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        conn = &Register(fd, bev, true);
        Diag("accept connect fd = %lld\n", static_cast<long long>(fd));
        bufferevent_setcb(bev, TlsReadCb, WriteCb, TlsEventCb, conn);
        bufferevent_enable(bev, EV_READ | EV_WRITE);
    }
    // Bytes that came with the end of the handshake wait in the input.
    if (evbuffer_get_length(bufferevent_get_input(bev)) > 0) OnTlsRead(conn);
}

void TravikObj::FreeHandshakes() {
    while (!m_handshakes.empty()) EndHandshake(&m_handshakes.front(), false, nullptr);
}

void TravikObj::HandshakeEventCb(bufferevent* bev, short events, void* arg) {
    auto* hs = static_cast<HandshakeSt*>(arg);
    travik::RunGuarded("handshake failed", [&] {
        if (events & BEV_EVENT_CONNECTED) {
            hs->owner->EndHandshake(hs, true, nullptr);
        } else if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) {
            hs->owner->EndHandshake(hs, false, TlsReason(TlsError(bev)));
        }
    });
}

void TravikObj::HandshakeTimeoutCb(evutil_socket_t, short, void* arg) {
    auto* hs = static_cast<HandshakeSt*>(arg);
    travik::RunGuarded("handshake failed", [&] { hs->owner->EndHandshake(hs, false, "timed out"); });
}

bufferevent* TravikObj::NewTlsClient() {
    SSL* ssl = m_tls->NewConnection();
    if (!ssl) return nullptr;
    bufferevent* bev =
        bufferevent_openssl_socket_new(m_base, -1, ssl, BUFFEREVENT_SSL_CONNECTING, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        SSL_free(ssl);
        return nullptr;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
    // A device that accepts but never finishes the handshake must not keep
    // Connect waiting; cleared once connected (TlsEventCb).
    timeval deadline{travik::kHandshakeSeconds, 0};
    bufferevent_set_timeouts(bev, &deadline, &deadline);
    return bev;
}

void TravikObj::TlsReadCb(bufferevent*, void* arg) {
    auto* conn = static_cast<ConnectionSt*>(arg);
    travik::RunGuarded("read failed", [&] { conn->owner->OnTlsRead(conn); });
}

void TravikObj::OnTlsRead(ConnectionSt* conn) {
    // Everything decrypted so far, in chunks the receiver may keep.
    evbuffer* input = bufferevent_get_input(conn->bev);
    while (size_t avail = evbuffer_get_length(input)) {
        const size_t len = std::min(avail, static_cast<size_t>(travik::kReadChunkBytes));
        std::shared_ptr<unsigned char> data = NewReadChunk(len);
        if (evbuffer_remove(input, data.get(), len) != static_cast<int>(len)) return;
        Deliver(conn, data, static_cast<int>(len));
    }
}

void TravikObj::TlsEventCb(bufferevent* bev, short events, void* arg) {
    if (events & BEV_EVENT_CONNECTED) bufferevent_set_timeouts(bev, nullptr, nullptr);
    if (events & BEV_EVENT_TIMEOUT) {
        // Only the client's handshake has a deadline: it failed.
        Diag("TLS handshake timed out\n");
        events = static_cast<short>((events & ~BEV_EVENT_TIMEOUT) | BEV_EVENT_ERROR);
        errno = ETIMEDOUT;
    }
    if (events & BEV_EVENT_ERROR) {
        const unsigned long code = TlsError(bev);
        const auto* conn = static_cast<ConnectionSt*>(arg);
        if (code) {
            Diag("TLS error fd = %lld: %s\n", static_cast<long long>(conn->fd), TlsReason(code));
            errno = EPROTO;  // the lines that follow name a protocol error, not a stale errno
        }
    }
    EventCb(bev, events, arg);
}
