// One subscription's pending messages and the dispatcher thread that hands
// them to its handler, one at a time. Bounded in messages and bytes: a
// message past either bound is dropped (the caller counts and reports it).
// Contract: Push from the connection's I/O thread (never blocks); Stop from
// the host thread, waits up to `wait` for a running handler and returns
// whether the thread ended (if not, the thread keeps the queue alive and
// ends after its handler returns).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "nats/client/builtin/wire_parser.h"
#include "nats/client/link.h"

namespace travik_nats {

class SubscriptionQueue : public std::enable_shared_from_this<SubscriptionQueue> {
public:
    SubscriptionQueue(NatsLink::Handler handler, size_t maxMessages, size_t maxBytes);
    // Starts the dispatcher thread (it holds a reference to this queue);
    // false, with `error` set, when the system gives no thread.
    bool Start(std::string& error);
    // False when the message was dropped: the queue is full or stopped.
    bool Push(WireMessage&& message);
    bool Stop(std::chrono::milliseconds wait);

private:
    void Run();

    NatsLink::Handler m_handler;
    const size_t m_maxMessages, m_maxBytes;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<WireMessage> m_queue;  // m_mutex
    size_t m_bytes = 0;               // m_mutex
    bool m_stop = false;              // m_mutex
    bool m_ended = false;             // m_mutex
    std::thread m_thread;
};

}  // namespace travik_nats
