// The libevent transport: one endpoint (server or client) with its own loop
// thread. Only the loop thread touches libevent objects; other threads reach
// it through the pending queues under m_connMutex and through event_active /
// event_base_loopbreak, which libevent's pthreads support makes safe.
#pragma once

#include <event2/util.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    int Connect(const char* ip, int port) override;
    int SendData(std::shared_ptr<unsigned char>& data, int len) override;
    int IsEmpty() override;
    int SetReadCb(TravikReadCb cb) override;
    int Stop() override;
    int SendLatest(std::shared_ptr<unsigned char>& data, int len) override;
    int SetCloseCb(std::function<void(unsigned long long)> cb) override;
    bool AllBacklogged() override;
    bool WaitStopped(int timeoutMs) override;
    bool OnLoopThread() const override;
    int BoundPort() const override;
    int ConnectionCount() override;

private:
    struct ConnectionSt {
        evutil_socket_t fd = -1;
        bufferevent* bev = nullptr;
        TravikObj* owner = nullptr;
        event* flushEvent = nullptr;
        evbuffer_cb_entry* outputCb = nullptr;
        // Backlog accounting; see backlog_limits.h.
        size_t queuedBytes = 0;                // under m_connMutex
        std::atomic<size_t> outputBytes{0};    // written by the output buffer's callback
        std::atomic<int64_t> lastProgress{0};  // steady clock: output last taken by the kernel
        bool closing = false;                  // under m_connMutex: close as slow on the loop thread
    };
    struct SendDataSt {
        std::shared_ptr<unsigned char> data;
        int len = 0;
    };

    // Loop thread bodies and their steps.
    void ListenLoop();
    void ConnectLoop();
    void RunLoopThread(void (TravikObj::*body)());
    bool MakeBase();
    void Teardown();
    void ReportListenResult(int result);
    void EndConnectAttempt(bool ok);

    // libevent callbacks (static trampolines forward to these).
    void OnAccept(evutil_socket_t fd);
    void OnFlushEvent();
    void OnWriteDrained();
    void OnEvent(evutil_socket_t fd, short events);
    void OnRead(ConnectionSt* conn);

    static void AcceptCb(evconnlistener*, evutil_socket_t fd, struct sockaddr*, int, void* arg);
    static void SignalCb(evutil_socket_t, short, void* arg);
    static void AcceptErrorCb(evconnlistener* listener, void* arg);
    static void AcceptRetryCb(evutil_socket_t, short, void* arg);
    static void FlushCb(evutil_socket_t, short, void* arg);
    static void StopCb(evutil_socket_t, short, void* arg);
    static void ReadCb(bufferevent* bev, void* arg);
    static void WriteCb(bufferevent* bev, void* arg);
    static void EventCb(bufferevent* bev, short events, void* arg);
    static void OutputCb(evbuffer* buf, const evbuffer_cb_info* info, void* arg);

    // Under m_connMutex, on the loop thread.
    ConnectionSt& Register(evutil_socket_t key, bufferevent* bev);
    void HandOver(evutil_socket_t key, ConnectionSt& conn);
    void RemoveLocked(evutil_socket_t fd);
    void FreeConnection(ConnectionSt& conn);
    std::vector<evutil_socket_t> CollectSlowLocked();

    int Queue(std::shared_ptr<unsigned char>& data, int len, bool latest);
    void NotifyClosed(evutil_socket_t fd);
    void WakeLoopLocked();
    void TuneSocket(evutil_socket_t fd);
    static evutil_socket_t MakeClientSocket();

    event_base* m_base = nullptr;  // set and cleared by the loop thread under m_loopMutex
    evconnlistener* m_listener = nullptr;
    event* m_signalEvent = nullptr;
    event* m_stopEvent = nullptr;
    event* m_acceptRetryEvent = nullptr;  // re-enables accepting after a failed accept
    bool m_acceptPaused = false;          // loop thread only: reported the current accept failure
    std::thread m_thread;
    int m_port = 0;
    std::atomic<int> m_boundPort{0};  // set by the loop thread once bound, cleared at teardown
    std::string m_ip;

    std::map<evutil_socket_t, ConnectionSt> m_connMap;
    std::mutex m_connMutex;
    std::map<evutil_socket_t, std::vector<SendDataSt>> m_pendingMap;
    std::map<evutil_socket_t, int> m_busyMap;

    std::mutex m_cbMutex;  // guards the two callbacks against the loop thread's reads
    TravikReadCb m_readCb;
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
