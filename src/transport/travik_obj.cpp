#include "transport/travik_obj.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/net_startup.h"
#include "transport/backlog_limits.h"
#include "transport/send_stats.h"

using travik::Diag;

std::shared_ptr<Travik> MakeTravikObj() { return std::make_shared<TravikObj>(); }

TravikObj::TravikObj() = default;

TravikObj::~TravikObj() {
    // The loop thread holds a reference to the object until its teardown is
    // done, so by now it has finished or is this very thread.
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach();
        } else {
            m_thread.join();
        }
    }
}

// ---------------------------------------------------------------------------
// Loop thread lifecycle

void TravikObj::RunLoopThread(void (TravikObj::*body)()) {
    travik::EnableLibeventThreads();
    {
        std::lock_guard<std::mutex> lock(m_loopMutex);
        m_loopRunning = true;
        m_stopRequested = false;
        m_listenResult = 0;
    }
    auto self = shared_from_this();
    m_thread = std::thread([self, body] {
        {
            std::lock_guard<std::mutex> lock(self->m_loopMutex);
            self->m_loopThreadId = std::this_thread::get_id();
        }
        (self.get()->*body)();
        std::lock_guard<std::mutex> lock(self->m_loopMutex);
        self->m_loopRunning = false;
        self->m_loopCond.notify_all();
    });
}

bool TravikObj::MakeBase() {
    event_base* base = event_base_new();
    if (!base) return false;
    event* stopEvent = event_new(base, -1, 0, StopCb, this);
    if (!stopEvent) {
        event_base_free(base);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_loopMutex);
    m_base = base;
    m_stopEvent = stopEvent;
    // A Stop that came before the base existed still ends the loop at once.
    if (m_stopRequested) event_active(m_stopEvent, EV_READ, 0);
    return true;
}

int TravikObj::Stop() {
    std::lock_guard<std::mutex> lock(m_loopMutex);
    m_stopRequested = true;
    if (m_stopEvent) event_active(m_stopEvent, EV_READ, 0);
    return 0;
}

void TravikObj::StopCb(evutil_socket_t, short, void* arg) {
    auto* self = static_cast<TravikObj*>(arg);
    event_base_loopbreak(self->m_base);
}

bool TravikObj::WaitStopped(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_loopMutex);
    bool done = m_loopCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_loopRunning; });
    lock.unlock();
    if (done && m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    return done;
}

bool TravikObj::OnLoopThread() const {
    std::lock_guard<std::mutex> lock(m_loopMutex);
    return m_loopRunning && m_loopThreadId == std::this_thread::get_id();
}

void TravikObj::Teardown() {
    std::vector<evutil_socket_t> closed;
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        for (auto& entry : m_connMap) {
            FreeConnection(entry.second);
            closed.push_back(entry.first);
        }
        m_connMap.clear();
        m_pendingMap.clear();
        m_busyMap.clear();
    }
    for (evutil_socket_t fd : closed) NotifyClosed(fd);
    std::lock_guard<std::mutex> lock(m_loopMutex);
    if (m_stopEvent) event_free(m_stopEvent);
    m_stopEvent = nullptr;
    if (m_base) event_base_free(m_base);
    m_base = nullptr;
}

// ---------------------------------------------------------------------------
// Server endpoint

