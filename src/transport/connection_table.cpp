// The connection table: one ConnectionSt per live connection, keyed by its
// socket. Entries are made and removed on the loop thread under m_connMutex;
// sender threads read them under the same lock (send_queues.cpp).
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/sockets.h"
#include "transport/backlog_limits.h"
#include "transport/travik_obj.h"

using travik::Diag;

TravikObj::ConnectionSt& TravikObj::Register(evutil_socket_t key, bufferevent* bev, bool tls) {
    ConnectionSt& conn = m_connMap[key];
    ++m_roomStamp;
    conn.fd = key;
    conn.bev = bev;
    conn.owner = this;
    conn.pending.clear();
    conn.busy = false;
    conn.queuedBytes = 0;
    conn.outputBytes = 0;
    conn.lastProgress = travik::SteadyMicros();
    conn.closing = false;
    conn.tls = tls;
    // Not tied to the socket: a writable socket would wake the loop on every
    // pass. Senders activate it when they queue; the timer is the fallback.
    conn.flushEvent = event_new(m_base, -1, EV_PERSIST, FlushCb, &conn);
    timeval period{travik::kFlushPeriodSeconds, 0};
    if (conn.flushEvent) event_add(conn.flushEvent, &period);
    conn.readEvent = tls ? nullptr : event_new(m_base, bufferevent_getfd(bev), EV_READ | EV_PERSIST, ReadCb, &conn);
    if (tls) bufferevent_set_max_single_read(bev, travik::kReadChunkBytes);
    conn.outputCb = evbuffer_add_cb(bufferevent_get_output(bev), OutputCb, &conn);
    bufferevent_set_max_single_write(bev, travik::kSingleIoBytes);
    return conn;
}

void TravikObj::RemoveLocked(evutil_socket_t fd) {
    auto it = m_connMap.find(fd);
    if (it != m_connMap.end()) {
        FreeConnection(it->second);
        m_connMap.erase(it);  // its queued frames go with it
        ++m_roomStamp;
    }
    Diag("disconnect fd = %lld \n", static_cast<long long>(fd));
}

void TravikObj::FreeConnection(ConnectionSt& conn) {
    if (conn.flushEvent) event_free(conn.flushEvent);
    conn.flushEvent = nullptr;
    if (conn.readEvent) event_free(conn.readEvent);
    conn.readEvent = nullptr;
    if (conn.bev) {
        // The record goes away with the connection; libevent may free the
        // buffer later, so it must not call back into the record.
        if (conn.outputCb) evbuffer_remove_cb_entry(bufferevent_get_output(conn.bev), conn.outputCb);
        bufferevent_free(conn.bev);
    }
    conn.bev = nullptr;
    conn.outputCb = nullptr;
    conn.pending.clear();
}

namespace {

// setsockopt takes a char pointer on Windows and a void pointer elsewhere.
void SetIntOption(evutil_socket_t fd, int level, int name, int value) {
    setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

void TravikObj::TuneSocket(evutil_socket_t fd) {
    // Frames are written whole, so Nagle's algorithm only delays the tail of
    // each frame behind the peer's delayed acknowledgement.
    SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
#if defined(TCP_KEEPIDLE)
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, travik::kKeepAliveIdleSeconds);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, travik::kKeepAliveIntervalSeconds);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, travik::kKeepAliveCount);
#endif
}

void TravikObj::StartReading(evutil_socket_t key) {
    std::lock_guard<std::mutex> lock(m_connMutex);
    auto it = m_connMap.find(key);
    if (it == m_connMap.end()) return;
    if (it->second.tls) {
        // TLS records are read and decrypted by the bufferevent itself.
        if (bufferevent_enable(it->second.bev, EV_READ) == 0) return;
        Diag("read event failed\n");
        RemoveLocked(key);
        return;
    }
    if (!it->second.readEvent || event_add(it->second.readEvent, nullptr) != 0) {
        // Cannot read: the connection would sit deaf; end it instead.
        Diag("read event failed\n");
        RemoveLocked(key);
    }
}

int TravikObj::ConnectionCount() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    return static_cast<int>(m_connMap.size());
}

int TravikObj::IsEmpty() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    return m_connMap.empty() ? 1 : 0;
}
