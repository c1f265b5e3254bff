#include "nats/client/builtin/subscription_queue.h"

#include <system_error>

namespace travik_nats {

SubscriptionQueue::SubscriptionQueue(NatsLink::Handler handler, size_t maxMessages, size_t maxBytes)
    : m_handler(std::move(handler)), m_maxMessages(maxMessages), m_maxBytes(maxBytes) {}

bool SubscriptionQueue::Start(std::string& error) {
    std::shared_ptr<SubscriptionQueue> self = shared_from_this();
    try {
        m_thread = std::thread([self] { self->Run(); });
    } catch (const std::system_error& e) {
        // Out of threads or address space: a failed call, not a terminate.
        error = e.what();
        return false;
    }
    return true;
}

bool SubscriptionQueue::Push(WireMessage&& message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || m_queue.size() >= m_maxMessages || m_bytes + message.data.size() > m_maxBytes) return false;
        m_bytes += message.data.size();
        m_queue.push_back(std::move(message));
    }
    m_cond.notify_one();
    return true;
}

bool SubscriptionQueue::Stop(std::chrono::milliseconds wait) {
    if (!m_thread.joinable()) return true;
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
        m_bytes = 0;
        m_cond.notify_all();
        ended = m_cond.wait_for(lock, wait, [this] { return m_ended; });
    }
    if (ended)
        m_thread.join();
    else
        m_thread.detach();  // its handler still runs; `self` keeps the queue
    return ended;
}

void SubscriptionQueue::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_cond.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_stop) break;
        WireMessage message = std::move(m_queue.front());
        m_queue.pop_front();
        m_bytes -= message.data.size();
        lock.unlock();
        try {
            LinkMessage view;
            view.subject = message.subject.c_str();
            view.reply = message.reply.empty() ? nullptr : message.reply.c_str();
            view.data = message.data.empty() ? "" : message.data.data();
            view.size = static_cast<int>(message.data.size());
            m_handler(view);
        } catch (...) {
            // A handler's failure (allocation) loses this message only.
        }
        lock.lock();
    }
    m_ended = true;
    m_cond.notify_all();
}

}  // namespace travik_nats
