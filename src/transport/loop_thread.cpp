// The loop thread's lifecycle: start, stop, wait, teardown. Each endpoint
// runs one loop thread at a time; Listen or Connect starts it with the
// endpoint's body (listen_endpoint.cpp, connect_endpoint.cpp).
#include <event2/event.h>

#include <chrono>
#include <mutex>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/net_startup.h"
#include "transport/travik_obj.h"

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

namespace {

#if !defined(_WIN32)
// On POSIX systems libevent ends the whole process (exit) when a new base
// gets its backend descriptor but not its signal socket pair, which happens
// when the descriptor limit is nearly reached. A base needs at most five
// descriptors (backend, socket pair, wake-up pipe); refusing to make one
// unless six are free keeps the host alive. Both endpoints' loop threads
// probe and create under one lock so that they do not take each other's
// room; a host thread opening descriptors at that instant can still race.
constexpr int kBaseDescriptors = 6;

bool DescriptorsFree() {
    int fds[kBaseDescriptors];
    int n = 0;
    while (n + 1 < kBaseDescriptors && pipe2(fds + n, O_CLOEXEC) == 0) n += 2;
    for (int i = 0; i < n; ++i) close(fds[i]);
    return n >= kBaseDescriptors;
}
#endif

event_base* NewBase() {
#if defined(_WIN32)
    return event_base_new();  // a failed socket pair is only a warning there
#else
    static std::mutex probeMutex;
    std::lock_guard<std::mutex> lock(probeMutex);
    return DescriptorsFree() ? event_base_new() : nullptr;
#endif
}

}  // namespace

bool TravikObj::MakeBase() {
    event_base* base = NewBase();
    if (!base) return false;
    event* stopEvent = event_new(base, -1, 0, StopCb, this);
    if (!stopEvent) {
        event_base_free(base);
        return false;
    }
    m_readSpare = NewReadChunk();
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
    FreeHandshakes();
    std::vector<evutil_socket_t> closed;
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        for (auto& entry : m_connMap) {
            FreeConnection(entry.second);
            closed.push_back(entry.first);
        }
        m_connMap.clear();
        ++m_roomStamp;
    }
    for (evutil_socket_t fd : closed) NotifyClosed(fd);
    m_readSpare.reset();
    std::lock_guard<std::mutex> lock(m_loopMutex);
    if (m_stopEvent) event_free(m_stopEvent);
    m_stopEvent = nullptr;
    if (m_base) event_base_free(m_base);
    m_base = nullptr;
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
