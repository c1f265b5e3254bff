#include "manager/frame_pipeline.h"

#include <algorithm>

namespace travik {

uint64_t FramePipeline::Add(const std::shared_ptr<Travik>& server, bool latest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t seq = m_nextSeq++;
    Entry& e = m_entries[seq];
    e.server = server;
    e.latest = latest;
    return seq;
}

void FramePipeline::Complete(uint64_t seq, ByteBuffer frame) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(seq);
    if (it == m_entries.end()) return;
    it->second.done = true;
    it->second.frame = std::move(frame);
    // Send every finished frame at the head; a later one waits for the
    // earlier ones, whichever worker finishes first.
    while (!m_entries.empty() && m_entries.begin()->second.done) {
        Entry& head = m_entries.begin()->second;
        if (head.frame.data && head.server) {
            if (head.body.data)
                head.server->SendParts(head.frame.data, head.frame.len, head.body.data, head.body.len);
            else if (head.latest)
                head.server->SendLatest(head.frame.data, head.frame.len);
            else
                head.server->SendData(head.frame.data, head.frame.len);
        }
        if (head.sent) head.sent();
        m_entries.erase(m_entries.begin());
    }
    m_cond.notify_all();
}

void FramePipeline::Push(CompressPool& pool, int depth, const std::shared_ptr<Travik>& server,
                         std::function<ByteBuffer()> build) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return static_cast<int>(m_entries.size()) < std::max(depth, 1); });
    }
    const uint64_t seq = Add(server, true);
    std::shared_ptr<FramePipeline> self = shared_from_this();
    auto task = [self, seq, build] { self->Complete(seq, build()); };
    if (!pool.Post(task)) task();
}

void FramePipeline::PushParts(const std::shared_ptr<Travik>& server, LogFrameParts frame, std::function<void()> sent) {
    const uint64_t seq = Add(server, false);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Entry& e = m_entries[seq];
        e.sent = std::move(sent);
        e.body = std::move(frame.body);
    }
    Complete(seq, std::move(frame.head));
}

bool FramePipeline::Idle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.empty();
}

void FramePipeline::PushReady(const std::shared_ptr<Travik>& server, ByteBuffer frame, bool latest,
                              std::function<void()> sent) {
    const uint64_t seq = Add(server, latest);
    if (sent) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries[seq].sent = std::move(sent);
    }
    Complete(seq, std::move(frame));
}

}  // namespace travik
