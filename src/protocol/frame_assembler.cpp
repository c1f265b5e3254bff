// Reassembly: pieces of an incomplete frame are held by reference and copied
// once, when the frame is complete; a frame arriving in many small pieces is
// gathered into one buffer that grows geometrically.
#include "protocol/frame_assembler.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "platform/asan_poison.h"
#include "platform/per_thread.h"
#include "protocol/frame_reader.h"
#include "protocol/frame_writer.h"

namespace travik {
namespace {

// Copies the pending pieces and then `len` bytes of `data` into `out`.
void CopyPieces(const std::vector<RecvFragment>& pending, const unsigned char* data, int len, unsigned char* out) {
    for (const RecvFragment& piece : pending) {
        std::memcpy(out, piece.data.get(), static_cast<size_t>(piece.len));
        out += piece.len;
    }
    std::memcpy(out, data, static_cast<size_t>(len));
}

// The pieces of a frame are held by reference while they are few. A peer
// that sends a frame in many small pieces would otherwise cost a buffer and a
// vector entry per piece, so past kMaxHeldPieces they are gathered into one
// owned buffer that grows geometrically up to the frame's size: memory stays
// within about twice the bytes received.
constexpr size_t kMaxHeldPieces = 64;
constexpr int kMinGatherCapacity = 64 * 1024;

bool OwnsRoomFor(const std::vector<RecvFragment>& pending, int len) {
    return pending.size() == 1 && pending[0].capacity - pending[0].len >= len;
}

void HoldPiece(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data, int len,
               int pendingBytes, int expected) {
    if (OwnsRoomFor(pending, len)) {
        RecvFragment& gathered = pending[0];
        std::memcpy(gathered.data.get() + gathered.len, data.get(), static_cast<size_t>(len));
        gathered.len += len;
        return;
    }
    bool gathering = pending.size() == 1 && pending[0].capacity > 0;
    if (!gathering && pending.size() < kMaxHeldPieces) {
        pending.push_back(RecvFragment{data, len, expected, 0});
        return;
    }
    int needed = pendingBytes + len;  // below `expected`
    long long grown = std::max<long long>(2LL * needed, kMinGatherCapacity);
    int capacity = grown >= expected ? expected : static_cast<int>(grown);
    std::shared_ptr<unsigned char> buffer = AllocBytes(static_cast<size_t>(capacity));
    CopyPieces(pending, data.get(), len, buffer.get());
    pending.clear();
    pending.push_back(RecvFragment{buffer, needed, expected, capacity});
}

// The working buffers of joins are kept for the next joins on the same
// thread: a stream of large frames would otherwise fault in fresh pages for
// every frame, and one of small frames split across chunks would cost an
// allocation each. A buffer is reused only while nothing else holds it (a
// frame's remainder in a connection's pending pieces does, so a few are
// kept for a thread serving several connections); one of them may be large,
// up to kMaxKeptJoin, the others hold up to kMaxSmallJoin. Bytes past the
// current join are poisoned for ASan, so that a read past the frame is
// caught as in a buffer of exact size.
constexpr int kMinKeptJoin = 4 * 1024;
constexpr int kMaxSmallJoin = 64 * 1024;
constexpr int kMaxKeptJoin = 32 << 20;
constexpr size_t kKeptJoins = 4;

struct KeptJoin {
    std::shared_ptr<unsigned char> data;
    int capacity = 0;
};

std::shared_ptr<unsigned char> Handed(const KeptJoin& kept, int total) {
    UnpoisonBytes(kept.data.get(), static_cast<size_t>(total));
    PoisonBytes(kept.data.get() + total, static_cast<size_t>(kept.capacity - total));
    return kept.data;
}

std::shared_ptr<unsigned char> JoinBuffer(int total) {
    static PerThread<std::array<KeptJoin, kKeptJoins>> perThread;
    std::array<KeptJoin, kKeptJoins>& kept = perThread.Get();
    KeptJoin* spare = nullptr;  // a slot free to take a new buffer: empty, or the smallest idle one
    for (size_t i = 0; i < kKeptJoins; ++i) {
        KeptJoin& k = kept[i];
        const bool idle = !k.data || k.data.use_count() == 1;
        if (k.data && idle && k.capacity >= total) return Handed(k, total);
        const bool fits = total <= (i == 0 ? kMaxKeptJoin : kMaxSmallJoin);
        if (idle && fits && (!spare || k.capacity < spare->capacity)) spare = &k;
    }
    if (!spare) return AllocBytes(static_cast<size_t>(total));
    // Rounded up so that growing small frames do not replace it each time.
    const int capacity = std::max(total, kMinKeptJoin);
    KeptJoin fresh{AllocBytes(static_cast<size_t>(capacity)), capacity};
    if (spare->data) UnpoisonBytes(spare->data.get(), static_cast<size_t>(spare->capacity));  // back to the heap whole
    *spare = fresh;
    return Handed(fresh, total);
}

// Joins the pending pieces and the new chunk into one working buffer, reusing
// a gathered buffer when the chunk fits into it.
std::shared_ptr<unsigned char> Join(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data,
                                    int len, int total) {
    std::shared_ptr<unsigned char> joined;
    if (OwnsRoomFor(pending, len)) {
        joined = pending[0].data;
        std::memcpy(joined.get() + pending[0].len, data.get(), static_cast<size_t>(len));
    } else {
        joined = JoinBuffer(total);
        CopyPieces(pending, data.get(), len, joined.get());
    }
    pending.clear();  // keeps the storage for the next frame
    return joined;
}

}  // namespace

FrameAssembler::FrameAssembler(int maxFrameLen, OnFrame onFrame, OnPiecedFrame onPieced, OnStreamStart onStreamStart,
                               OnStream onStream)
    : m_maxFrameLen(maxFrameLen),
      m_onFrame(std::move(onFrame)),
      m_onPieced(std::move(onPieced)),
      m_onStreamStart(std::move(onStreamStart)),
      m_onStream(std::move(onStream)) {}

// A frame being streamed is marked in `pending` by one entry without data:
// `len` bytes of its `frameLen` went to the sink so far.
void FrameAssembler::PushStreamed(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data,
                                  int len) const {
    RecvFragment& marker = pending[0];
    const int k = std::min(len, marker.frameLen - marker.len);
    const bool last = marker.len + k == marker.frameLen;
    if (m_onStream(data.get(), k, last) == Streamed::Stop) {
        pending.clear();
        return;
    }
    marker.len += k;
    if (!last) return;
    pending.clear();
    if (len > k) Parse(pending, data, k, len - k);
}

bool FrameAssembler::OfferPieced(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data,
                                 int len, int pendingBytes, int expected) const {
    // The pending bytes are less than the head frame and the chunk completes it.
    const int fromChunk = expected - pendingBytes;
    VisitBytes visit = [&](int from, int n, const Span& span) {
        if (from < 0 || n <= 0 || from > expected - n) return;
        for (const RecvFragment& piece : pending) {
            if (from >= piece.len) {
                from -= piece.len;
                continue;
            }
            const int k = std::min(n, piece.len - from);
            if (!span(piece.data.get() + from, k)) return;
            n -= k;
            from = 0;
            if (n == 0) return;
        }
        span(data.get() + from, n);
    };
    unsigned char header[kFrameHeaderLen];
    unsigned char* at = header;
    visit(0, kFrameHeaderLen, [&at](const unsigned char* p, int k) {
        std::memcpy(at, p, static_cast<size_t>(k));
        at += k;
        return true;
    });
    const Pieced result = m_onPieced(header, expected, visit);
    if (result == Pieced::Join) return false;
    pending.clear();
    if (result == Pieced::Taken && len > fromChunk) Parse(pending, data, fromChunk, len - fromChunk);
    return true;
}

void FrameAssembler::Push(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data,
                          int len) const {
    if (!data || len <= 0) return;
    if (!pending.empty() && !pending[0].data) {
        if (m_onStream) {
            PushStreamed(pending, data, len);
            return;
        }
        pending.clear();  // a stream this assembler cannot continue: resync at this chunk
    }
    long long pendingBytes = 0;
    int expected = 0;
    for (const RecvFragment& piece : pending) {
        pendingBytes += piece.len;
        if (expected == 0) expected = piece.frameLen;
    }
    long long total = pendingBytes + len;
    if (total > INT_MAX) {  // cannot be a frame this reader accepts
        pending.clear();
        return;
    }
    if (expected > 0 && total < expected) {
        HoldPiece(pending, data, len, static_cast<int>(pendingBytes), expected);
        return;
    }
    if (pendingBytes > 0 && m_onPieced && expected >= kPiecedFrameMin &&
        OfferPieced(pending, data, len, static_cast<int>(pendingBytes), expected))
        return;
    if (pendingBytes > 0 && expected > 0) {
        // Only the frame this chunk completes is joined; the rest of the
        // chunk is parsed where it lies.
        const int fromChunk = expected - static_cast<int>(pendingBytes);
        std::shared_ptr<unsigned char> frame = Join(pending, data, fromChunk, expected);
        if (Parse(pending, frame, 0, expected) && len > fromChunk) Parse(pending, data, fromChunk, len - fromChunk);
    } else if (pendingBytes > 0) {
        std::shared_ptr<unsigned char> joined = Join(pending, data, len, static_cast<int>(total));
        Parse(pending, joined, 0, static_cast<int>(total));
    } else {
        Parse(pending, data, 0, len);
    }
}

// Parses `n` bytes of the working buffer `work` from `offset` (a frame
// boundary), handing on every whole frame. What is left of an incomplete frame goes into
// `pending`: the working buffer itself when no frame was handled, else a copy
// of the remainder so that the chunk can be freed.
bool FrameAssembler::Parse(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& work, int offset,
                           int n) const {
    const unsigned char* p = work.get() + offset;
    while (n > 0) {
        int frameLen = 0;
        HeaderCheck check = CheckFrameHeader(p, n, frameLen, m_maxFrameLen);
        if (check == HeaderCheck::Bad) return false;  // unknown kind or impossible size: drop the rest
        if (check == HeaderCheck::NeedMore) {
            if (frameLen >= kPiecedFrameMin && m_onStreamStart) {
                const Streamed s = m_onStreamStart(p, frameLen, p, n);
                if (s == Streamed::Stop) {
                    pending.clear();
                    return false;
                }
                if (s == Streamed::Stream) {
                    pending.push_back(RecvFragment{nullptr, n, frameLen, 0});
                    return true;
                }
            }
            if (p == work.get()) {
                pending.push_back(RecvFragment{work, n, frameLen, 0});
            } else {
                std::shared_ptr<unsigned char> rest = AllocBytes(static_cast<size_t>(n));
                std::memcpy(rest.get(), p, static_cast<size_t>(n));
                pending.push_back(RecvFragment{rest, n, frameLen, 0});
            }
            return true;
        }
        if (!m_onFrame(p, frameLen)) {
            pending.clear();
            return false;
        }
        p += frameLen;
        n -= frameLen;
    }
    return true;
}

}  // namespace travik
