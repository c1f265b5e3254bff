// The client endpoint: one outgoing connection, plain or TLS, filed in the
// connection table under the key -1 (see BeginConnect).
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <cstring>

#include "platform/diag.h"
#include "platform/net_startup.h"
#include "platform/no_inherit.h"
#include "platform/sockets.h"
#include "transport/travik_obj.h"

using travik::Diag;

int TravikObj::Connect(const char* ip, int port) { return ConnectWith(ip, port, nullptr); }

int TravikObj::ConnectWith(const char* ip, int port, std::shared_ptr<travik::TlsContext> tls) {
    // Stopping the current connection means waiting for this very thread.
    if (OnLoopThread()) {
        Diag("Connect refused: called on the endpoint's own loop thread\n");
        return -1;
    }
    bool running;
    {
        std::lock_guard<std::mutex> lock(m_loopMutex);
        running = m_loopRunning;
    }
    if (running) {
        // A new attempt replaces the current connection.
        Stop();
        if (!WaitStopped(5000)) return -1;
    }
    if (m_thread.joinable()) m_thread.join();
    m_port = port;
    m_ip = ip ? ip : "";
    m_tls = std::move(tls);
    {
        std::lock_guard<std::mutex> lock(m_connectMutex);
        m_connectState = travik::CONNECT_PENDING;
    }
    RunLoopThread(&TravikObj::ConnectLoop);
    std::unique_lock<std::mutex> lock(m_connectMutex);
    m_connectCond.wait(lock, [this] { return m_connectState != travik::CONNECT_PENDING; });
    return m_connectState == travik::CONNECT_FAILED ? -1 : 0;
}

evutil_socket_t TravikObj::MakeClientSocket() {
#if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
    return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
    evutil_socket_t fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0) {
        evutil_make_socket_nonblocking(fd);
        travik::KeepFromChildren(fd);
    }
    return fd;
#endif
}

void TravikObj::EndConnectAttempt(bool ok) {
    std::lock_guard<std::mutex> lock(m_connectMutex);
    if (m_connectState == travik::CONNECT_PENDING) {
        m_connectState = ok ? travik::CONNECT_OK : travik::CONNECT_FAILED;
        m_connectCond.notify_all();
    }
}

void TravikObj::ConnectLoop() {
    travik::NameThisThread("travik-connect");
    travik::StartNetworkOnThisThread(0x0002);
    if (const char* failure = BeginConnect()) {
        Diag("%s", failure);
        Teardown();
        EndConnectAttempt(false);
        return;
    }
    event_base_dispatch(m_base);
    Teardown();
    // The attempt may still be pending when Stop ended the loop first.
    EndConnectAttempt(false);
    Diag("connect done\n");
}

const char* TravikObj::BeginConnect() {
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(m_port));
    if (inet_pton(AF_INET, m_ip.c_str(), &sin.sin_addr) <= 0) return "inet_pton failed\n";
    if (!MakeBase()) return "Could not initialize libevent\n";
    // Over TLS, libevent reports the connection made once the handshake
    // finished and the device's certificate was accepted.
    bufferevent* bev = m_tls ? NewTlsClient() : bufferevent_socket_new(m_base, -1, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) return "Connect failed\n";
    // Kept on purpose (tests pin it): made without a socket, the key is -1, the all-ones connection id.
    evutil_socket_t key = bufferevent_getfd(bev);
    evutil_socket_t fd = MakeClientSocket();
    if (fd < 0 || bufferevent_setfd(bev, fd) != 0) {
        if (fd >= 0) evutil_closesocket(fd);
        bufferevent_free(bev);
        return "Connect failed\n";
    }
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        ConnectionSt& conn = Register(key, bev, m_tls != nullptr);
        if (m_tls) {
            bufferevent_setcb(bev, TlsReadCb, WriteCb, TlsEventCb, &conn);
        } else {
            bufferevent_setcb(bev, nullptr, WriteCb, EventCb, &conn);
        }
    }
    // Not under m_connMutex: an outcome that libevent reports at once runs
    // the event callback, whose removal takes that lock.
    if (bufferevent_socket_connect(bev, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == -1) {
        // libevent may already have run the error callback, which removed
        // (and freed) the connection: bev is not touched again; Teardown
        // frees it otherwise.
        return "Connect failed\n";
    }
    // Reading starts once connected (OnEvent).
    bufferevent_enable(bev, EV_WRITE);
    TuneSocket(fd);
    return nullptr;
}
