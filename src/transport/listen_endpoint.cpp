// The server endpoint: binds on all IPv4 addresses or on one local address,
// accepts viewers into the connection table (TLS ones once their handshake
// finished, tls_handshakes.cpp), backs off when accept fails, and ends two seconds after
// SIGINT.
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include <csignal>
#include <cstring>

#include "platform/diag.h"
#include "platform/net_startup.h"
#include "platform/no_inherit.h"
#include "platform/sockets.h"
#include "transport/backlog_limits.h"
#include "transport/travik_obj.h"

using travik::Diag;

int TravikObj::Listen(int port) { return ListenOn(nullptr, port, nullptr); }

namespace {

// Fills `addr` from a dotted IPv4 or IPv6 literal (null or "": all IPv4).
bool ParseBindAddress(const char* address, int port, sockaddr_storage& addr, socklen_t& len) {
    std::memset(&addr, 0, sizeof addr);
    const auto portBits = htons(static_cast<uint16_t>(port));
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    if (!address || !*address || inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = portBits;
        if (!address || !*address) v4->sin_addr.s_addr = htonl(INADDR_ANY);
        len = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = portBits;
        len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

}  // namespace

int TravikObj::ListenOn(const char* address, int port, std::shared_ptr<travik::TlsContext> tls) {
    if (OnLoopThread()) {
        Diag("Listen refused: called on the endpoint's own loop thread\n");
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(m_loopMutex);
        if (m_loopRunning) return m_listenResult == 1 ? 0 : -1;
    }
    if (m_thread.joinable()) m_thread.join();  // a finished earlier run
    if (!ParseBindAddress(address, port, m_bindAddr, m_bindLen)) {
        Diag("Listen: not an IP address: %s\n", address);
        return -1;
    }
    m_port = port;
    m_tls = std::move(tls);
    RunLoopThread(&TravikObj::ListenLoop);
    std::unique_lock<std::mutex> lock(m_loopMutex);
    m_loopCond.wait(lock, [this] { return m_listenResult != 0; });
    return m_listenResult == 1 ? 0 : -1;
}

int TravikObj::BoundPort() const { return m_boundPort.load(); }

long long TravikObj::AcceptFailures() const { return m_acceptFailures.load(std::memory_order_relaxed); }

void TravikObj::ReportListenResult(int result) {
    std::lock_guard<std::mutex> lock(m_loopMutex);
    m_listenResult = result;
    m_loopCond.notify_all();
}

void TravikObj::ListenLoop() {
    travik::NameThisThread("travik-listen");
    travik::StartNetworkOnThisThread(0x0201);
    if (!MakeBase()) {
        Diag("Could not initialize libevent!\n");
        ReportListenResult(-1);
        return;
    }
    // Close-on-exec keeps the host's child processes from inheriting the
    // listening and accepted sockets (and so keeping viewers connected). An
    // IPv6 address serves IPv6 only: one address, one family.
    unsigned flags = LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC;
    if (m_bindAddr.ss_family == AF_INET6) flags |= LEV_OPT_BIND_IPV6ONLY;
    m_listener = evconnlistener_new_bind(m_base, AcceptCb, this, flags, -1, reinterpret_cast<sockaddr*>(&m_bindAddr),
                                         static_cast<int>(m_bindLen));
    if (!m_listener) {
        Diag("Could not create a listener!\n");
        Teardown();
        ReportListenResult(-1);
        return;
    }
    travik::KeepFromChildren(evconnlistener_get_fd(m_listener));
    evconnlistener_set_error_cb(m_listener, AcceptErrorCb);
    {
        sockaddr_storage bound;
        socklen_t boundLen = sizeof bound;
        if (getsockname(evconnlistener_get_fd(m_listener), reinterpret_cast<sockaddr*>(&bound), &boundLen) == 0) {
            // Both families keep the port at the same offset.
            m_boundPort.store(ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port));
        }
    }
    m_signalEvent = evsignal_new(m_base, SIGINT, SignalCb, this);
    if (!m_signalEvent || event_add(m_signalEvent, nullptr) < 0) {
        Diag("Could not create/add a signal event!\n");
        if (m_signalEvent) event_free(m_signalEvent);
        m_signalEvent = nullptr;
        evconnlistener_free(m_listener);
        m_listener = nullptr;
        m_boundPort.store(0);
        Teardown();
        ReportListenResult(-1);
        return;
    }
    ReportListenResult(1);
    event_base_dispatch(m_base);
    m_boundPort.store(0);
    evconnlistener_free(m_listener);
    m_listener = nullptr;
    event_free(m_signalEvent);
    m_signalEvent = nullptr;
    if (m_acceptRetryEvent) event_free(m_acceptRetryEvent);
    m_acceptRetryEvent = nullptr;
    Teardown();
    Diag("listen done\n");
}

void TravikObj::AcceptCb(evconnlistener*, evutil_socket_t fd, struct sockaddr*, int, void* arg) {
    travik::RunGuarded("accept failed", [&] { static_cast<TravikObj*>(arg)->OnAccept(fd); });
}

void TravikObj::OnAccept(evutil_socket_t fd) {
    travik::KeepFromChildren(fd);
    if (m_tls) {
        AcceptTls(fd);
        return;
    }
    bufferevent* bev = bufferevent_socket_new(m_base, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        Diag("Error constructing bufferevent!");
        evutil_closesocket(fd);
        event_base_loopbreak(m_base);
        return;
    }
    TuneSocket(fd);
    m_acceptPaused = false;
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        ConnectionSt& conn = Register(fd, bev);
        Diag("accept connect fd = %lld\n", static_cast<long long>(fd));
        bufferevent_setcb(bev, nullptr, WriteCb, EventCb, &conn);
        bufferevent_enable(bev, EV_WRITE | EV_PERSIST);
    }
    StartReading(fd);
}

void TravikObj::AcceptErrorCb(evconnlistener*, void* arg) {
    auto* self = static_cast<TravikObj*>(arg);
    int err = EVUTIL_SOCKET_ERROR();
    self->m_acceptFailures.fetch_add(1, std::memory_order_relaxed);
    // Out of descriptors (or another accept failure): libevent would retry at
    // once, for ever, spinning the loop. Pause accepting for a moment instead;
    // the pending connection waits in the backlog.
    if (!self->m_acceptPaused)
        Diag("accept failed: %s; pausing accepts for %d ms\n", evutil_socket_error_to_string(err),
             travik::kAcceptRetryMillis);
    self->m_acceptPaused = true;
    self->PauseAccepting(travik::kAcceptRetryMillis);
}

void TravikObj::PauseAccepting(int millis) {
    if (!m_listener) return;
    if (!m_acceptRetryEvent) m_acceptRetryEvent = evtimer_new(m_base, AcceptRetryCb, this);
    if (!m_acceptRetryEvent) return;
    evconnlistener_disable(m_listener);
    timeval delay{millis / 1000, (millis % 1000) * 1000};
    event_add(m_acceptRetryEvent, &delay);
}

void TravikObj::AcceptRetryCb(evutil_socket_t, short, void* arg) {
    auto* self = static_cast<TravikObj*>(arg);
    if (self->m_listener) evconnlistener_enable(self->m_listener);
}

void TravikObj::SignalCb(evutil_socket_t, short, void* arg) {
    auto* self = static_cast<TravikObj*>(arg);
    Diag("Caught an interrupt signal; exiting cleanly in two seconds.\n");
    timeval delay{2, 0};
    event_base_loopexit(self->m_base, &delay);
}
