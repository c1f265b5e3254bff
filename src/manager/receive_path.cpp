// Turns the chunks a connection delivers into whole frames and acts on each:
// log text and images go to the host's callbacks, commands change the send
// switches. Pieces of an incomplete frame are held by reference and copied
// once, when the frame is complete.
#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "manager/manager_internal.h"
#include "platform/diag.h"
#include "protocol/frame_reader.h"
#include "protocol/frame_writer.h"

namespace travik {

void DropConnectionState(TravikMgr& mgr, unsigned long long connId) {
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    mgr.m_recvFragments.erase(connId);
}

namespace {

struct Callbacks {
    TravikLogCb log;
    TravikImageCb image;
};

void DeliverLog(const Callbacks& cbs, const unsigned char* payload, int dataLen) {
    std::string text;
    if (!cbs.log || !DecodeLogPayload(payload, dataLen, text)) return;
    RunGuarded("log callback threw", [&] { cbs.log(text); });
}

void DeliverImages(const Callbacks& cbs, const FrameHeaderSt& header, const unsigned char* payload) {
    if (!cbs.image) return;
    DecodeImagePayload(header, payload, [&](const ImageRecordView& rec) {
        std::shared_ptr<unsigned char> image = AllocBytes(static_cast<size_t>(rec.header.imageLen));
        if (rec.header.imageLen > 0) std::memcpy(image.get(), rec.bytes, static_cast<size_t>(rec.header.imageLen));
        const ImageHeaderSt& h = rec.header;
        RunGuarded("image callback threw",
                   [&] { cbs.image(h.attr1, h.attr2, h.attr3, h.attr4, h.attr5, image, h.imageLen, h.tag); });
    });
}

// One whole frame at `p`; its size was checked against the bytes present.
void HandleFrame(TravikMgr& mgr, const Callbacks& cbs, const unsigned char* p) {
    FrameHeaderSt header = DecodeFrameHeader(p);
    const unsigned char* payload = p + kFrameHeaderLen;
    try {
        switch (header.msgType) {
            case MSG_LOG:
                DeliverLog(cbs, payload, header.dataLen);
                break;
            case MSG_IMAGE:
                DeliverImages(cbs, header, payload);
                break;
            case MSG_CMD: {
                CmdSt cmd;
                if (DecodeCmdPayload(payload, header.dataLen, cmd)) ApplyCommand(mgr, cmd);
                break;
            }
            default:
                break;
        }
    } catch (const std::bad_alloc&) {
        Diag("receive: out of memory, frame dropped\n");
    }
}

// Parses the working buffer `work` (`n` bytes, starting at a frame
// boundary), handling every whole frame. What is left of an incomplete frame
// goes into `pending`: the working buffer itself when no frame was handled,
// else a copy of the remainder so that the chunk can be freed.
void ParseFrames(TravikMgr& mgr, const Callbacks& cbs, std::vector<RecvFragment>& pending,
                 const std::shared_ptr<unsigned char>& work, int n, int maxFrameLen) {
    const unsigned char* p = work.get();
    while (n > 0) {
        int frameLen = 0;
        HeaderCheck check = CheckFrameHeader(p, n, frameLen, maxFrameLen);
        if (check == HeaderCheck::Bad) return;  // unknown kind or impossible size: drop the rest
        if (check == HeaderCheck::NeedMore) {
            if (p == work.get()) {
                pending.push_back(RecvFragment{work, n, frameLen, 0});
            } else {
                std::shared_ptr<unsigned char> rest = AllocBytes(static_cast<size_t>(n));
                std::memcpy(rest.get(), p, static_cast<size_t>(n));
                pending.push_back(RecvFragment{rest, n, frameLen, 0});
            }
            return;
        }
        HandleFrame(mgr, cbs, p);
        p += frameLen;
        n -= frameLen;
    }
}

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

void HoldPiece(std::vector<RecvFragment>& pending, std::shared_ptr<unsigned char>& data, int len, int pendingBytes,
               int expected) {
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

// Joins the pending pieces and the new chunk into one working buffer, reusing
// a gathered buffer when the chunk fits into it.
std::shared_ptr<unsigned char> Join(std::vector<RecvFragment>& pending, const std::shared_ptr<unsigned char>& data,
                                    int len, int total) {
    std::shared_ptr<unsigned char> joined;
    if (OwnsRoomFor(pending, len)) {
        joined = pending[0].data;
        std::memcpy(joined.get() + pending[0].len, data.get(), static_cast<size_t>(len));
    } else {
        joined = AllocBytes(static_cast<size_t>(total));
        CopyPieces(pending, data.get(), len, joined.get());
    }
    pending.clear();  // keeps the storage for the next frame
    return joined;
}

void Reassemble(TravikMgr& mgr, const Callbacks& cbs, std::vector<RecvFragment>& pending,
                std::shared_ptr<unsigned char>& data, int len, int maxFrameLen) {
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
    if (pendingBytes > 0) {
        std::shared_ptr<unsigned char> joined = Join(pending, data, len, static_cast<int>(total));
        ParseFrames(mgr, cbs, pending, joined, static_cast<int>(total), maxFrameLen);
    } else {
        ParseFrames(mgr, cbs, pending, data, len, maxFrameLen);
    }
}

}  // namespace

void ReceiveChunk(TravikMgr& mgr, unsigned long long connId, std::shared_ptr<unsigned char>& data, int len,
                  int maxFrameLen) {
    if (!data || len <= 0) return;
    std::vector<RecvFragment> pending;
    Callbacks cbs;
    unsigned long long generation;
    {
        std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
        auto it = mgr.m_recvFragments.find(connId);
        if (it != mgr.m_recvFragments.end()) pending.swap(it->second);
        cbs.log = mgr.m_logCb;
        cbs.image = mgr.m_imageCb;
        generation = mgr.m_recvGeneration;
    }
    // Callbacks run without the lock, so they may call back into the manager.
    try {
        Reassemble(mgr, cbs, pending, data, len, maxFrameLen);
    } catch (const std::bad_alloc&) {
        Diag("receive: out of memory, %d bytes dropped\n", len);
        pending.clear();
    }
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    if (generation != mgr.m_recvGeneration) return;  // released meanwhile
    mgr.m_recvFragments[connId].swap(pending);
}

}  // namespace travik

using namespace travik;

void TravikMgr::ReadCallback(unsigned long long connId, std::shared_ptr<unsigned char>& data, int len) {
    ReceiveChunk(*this, connId, data, len, kMaxFrameLen);
}