int TravikObj::Listen(int port) {
    {
        std::lock_guard<std::mutex> lock(m_loopMutex);
        if (m_loopRunning) return m_listenResult == 1 ? 0 : -1;
    }
    if (m_thread.joinable()) m_thread.join();  // a finished earlier run
    m_port = port;
    RunLoopThread(&TravikObj::ListenLoop);
    std::unique_lock<std::mutex> lock(m_loopMutex);
    m_loopCond.wait(lock, [this] { return m_listenResult != 0; });
    return m_listenResult == 1 ? 0 : -1;
}

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
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(m_port));
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    // Close-on-exec keeps the host's child processes from inheriting the
    // listening and accepted sockets (and so keeping viewers connected).
    m_listener = evconnlistener_new_bind(m_base, AcceptCb, this,
                                         LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC, -1,
                                         reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    if (!m_listener) {
        Diag("Could not create a listener!\n");
        Teardown();
        ReportListenResult(-1);
        return;
    }
    evconnlistener_set_error_cb(m_listener, AcceptErrorCb);
    {
        sockaddr_in bound;
        socklen_t boundLen = sizeof bound;
        if (getsockname(evconnlistener_get_fd(m_listener), reinterpret_cast<sockaddr*>(&bound), &boundLen) == 0)
            m_boundPort.store(ntohs(bound.sin_port));
    }
    m_signalEvent = evsignal_new(m_base, SIGINT, SignalCb, this);
    if (!m_signalEvent || event_add(m_signalEvent, nullptr) < 0) {
        Diag("Could not create/add a signal event!\n");
        if (m_signalEvent) event_free(m_signalEvent);
        m_signalEvent = nullptr;
        evconnlistener_free(m_listener);
        m_listener = nullptr;
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

void TravikObj::AcceptErrorCb(evconnlistener* listener, void* arg) {
    auto* self = static_cast<TravikObj*>(arg);
    int err = EVUTIL_SOCKET_ERROR();
    // Out of descriptors (or another accept failure): libevent would retry at
    // once, for ever, spinning the loop. Pause accepting for a moment instead;
    // the pending connection waits in the backlog.
    if (!self->m_acceptRetryEvent) self->m_acceptRetryEvent = evtimer_new(self->m_base, AcceptRetryCb, self);
    if (!self->m_acceptRetryEvent) return;
    if (!self->m_acceptPaused)
        Diag("accept failed: %s; pausing accepts for %d ms\n", evutil_socket_error_to_string(err),
             travik::kAcceptRetryMillis);
    self->m_acceptPaused = true;
    evconnlistener_disable(listener);
    timeval delay{0, travik::kAcceptRetryMillis * 1000};
    event_add(self->m_acceptRetryEvent, &delay);
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

void TravikObj::TuneSocket(evutil_socket_t fd) {
    int on = 1;
    // Frames are written whole, so Nagle's algorithm only delays the tail of
    // each frame behind the peer's delayed acknowledgement.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE)
    int idle = travik::kKeepAliveIdleSeconds;
    int interval = travik::kKeepAliveIntervalSeconds;
    int count = travik::kKeepAliveCount;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

TravikObj::ConnectionSt& TravikObj::Register(evutil_socket_t key, bufferevent* bev) {
    ConnectionSt& conn = m_connMap[key];
    conn.fd = key;
    conn.bev = bev;
    conn.owner = this;
    conn.queuedBytes = 0;
    conn.outputBytes = 0;
    conn.lastProgress = travik::SteadyMicros();
    conn.closing = false;
    // Not tied to the socket: a writable socket would wake the loop on every
    // pass. Senders activate it when they queue; the timer is the fallback.
    conn.flushEvent = event_new(m_base, -1, EV_PERSIST, FlushCb, &conn);
    timeval period{travik::kFlushPeriodSeconds, 0};
    if (conn.flushEvent) event_add(conn.flushEvent, &period);
    conn.outputCb = evbuffer_add_cb(bufferevent_get_output(bev), OutputCb, &conn);
    m_pendingMap[key].clear();
    m_busyMap[key] = 0;
    return conn;
}

void TravikObj::OnAccept(evutil_socket_t fd) {
    bufferevent* bev = bufferevent_socket_new(m_base, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        Diag("Error constructing bufferevent!");
        evutil_closesocket(fd);
        event_base_loopbreak(m_base);
        return;
    }
    TuneSocket(fd);
    m_acceptPaused = false;
    std::lock_guard<std::mutex> lock(m_connMutex);
    ConnectionSt& conn = Register(fd, bev);
    Diag("accept connect fd = %d\n", static_cast<int>(fd));
    bufferevent_setcb(bev, ReadCb, WriteCb, EventCb, &conn);
    bufferevent_enable(bev, EV_READ | EV_PERSIST);
    bufferevent_enable(bev, EV_WRITE | EV_PERSIST);
}

// ---------------------------------------------------------------------------
// Client endpoint

int TravikObj::Connect(const char* ip, int port) {
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
        evutil_make_socket_closeonexec(fd);
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
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(m_port));
    if (inet_pton(AF_INET, m_ip.c_str(), &sin.sin_addr) <= 0) {
        Diag("inet_pton failed\n");
        EndConnectAttempt(false);
        return;
    }
    if (!MakeBase()) {
        Diag("Could not initialize libevent\n");
        EndConnectAttempt(false);
        return;
    }
    bufferevent* bev = bufferevent_socket_new(m_base, -1, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        Diag("Connect failed\n");
        Teardown();
        EndConnectAttempt(false);
        return;
    }
    evutil_socket_t key = bufferevent_getfd(bev);
    evutil_socket_t fd = MakeClientSocket();
    if (fd < 0 || bufferevent_setfd(bev, fd) != 0) {
        if (fd >= 0) evutil_closesocket(fd);
        bufferevent_free(bev);
        Diag("Connect failed\n");
        Teardown();
        EndConnectAttempt(false);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        ConnectionSt& conn = Register(key, bev);
        bufferevent_setcb(bev, ReadCb, WriteCb, EventCb, &conn);
    }
    // Not under m_connMutex: an outcome that libevent reports at once runs
    // the event callback, whose removal takes that lock.
    int r = bufferevent_socket_connect(bev, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    if (r == -1) {
        // libevent may already have run the error callback, which removed
        // (and freed) the connection: bev is not touched again.
        Diag("Connect failed\n");
        Teardown();
        EndConnectAttempt(false);
        return;
    }
    bufferevent_enable(bev, EV_READ | EV_WRITE);
    TuneSocket(fd);
    event_base_dispatch(m_base);
    Teardown();
    // The attempt may still be pending when Stop ended the loop first.
    EndConnectAttempt(false);
    Diag("connect done\n");
}

// ---------------------------------------------------------------------------
// Connection I/O

int TravikObj::SendData(std::shared_ptr<unsigned char>& data, int len) { return Queue(data, len, false); }

int TravikObj::SendLatest(std::shared_ptr<unsigned char>& data, int len) { return Queue(data, len, true); }

int TravikObj::Queue(std::shared_ptr<unsigned char>& data, int len, bool latest) {
    travik::CountSentBytes(len);
    if (len <= 0 || !data) return -1;  // nothing to write; would only leave a connection busy
    std::lock_guard<std::mutex> lock(m_connMutex);
    bool queued = false;
    bool slow = false;
    for (auto& entry : m_connMap) {
        ConnectionSt& conn = entry.second;
        if (conn.closing) continue;
        size_t backlog = conn.queuedBytes + conn.outputBytes.load(std::memory_order_relaxed);
        if (latest) {
            if (backlog >= travik::kSoftBacklogBytes) continue;
        } else if (backlog > 0 && backlog + static_cast<size_t>(len) > travik::kHardBacklogBytes) {
            conn.closing = true;
            slow = true;
            continue;
        }
        m_pendingMap[entry.first].push_back(SendDataSt{data, len});
        conn.queuedBytes += static_cast<size_t>(len);
        queued = true;
    }
    if (queued || slow) WakeLoopLocked();
    return -1;
}

void TravikObj::WakeLoopLocked() {
    // Any connection's flush event serves all connections.
    for (auto& entry : m_connMap) {
        if (entry.second.flushEvent) {
            event_active(entry.second.flushEvent, EV_TIMEOUT, 0);
            return;
        }
    }
}

bool TravikObj::AllBacklogged() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    for (auto& entry : m_connMap) {
        const ConnectionSt& conn = entry.second;
        if (!conn.closing && conn.queuedBytes + conn.outputBytes.load() < travik::kSoftBacklogBytes) return false;
    }
    return !m_connMap.empty();
}

int TravikObj::BoundPort() const { return m_boundPort.load(); }

int TravikObj::ConnectionCount() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    return static_cast<int>(m_connMap.size());
}

int TravikObj::IsEmpty() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    return m_connMap.empty() ? 1 : 0;
}

int TravikObj::SetReadCb(TravikReadCb cb) {
    std::lock_guard<std::mutex> lock(m_cbMutex);
    m_readCb = std::move(cb);
    return 0;
}

int TravikObj::SetCloseCb(std::function<void(unsigned long long)> cb) {
    std::lock_guard<std::mutex> lock(m_cbMutex);
    m_closeCb = std::move(cb);
    return 0;
}

void TravikObj::HandOver(evutil_socket_t key, ConnectionSt& conn) {
    std::vector<SendDataSt>& queue = m_pendingMap[key];
    for (const SendDataSt& item : queue) bufferevent_write(conn.bev, item.data.get(), static_cast<size_t>(item.len));
    queue.clear();
    conn.queuedBytes = 0;
    m_busyMap[key] = 1;
}

void TravikObj::FlushCb(evutil_socket_t, short, void* arg) {
    travik::RunGuarded("flush failed", [&] { static_cast<ConnectionSt*>(arg)->owner->OnFlushEvent(); });
}

std::vector<evutil_socket_t> TravikObj::CollectSlowLocked() {
    std::vector<evutil_socket_t> slow;
    int64_t now = travik::SteadyMicros();
    for (auto& entry : m_connMap) {
        ConnectionSt& conn = entry.second;
        bool stuck = conn.outputBytes.load() > 0 && now - conn.lastProgress.load() > travik::kNoProgressMicros;
        if (conn.closing || stuck) slow.push_back(entry.first);
    }
    return slow;
}

void TravikObj::OnFlushEvent() {
    std::vector<evutil_socket_t> slow;
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        slow = CollectSlowLocked();
        for (evutil_socket_t fd : slow) {
            ConnectionSt& conn = m_connMap[fd];
            Diag("slow connection fd = %d closed: %zu bytes not taken\n", static_cast<int>(fd),
                 conn.queuedBytes + conn.outputBytes.load());
            RemoveLocked(fd);
        }
        for (auto& entry : m_connMap) {
            int& busy = m_busyMap[entry.first];
            if (busy == 1) continue;
            if (m_pendingMap[entry.first].empty()) continue;
            HandOver(entry.first, entry.second);
        }
    }
    for (evutil_socket_t fd : slow) NotifyClosed(fd);
}

