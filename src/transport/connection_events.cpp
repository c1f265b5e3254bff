// What a connection reports to the loop: bytes to read (handed to the read
// callback), and its end (removed from the table, then the close callback).
#include <event2/buffer.h>
#include <event2/bufferevent.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/diag.h"
#include "transport/travik_obj.h"

using travik::Diag;

void TravikObj::ReadCb(bufferevent*, void* arg) {
    auto* conn = static_cast<ConnectionSt*>(arg);
    travik::RunGuarded("read failed", [&] { conn->owner->OnRead(conn); });
}

void TravikObj::OnRead(ConnectionSt* conn) {
    evbuffer* input = bufferevent_get_input(conn->bev);
    size_t n = evbuffer_get_length(input);
    if (n == 0) return;
    unsigned long long connId = static_cast<unsigned long long>(conn->fd);
    TravikReadCb cb;
    {
        std::lock_guard<std::mutex> lock(m_cbMutex);
        cb = m_readCb;
    }
    int len = n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n);
    std::shared_ptr<unsigned char> data(new unsigned char[static_cast<size_t>(len)],
                                        std::default_delete<unsigned char[]>());
    evbuffer_remove(input, data.get(), static_cast<size_t>(len));
    if (cb) cb(connId, data, len);
}

void TravikObj::EventCb(bufferevent*, short events, void* arg) {
    auto* conn = static_cast<ConnectionSt*>(arg);
    int savedErrno = errno;
    // Kept on purpose (tests pin it): this line and OnEvent's make the end of a connection print twice.
    if (events & BEV_EVENT_EOF) {
        Diag("Connection closed.\n");
    } else if (events & BEV_EVENT_ERROR) {
        Diag("Got an error on the connection: %s\n", strerror(savedErrno));
    }
    errno = savedErrno;
    travik::RunGuarded("event failed", [&] { conn->owner->OnEvent(conn->fd, events); });
}

void TravikObj::OnEvent(evutil_socket_t fd, short events) {
    int savedErrno = errno;
    if (events & BEV_EVENT_EOF) {
        Diag("Connection closed.\n");
    } else if (events & BEV_EVENT_ERROR) {
        Diag("Got an error on the connection: %s\n", strerror(savedErrno));
    }
    bool removed = false;
    if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) {
        std::lock_guard<std::mutex> lock(m_connMutex);
        RemoveLocked(fd);
        removed = true;
    }
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
