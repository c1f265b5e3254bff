// The libevent transport: one endpoint (server or client) with its own loop
// thread. Only the loop thread touches libevent objects; other threads reach
// it through the connection table under m_connMutex and through event_active,
// which libevent's pthreads support makes safe.
//
// Where each job lives:
//   loop_thread.cpp        start, stop, wait and teardown of the loop thread
//   listen_endpoint.cpp    the server: bind, accept, accept back-off, SIGINT
//   connect_endpoint.cpp   the client: its one outgoing connection
//   connection_table.cpp   registration, removal, socket options, counts
//   send_queues.cpp        queueing frames, handing them to libevent, backlog policy
//   connection_events.cpp  reads, close/error events, the close callback
//   tls_handshakes.cpp     TLS: accepted handshakes, TLS reads, the TLS client
//                          (tls_absent.cpp when built without TLS)
#pragma once

#include <event2/util.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "transport/backlog_limits.h"
#include "transport/travik_transport.h"

struct event_base;
struct evconnlistener;
struct event;
struct bufferevent;
struct evbuffer;
struct evbuffer_cb_info;
struct evbuffer_cb_entry;

namespace travik {

enum ConnectState { CONNECT_IDLE = 0, CONNECT_PENDING = 1, CONNECT_OK = 2, CONNECT_FAILED = 3 };

}  // namespace travik

class TravikObj : public Travik, public std::enable_shared_from_this<TravikObj> {
public:
    TravikObj();
    ~TravikObj() override;

    int Listen(int port) override;
    int ListenOn(const char* address, int port, std::shared_ptr<travik::TlsContext> tls) override;
    int Connect(const char* ip, int port) override;
    int ConnectWith(const char* ip, int port, std::shared_ptr<travik::TlsContext> tls) override;
    int SendData(std::shared_ptr<unsigned char>& data, int len) override;
    int SendParts(std::shared_ptr<unsigned char>& head, int headLen, std::shared_ptr<unsigned char>& body,
                  int bodyLen) override;
    int IsEmpty() override;
    int SetReadCb(TravikReadCb cb) override;
    int Stop() override;
    int SendLatest(std::shared_ptr<unsigned char>& data, int len) override;
    int SetCloseCb(std::function<void(unsigned long long)> cb) override;
    bool AllBacklogged() override;
    bool RoomFor(size_t bytes) override;
    size_t RoomLeft() override;
    bool RoomStamp(uint64_t& stamp) override;
    bool WaitStopped(int timeoutMs) override;
    bool OnLoopThread() const override;
    int BoundPort() const override;
    int ConnectionCount() override;
    long long AcceptFailures() const override;

private:
    struct SendDataSt {
        std::shared_ptr<unsigned char> data;
        int len = 0;
    };
    // One live connection. Its address is the user argument of its libevent
    // callbacks, so it stays put in m_connMap (a node-based map) from
    // Register until RemoveLocked.
    struct ConnectionSt {
        evutil_socket_t fd = -1;  // the key in m_connMap; -1 for the client's one connection
        bufferevent* bev = nullptr;
        TravikObj* owner = nullptr;
        event* flushEvent = nullptr;
        evbuffer_cb_entry* outputCb = nullptr;
        // Loop thread only: the socket's read event (a plain bufferevent only
        // writes); null for a TLS connection, whose bufferevent reads.
        event* readEvent = nullptr;
        bool tls = false;
        // Under m_connMutex: frames queued but not yet handed to libevent,
        // and whether handed frames are still being written.
        std::vector<SendDataSt> pending;
        bool busy = false;
        // Backlog accounting; see backlog_limits.h.
        size_t queuedBytes = 0;                // under m_connMutex: bytes in `pending`
        std::atomic<size_t> outputBytes{0};    // written by the output buffer's callback
        std::atomic<int64_t> lastProgress{0};  // steady clock: output last taken by the kernel
        bool closing = false;                  // under m_connMutex: close as slow on the loop thread
    };

    // An accepted TLS connection whose handshake has not finished: not in
    // the connection table (no frames, not counted) until it has. Loop
    // thread only; its address is the user argument of its callbacks.
    struct HandshakeSt {
        TravikObj* owner = nullptr;
        evutil_socket_t fd = -1;
        bufferevent* bev = nullptr;
        event* timer = nullptr;  // the handshake deadline
    };

    // loop_thread.cpp: starts `body` on a new loop thread; the thread keeps
    // the object alive until its teardown is done.
    void RunLoopThread(void (TravikObj::*body)());
    // Loop thread: creates m_base and the stop event.
    bool MakeBase();
    // Loop thread: frees every connection (reporting each closed), then the
    // stop event and the base. Harmless when nothing was made.
    void Teardown();
    static void StopCb(evutil_socket_t, short, void* arg);

    // listen_endpoint.cpp, loop thread.
    void ListenLoop();
    void ReportListenResult(int result);
    void OnAccept(evutil_socket_t fd);
    static void AcceptCb(evconnlistener*, evutil_socket_t fd, struct sockaddr*, int, void* arg);
    static void AcceptErrorCb(evconnlistener* listener, void* arg);
    static void AcceptRetryCb(evutil_socket_t, short, void* arg);
    // Loop thread: stops accepting until `millis` from now (0: the loop's next turn).
    void PauseAccepting(int millis);
    static void SignalCb(evutil_socket_t, short, void* arg);

    // connect_endpoint.cpp, loop thread.
    void ConnectLoop();
    // Starts the outgoing connection; nullptr, or the diagnostic line of
    // the step that failed.
    const char* BeginConnect();
    void EndConnectAttempt(bool ok);
    static evutil_socket_t MakeClientSocket();

