// Whole frames compressed on the workers while the send thread goes on
// taking staged images: how a build whose compressor cannot split one frame
// (libdeflate) uses several threads. Frames leave in the order the send
// thread took them, log frames included.
//
// Threads: Push* on the send thread only (Push may block until fewer than
// `depth` frames are in flight, which is bounded by one frame's
// compression); completion on a worker or the send thread. Frames are
// handed to the transport under the pipeline's mutex, which is taken
// before the transport's own locks and never the other way round.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "manager/compress_pool.h"
#include "protocol/frame_writer.h"
#include "transport/travik_transport.h"

namespace travik {

class FramePipeline : public std::enable_shared_from_this<FramePipeline> {
public:
    // Builds `build`'s frame on a worker of `pool` (on the calling thread
    // when none runs) and sends it with SendLatest once every frame pushed
    // before it has left. An empty frame is skipped. `build` must not throw.
    void Push(CompressPool& pool, int depth, const std::shared_ptr<Travik>& server, std::function<ByteBuffer()> build);
    // A ready frame, sent after the earlier ones (at once when none is in
    // flight) with SendLatest (`latest`, image frames) or SendData. `sent`,
    // when given, runs (under the pipeline's mutex, so it must be brief and
    // lock-free) once the frame has been handed over or dropped.
    void PushReady(const std::shared_ptr<Travik>& server, ByteBuffer frame, bool latest,
                   std::function<void()> sent = nullptr);

    // As PushReady (SendData), for a log frame in two parts (SendParts).
    void PushParts(const std::shared_ptr<Travik>& server, LogFrameParts frame, std::function<void()> sent);

    // True when no frame is in flight: a frame pushed now leaves at once.
    bool Idle();

private:
    struct Entry {
        bool done = false;
        bool latest = false;
        std::shared_ptr<Travik> server;
        ByteBuffer frame;
        ByteBuffer body;  // set for a frame in two parts, `frame` being its header
        std::function<void()> sent;
    };
    uint64_t Add(const std::shared_ptr<Travik>& server, bool latest);
    void Complete(uint64_t seq, ByteBuffer frame);

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::map<uint64_t, Entry> m_entries;  // not yet sent, by sequence
    uint64_t m_nextSeq = 0;
};

}  // namespace travik
