// What a connection reports to the loop: bytes to read (read here and handed
// to the read callback), and its end (removed from the table, then the close
// callback).
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/diag.h"
#include "platform/sockets.h"
#include "transport/travik_obj.h"

using travik::Diag;

void TravikObj::ReadCb(evutil_socket_t, short, void* arg) {
    auto* conn = static_cast<ConnectionSt*>(arg);
    travik::RunGuarded("read failed", [&] { conn->owner->OnRead(conn); });
}

namespace {

// Reads a wake-up makes (of up to kReadChunkBytes each, backlog_limits.h)
// before the loop serves its other events.
constexpr int kReadsPerWakeup = 4;
constexpr int kReadChunk = travik::kReadChunkBytes;

bool RetryLater(int err) {
#if defined(_WIN32)
    return err == WSAEWOULDBLOCK || err == WSAEINTR;
#else
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
#endif
}

// The reason for "Got an error on the connection": errno's text, or on
// Windows the socket's error, which Windows keeps apart from errno (there
// errno is 0 by now and would read "No error").
const char* ErrorText(int savedErrno) {
#if defined(_WIN32)
    const int socketError = EVUTIL_SOCKET_ERROR();
    if (socketError != 0) return evutil_socket_error_to_string(socketError);
#endif
    return strerror(savedErrno);
}

}  // namespace

std::shared_ptr<unsigned char> TravikObj::NewReadChunk(size_t len) {
    return std::shared_ptr<unsigned char>(new unsigned char[len], std::default_delete<unsigned char[]>());
}

void TravikObj::OnRead(ConnectionSt* conn) {
    const evutil_socket_t fd = bufferevent_getfd(conn->bev);
    for (int i = 0; i < kReadsPerWakeup; ++i) {
        // A chunk that a read filled well is handed on as it is (the receiver
        // may keep it); a short read is copied out so that the spare chunk
        // serves the next read and a kept piece is never mostly empty.
        if (!m_readSpare) m_readSpare = NewReadChunk();
        const auto got = recv(fd, reinterpret_cast<char*>(m_readSpare.get()), kReadChunk, 0);
        if (got == 0) {
            EventCb(conn->bev, BEV_EVENT_READING | BEV_EVENT_EOF, conn);  // frees conn
            return;
        }
        if (got < 0) {
            const int err = EVUTIL_SOCKET_ERROR();
            if (RetryLater(err)) return;
            errno = err;
            EVUTIL_SET_SOCKET_ERROR(err);
            EventCb(conn->bev, BEV_EVENT_READING | BEV_EVENT_ERROR, conn);  // frees conn
            return;
        }
        const int len = static_cast<int>(got);
        std::shared_ptr<unsigned char> data;
        if (len >= kReadChunk / 4) {
            data.swap(m_readSpare);
        } else {
            data = NewReadChunk(static_cast<size_t>(len));
            std::memcpy(data.get(), m_readSpare.get(), static_cast<size_t>(len));
        }
        Deliver(conn, data, len);
        // A chunk the receiver did not keep serves the next read, warm.
        if (!m_readSpare && data.use_count() == 1) m_readSpare.swap(data);
        if (len < kReadChunk) return;  // drained
    }
}

void TravikObj::Deliver(ConnectionSt* conn, std::shared_ptr<unsigned char>& data, int len) {
    // Taken afresh for every chunk: a callback that released its manager
    // (SetReadCb(nullptr)) must not be handed the chunks read after it.
    TravikReadCb cb;
    {
        std::lock_guard<std::mutex> lock(m_cbMutex);
        cb = m_readCb;
    }
    if (cb) {
        std::shared_ptr<unsigned char> handed = data;  // the callback may reseat its argument
        cb(static_cast<unsigned long long>(conn->fd), handed, len);
    }
}

void TravikObj::EventCb(bufferevent*, short events, void* arg) {
    auto* conn = static_cast<ConnectionSt*>(arg);
    int savedErrno = errno;
    const int socketError = EVUTIL_SOCKET_ERROR();
    // Kept on purpose (tests pin it): this line and OnEvent's make the end of a connection print twice.
    if (events & BEV_EVENT_EOF) {
        Diag("Connection closed.\n");
    } else if (events & BEV_EVENT_ERROR) {
        Diag("Got an error on the connection: %s\n", ErrorText(savedErrno));
    }
    errno = savedErrno;
    EVUTIL_SET_SOCKET_ERROR(socketError);
    travik::RunGuarded("event failed", [&] { conn->owner->OnEvent(conn->fd, events); });
}

void TravikObj::OnEvent(evutil_socket_t fd, short events) {
    int savedErrno = errno;
    if (events & BEV_EVENT_EOF) {
        Diag("Connection closed.\n");
    } else if (events & BEV_EVENT_ERROR) {
        Diag("Got an error on the connection: %s\n", ErrorText(savedErrno));
    }
    bool removed = false;
    if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) {
        std::lock_guard<std::mutex> lock(m_connMutex);
        RemoveLocked(fd);
        removed = true;
    }
    if (events & BEV_EVENT_CONNECTED) StartReading(fd);
    EndConnectAttempt((events & BEV_EVENT_CONNECTED) != 0);
    if (removed) NotifyClosed(fd);
}

void TravikObj::NotifyClosed(evutil_socket_t fd) {
    std::function<void(unsigned long long)> cb;
    {
        std::lock_guard<std::mutex> lock(m_cbMutex);
        cb = m_closeCb;
    }
    if (cb) travik::RunGuarded("close callback failed", [&] { cb(static_cast<unsigned long long>(fd)); });
}
