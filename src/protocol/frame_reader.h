// The reader's checks and decoders for whole frames. They never read outside
// the bytes they are given and never allocate a size the wire announced
// without checking it against the limits in wire.h.
// Contract: pure functions; any thread, no locks, never block.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "protocol/wire.h"

namespace travik {

enum class HeaderCheck {
    NeedMore,  // fewer than 17 bytes, or fewer than the whole frame
    Bad,       // unknown msgType, or a frame size below 16 or above the limit
    Ok,        // a whole frame of `frameLen` bytes is present
};

// Looks at the frame at `p` (`n` bytes available). Sets `frameLen` to the
// frame's size once the header could be examined (n > 16), else to 0.
// Frames larger than `maxFrameLen` are Bad.
HeaderCheck CheckFrameHeader(const unsigned char* p, int n, int& frameLen, int maxFrameLen = kMaxFrameLen);

// Log payload: the text before the first NUL. False when there is no NUL.
bool DecodeLogPayload(const unsigned char* payload, int dataLen, std::string& text);

// Command payload: false when shorter than the 32-byte body.
bool DecodeCmdPayload(const unsigned char* payload, int dataLen, CmdSt& cmd);

// One record of an image frame; `bytes` points into the record sequence.
struct ImageRecordView {
    ImageHeaderSt header;
    const unsigned char* bytes = nullptr;
};

// Decodes an image frame's payload (raw or compressed) and calls `onRecord`
// for each record in order. The whole record sequence is validated before
// the first call, so a malformed frame delivers nothing. Returns false when
// the frame is malformed or does not inflate (compressed not 0/1, rawLen
// negative, above kMaxRawLen or above dataLen * kMaxInflateRatio plus a 64-byte allowance for tiny streams, a stream
// that restores fewer or more than rawLen bytes, a record that runs past the
// sequence or has a negative imageLen, trailing bytes too short for a record
// header). An empty sequence (raw dataLen 0, or a stream restoring rawLen 0)
// is well formed: nothing is delivered and the result is true.
bool DecodeImagePayload(const FrameHeaderSt& header, const unsigned char* payload,
                        const std::function<void(const ImageRecordView&)>& onRecord);

}  // namespace travik