    // connection_table.cpp. Register, RemoveLocked and FreeConnection run on
    // the loop thread under m_connMutex.
    ConnectionSt& Register(evutil_socket_t key, bufferevent* bev, bool tls = false);
    void RemoveLocked(evutil_socket_t fd);
    void FreeConnection(ConnectionSt& conn);
    static void TuneSocket(evutil_socket_t fd);

    // send_queues.cpp. Queue runs on sender threads; the rest on the loop
    // thread, the *Locked ones under m_connMutex.
    // `parts` make one frame, queued back to back; `stamped`: changes the
    // room stamp (frames the log path did not count).
    int Queue(const SendDataSt* parts, size_t count, bool latest, bool stamped);
    void WakeLoopLocked();
    // The least room any open connection has below the hard bound; with
    // `dropStuck`, first marks connections that made no progress for the
    // deadline as closing (reads the clock).
    size_t RoomLocked(bool dropStuck);
    void HandOverLocked(ConnectionSt& conn);
    std::vector<evutil_socket_t> CollectSlowLocked();
    void OnFlushEvent();
    void OnWriteDrained();
    static void FlushCb(evutil_socket_t, short, void* arg);
    static void WriteCb(bufferevent* bev, void* arg);
    static void OutputCb(evbuffer* buf, const evbuffer_cb_info* info, void* arg);

    // tls_handshakes.cpp, loop thread, no lock held on entry.
    // Starts the handshake of an accepted socket (closing the oldest
    // unfinished one when kMaxHandshakes are under way).
    void AcceptTls(evutil_socket_t fd);
    // A handshake's end: promoted into the connection table when `ok`,
    // else freed with its socket.
    void EndHandshake(HandshakeSt* hs, bool ok, const char* why);
    void FreeHandshakes();
    // The client's bufferevent over TLS (not yet connected); null on failure.
    bufferevent* NewTlsClient();
    void OnTlsRead(ConnectionSt* conn);
    static void HandshakeEventCb(bufferevent* bev, short events, void* arg);
    static void HandshakeTimeoutCb(evutil_socket_t, short, void* arg);
    static void TlsReadCb(bufferevent* bev, void* arg);
    static void TlsEventCb(bufferevent* bev, short events, void* arg);

    // connection_events.cpp, loop thread, no lock held on entry.
    void OnRead(ConnectionSt* conn);
    // Hands one chunk read from `conn` to the read callback.
    void Deliver(ConnectionSt* conn, std::shared_ptr<unsigned char>& data, int len);
    void OnEvent(evutil_socket_t fd, short events);
    void NotifyClosed(evutil_socket_t fd);
    static void ReadCb(evutil_socket_t fd, short events, void* arg);
    static std::shared_ptr<unsigned char> NewReadChunk(size_t len = travik::kReadChunkBytes);
    // Starts reading the connection filed under `key` (once connected).
    void StartReading(evutil_socket_t key);
    static void EventCb(bufferevent* bev, short events, void* arg);

    // Loop thread only (set before it starts, or by it).
    event_base* m_base = nullptr;  // set and cleared under m_loopMutex
    evconnlistener* m_listener = nullptr;
    event* m_signalEvent = nullptr;
    event* m_stopEvent = nullptr;                // under m_loopMutex: Stop activates it
    event* m_acceptRetryEvent = nullptr;         // re-enables accepting after a failed accept
    bool m_acceptPaused = false;                 // reported the current accept failure
    std::atomic<long long> m_acceptFailures{0};  // written by the loop thread, read by any
    std::thread m_thread;
    int m_port = 0;
    // The address Listen binds (set by the host thread before the loop starts).
    sockaddr_storage m_bindAddr{};
    socklen_t m_bindLen = 0;
    // TLS context of this run (null = plain): set before the loop thread
    // starts, read only by it.
    std::shared_ptr<travik::TlsContext> m_tls;
    std::list<HandshakeSt> m_handshakes;  // loop thread only, oldest first
    bool m_handshakesFull = false;        // loop thread: reported the current overflow
    unsigned m_handshakeEvictions = 0;    // loop thread: handshakes closed for newer ones
    std::atomic<int> m_boundPort{0};      // set by the loop thread once bound, cleared at teardown
    std::string m_ip;

    // The connection table. Lock order: m_connMutex before libevent's base lock.
    std::mutex m_connMutex;
    std::map<evutil_socket_t, ConnectionSt> m_connMap;
    // Changed under m_connMutex (read without it): see RoomStamp.
    std::atomic<uint64_t> m_roomStamp{0};

    std::mutex m_cbMutex;  // guards the two callbacks against the loop thread's reads
    TravikReadCb m_readCb;
    // Loop thread only: the chunk the next read of any connection goes into,
    // made with the loop (a fixed cost of the endpoint, not of a connection).
    std::shared_ptr<unsigned char> m_readSpare;
    std::function<void(unsigned long long)> m_closeCb;

    std::mutex m_connectMutex;
    std::condition_variable m_connectCond;
    int m_connectState = travik::CONNECT_IDLE;

    // Loop thread lifecycle, under m_loopMutex.
    mutable std::mutex m_loopMutex;
    std::condition_variable m_loopCond;
    bool m_loopRunning = false;
    bool m_stopRequested = false;
    int m_listenResult = 0;  // 0 pending, 1 listening, -1 failed
    std::thread::id m_loopThreadId;
};
