// Turns one connection's chunks into whole frames. The state of a connection
// is the list of its pending pieces (RecvFragment), held by the caller and
// passed in, so that the caller can keep it under its own lock and run the
// frames without it.
//
// Contract: any thread, one call per connection at a time; never blocks.
// Each thread keeps its last large working buffer (up to 32 MiB) for reuse.
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

    // Frames announcing more than `maxFrameLen` bytes (or of an unknown
    // kind) are malformed: the bytes from such a header on are dropped.
    FrameAssembler(int maxFrameLen, OnFrame onFrame, OnPiecedFrame onPieced = nullptr);

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

    int m_maxFrameLen;
    OnFrame m_onFrame;
    OnPiecedFrame m_onPieced;
};

}  // namespace travik
