// Turns one connection's chunks into whole frames. The state of a connection
// is the list of its pending pieces (RecvFragment), held by the caller and
// passed in, so that the caller can keep it under its own lock and run the
// frames without it.
//
// Contract: any thread, one call per connection at a time; never blocks.
// Each thread keeps a few working buffers for reuse (one up to 32 MiB, the
// others up to 64 KiB).
// The on-frame callback runs synchronously, once per whole frame, in stream
// order, and must not touch `pending`. Allocation failures propagate as
// std::bad_alloc (the pending state is then unspecified: clear it).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "protocol/wire.h"
#include "travik/travik.h"

namespace travik {

class FrameAssembler {
public:
    // `frame` points at a whole frame whose header passed CheckFrameHeader:
    // `frameLen` bytes (16-byte header plus payload) are readable. Returns
    // false to stop: the rest of the chunk is dropped and nothing is kept.
    using OnFrame = std::function<bool(const unsigned char* frame, int frameLen)>;

    // A frame of at least kPiecedFrameMin bytes that arrived in pieces is
    // first offered here, before its pieces are joined into one buffer, so
    // that its bytes can be copied once, straight to where they are wanted:
    // `visit(from, n, span)` calls `span(p, k)` for the consecutive runs of
    // bytes [from, from + n) of the frame, in order, until `span` returns
    // false (a range outside the frame visits nothing). `header` is its
    // checked 16-byte header. Taken: done with it, nothing is joined; Join:
    // join it and call OnFrame; Stop: as OnFrame returning false.
    enum class Pieced { Taken, Join, Stop };
    using Span = std::function<bool(const unsigned char* p, int k)>;
    using VisitBytes = std::function<void(int from, int n, const Span& span)>;
    using OnPiecedFrame = std::function<Pieced(const unsigned char* header, int frameLen, const VisitBytes& visit)>;
    static constexpr int kPiecedFrameMin = 64 * 1024;

    // A frame of at least kPiecedFrameMin bytes whose start has arrived but
    // not its end can be streamed instead of held: offered with its checked
    // 16-byte header, the first `n` bytes of the frame at `p` (header
    // included) and `last` (always false here). Stream: the sink took them
    // and is given the rest of the frame as it arrives, span by span, `last`
    // on the final one; nothing is held or joined. Decline: its pieces are
    // held as usual. Stop: as OnFrame returning false. The caller keeps the
    // sink's own state per connection, beside `pending`.
    enum class Streamed { Stream, Decline, Stop };
    using OnStream = std::function<Streamed(const unsigned char* p, int n, bool last)>;
    using OnStreamStart =
        std::function<Streamed(const unsigned char* header, int frameLen, const unsigned char* p, int n)>;

    // Frames announcing more than `maxFrameLen` bytes (or of an unknown
    // kind) are malformed: the bytes from such a header on are dropped.
    FrameAssembler(int maxFrameLen, OnFrame onFrame, OnPiecedFrame onPieced = nullptr,
                   OnStreamStart onStreamStart = nullptr, OnStream onStream = nullptr);

    // Adds `len` bytes of `data` to the connection whose pending pieces are
    // `pending`, calls the callback for each frame completed, and leaves the
    // bytes of an incomplete frame in `pending`. Pieces are held by
    // reference while few; `data` may be kept.
    void Push(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data, int len) const;

private:
    // False when it stopped: a malformed header, or OnFrame said stop.
    bool Parse(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& work, int offset, int n) const;
    // Offers the head frame, which this chunk completes, to m_onPieced; true
    // when nothing is left to join.
    bool OfferPieced(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data, int len,
                     int pendingBytes, int expected) const;

    // Feeds a chunk to the frame being streamed (pending's marker entry).
    void PushStreamed(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data, int len) const;

    int m_maxFrameLen;
    OnFrame m_onFrame;
    OnPiecedFrame m_onPieced;
    OnStreamStart m_onStreamStart;
    OnStream m_onStream;
};

}  // namespace travik
