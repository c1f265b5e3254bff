// The manager's side of receiving: keeps each connection's reassembly state
// under m_recvMutex, feeds chunks to the frame assembler (protocol/) and acts
// on each whole frame: log text and images go to the host's callbacks,
// commands change the send switches.
#include <cstring>
#include <new>

#include "manager/manager_internal.h"
#include "platform/diag.h"
#include "protocol/frame_assembler.h"
#include "protocol/frame_reader.h"
#include "protocol/frame_writer.h"

namespace travik {

void DropConnectionState(TravikMgr& mgr, unsigned long long connId) {
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    mgr.m_recvFragments.erase(connId);
}

namespace {

// What one chunk's frames are dispatched with: copies of the callbacks and
// the generation they were taken in.
struct Delivery {
    TravikMgr& mgr;
    TravikLogCb log;
    TravikImageCb image;
    unsigned long long generation = 0;
};

bool Released(const Delivery& d) {
    std::lock_guard<std::mutex> lock(d.mgr.m_recvMutex);
    return d.generation != d.mgr.m_recvGeneration;
}

// The text's storage is kept between frames on this loop thread (unless the
// callback takes it away), so that a stream of large log frames does not
// fault in fresh pages for every frame; more than this is not kept.
constexpr size_t kKeptLogText = 32u << 20;

void DeliverLog(const Delivery& d, const unsigned char* payload, int dataLen) {
    thread_local std::string text;
    if (d.log && DecodeLogPayload(payload, dataLen, text)) RunGuarded("log callback threw", [&] { d.log(text); });
    if (text.capacity() > kKeptLogText) {
        std::string().swap(text);
    } else {
        text.clear();
    }
}

void DeliverImages(const Delivery& d, const FrameHeaderSt& header, const unsigned char* payload) {
    if (!d.image) return;
    DecodeImagePayload(header, payload, [&](const ImageRecordView& rec) {
        std::shared_ptr<unsigned char> image = AllocBytes(static_cast<size_t>(rec.header.imageLen));
        if (rec.header.imageLen > 0) std::memcpy(image.get(), rec.bytes, static_cast<size_t>(rec.header.imageLen));
        const ImageHeaderSt& h = rec.header;
        RunGuarded("image callback threw",
                   [&] { d.image(h.attr1, h.attr2, h.attr3, h.attr4, h.attr5, image, h.imageLen, h.tag); });
    });
}

// One whole frame at `p`, checked by the assembler. Returns false once the
// manager was released (possibly by a callback of this very chunk): no
// callback starts after Release.
bool HandleFrame(const Delivery& d, const unsigned char* p) {
    if (Released(d)) return false;
    FrameHeaderSt header = DecodeFrameHeader(p);
    const unsigned char* payload = p + kFrameHeaderLen;
    try {
        switch (header.msgType) {
            case MSG_LOG:
                DeliverLog(d, payload, header.dataLen);
                break;
            case MSG_IMAGE:
                DeliverImages(d, header, payload);
                break;
            case MSG_CMD: {
                CmdSt cmd;
                if (DecodeCmdPayload(payload, header.dataLen, cmd)) ApplyCommand(d.mgr, cmd);
                break;
            }
            default:
                break;
        }
    } catch (const std::bad_alloc&) {
        Diag("receive: out of memory, frame dropped\n");
    }
    return true;
}

}  // namespace

void ReceiveChunk(TravikMgr& mgr, unsigned long long connId, std::shared_ptr<unsigned char>& data, int len,
                  int maxFrameLen) {
    if (!data || len <= 0) return;
    std::vector<RecvFragment> pending;
    Delivery d{mgr, nullptr, nullptr, 0};
    {
        std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
        auto it = mgr.m_recvFragments.find(connId);
        if (it != mgr.m_recvFragments.end()) pending.swap(it->second);
        d.log = mgr.m_logCb;
        d.image = mgr.m_imageCb;
        d.generation = mgr.m_recvGeneration;
    }
    // Frames run without the lock, so callbacks may call back into the manager.
    const Delivery* dp = &d;
    FrameAssembler assembler(maxFrameLen, [dp](const unsigned char* frame, int) { return HandleFrame(*dp, frame); });
    try {
        assembler.Push(pending, data, len);
    } catch (const std::bad_alloc&) {
        Diag("receive: out of memory, %d bytes dropped\n", len);
        pending.clear();
    }
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    if (d.generation != mgr.m_recvGeneration) return;  // released meanwhile
    mgr.m_recvFragments[connId].swap(pending);
}

}  // namespace travik

using namespace travik;

void TravikMgr::ReadCallback(unsigned long long connId, std::shared_ptr<unsigned char>& data, int len) {
    ReceiveChunk(*this, connId, data, len, kMaxFrameLen);
}
