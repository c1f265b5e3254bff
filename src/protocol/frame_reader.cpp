#include "protocol/frame_reader.h"

#include <cstring>
#include <new>

#include "protocol/codec.h"

namespace travik {

HeaderCheck CheckFrameHeader(const unsigned char* p, int n, int& frameLen, int maxFrameLen) {
    frameLen = 0;
    if (n <= kFrameHeaderLen) return HeaderCheck::NeedMore;
    const FrameHeaderSt h = DecodeFrameHeader(p);
    if (h.msgType < MSG_LOG || h.msgType > MSG_CMD) return HeaderCheck::Bad;
    const int64_t total = static_cast<int64_t>(h.dataLen) + kFrameHeaderLen;
    if (h.dataLen < 0 || total > maxFrameLen) return HeaderCheck::Bad;
    frameLen = static_cast<int>(total);
    return n < frameLen ? HeaderCheck::NeedMore : HeaderCheck::Ok;
}

bool DecodeLogPayload(const unsigned char* payload, int dataLen, std::string& text) {
    if (dataLen <= 0) return false;
    const void* nul = std::memchr(payload, 0, static_cast<size_t>(dataLen));
    if (!nul) return false;
    text.assign(reinterpret_cast<const char*>(payload),
                static_cast<size_t>(static_cast<const unsigned char*>(nul) - payload));
    return true;
}

bool DecodeCmdPayload(const unsigned char* payload, int dataLen, CmdSt& cmd) {
    if (dataLen < kCmdBodyLen) return false;
    cmd = DecodeCmd(payload);
    return true;
}

namespace {

// True when `seq` is exactly a run of whole records.
bool RecordsWellFormed(const unsigned char* seq, int64_t len) {
    int64_t off = 0;
    while (off < len) {
        if (len - off < kImageHeaderLen) return false;
        const int32_t imageLen = GetI32(seq + off + 28);
        if (imageLen < 0 || imageLen > len - off - kImageHeaderLen) return false;
        off += kImageHeaderLen + static_cast<int64_t>(imageLen);
    }
    return true;
}

bool DeliverRecords(const unsigned char* seq, int64_t len,
                    const std::function<void(const ImageRecordView&)>& onRecord) {
    if (!RecordsWellFormed(seq, len)) return false;
    int64_t off = 0;
    while (off < len) {
        ImageRecordView view;
        view.header = DecodeImageHeader(seq + off);
        view.bytes = seq + off + kImageHeaderLen;
        if (onRecord) onRecord(view);
        off += kImageHeaderLen + static_cast<int64_t>(view.header.imageLen);
    }
    return true;
}

}  // namespace

bool DecodeImagePayload(const FrameHeaderSt& header, const unsigned char* payload,
                        const std::function<void(const ImageRecordView&)>& onRecord) {
    if (header.dataLen < 0) return false;
    if (header.compressed == 0) return DeliverRecords(payload, header.dataLen, onRecord);
    if (header.compressed != 1) return false;

    const int32_t rawLen = header.rawLen;
    if (rawLen < 0 || rawLen > kMaxRawLen) return false;
    if (static_cast<int64_t>(rawLen) > static_cast<int64_t>(header.dataLen) * kMaxInflateRatio + 64) return false;

    // One spare byte keeps the destination a real buffer when rawLen is 0.
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[static_cast<size_t>(rawLen) + 1]);
    if (!raw) return false;
    static const unsigned char kNoInput = 0;
    const unsigned char* src = header.dataLen > 0 ? payload : &kNoInput;
    if (!InflateExact(raw.get(), static_cast<uint32_t>(rawLen), src, static_cast<uint32_t>(header.dataLen))) {
        return false;
    }
    return DeliverRecords(raw.get(), rawLen, onRecord);
}

}  // namespace travik