void TravikObj::WriteCb(bufferevent* bev, void* arg) {
    if (evbuffer_get_length(bufferevent_get_output(bev)) != 0) {
        Diag("is full\n");
        return;
    }
    travik::RunGuarded("write failed", [&] { static_cast<ConnectionSt*>(arg)->owner->OnWriteDrained(); });
}

void TravikObj::OnWriteDrained() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    for (auto& entry : m_connMap) {
        if (m_pendingMap[entry.first].empty()) {
            m_busyMap[entry.first] = 0;
        } else {
            HandOver(entry.first, entry.second);
        }
    }
}

void TravikObj::OutputCb(evbuffer*, const evbuffer_cb_info* info, void* arg) {
    // Runs inside libevent's buffer operations, possibly while this thread
    // holds m_connMutex: atomics only.
    auto* conn = static_cast<ConnectionSt*>(arg);
    conn->outputBytes.store(info->orig_size + info->n_added - info->n_deleted, std::memory_order_relaxed);
    if (info->n_deleted > 0 || info->orig_size == 0) conn->lastProgress.store(travik::SteadyMicros());
}

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

void TravikObj::RemoveLocked(evutil_socket_t fd) {
    auto it = m_connMap.find(fd);
    if (it != m_connMap.end()) {
        FreeConnection(it->second);
        m_connMap.erase(it);
    }
    m_pendingMap.erase(fd);
    m_busyMap.erase(fd);
    Diag("disconnect fd = %d \n", static_cast<int>(fd));
}

void TravikObj::FreeConnection(ConnectionSt& conn) {
    if (conn.flushEvent) event_free(conn.flushEvent);
    conn.flushEvent = nullptr;
    if (conn.bev) {
        // The record goes away with the connection; libevent may free the
        // buffer later, so it must not call back into the record.
        if (conn.outputCb) evbuffer_remove_cb_entry(bufferevent_get_output(conn.bev), conn.outputCb);
        bufferevent_free(conn.bev);
    }
    conn.bev = nullptr;
    conn.outputCb = nullptr;
}

void TravikObj::NotifyClosed(evutil_socket_t fd) {
    std::function<void(unsigned long long)> cb;
    {
        std::lock_guard<std::mutex> lock(m_cbMutex);
        cb = m_closeCb;
    }
    if (cb) travik::RunGuarded("close callback failed", [&] { cb(static_cast<unsigned long long>(fd)); });
}
