// Bytes on the wire: frame header, image record header and command body.
// Every integer is little-endian and every structure packed; the codecs
// below read and write bytes one at a time, so they work on any host byte
// order and any alignment.
// Contract: pure functions; any thread, no locks, never block.
#pragma once

#include <cstdint>

#include "protocol/channel_rule.h"
#include "protocol/limits.h"
#include "protocol/switch_value.h"

namespace travik {

enum MsgType : int32_t { MSG_LOG = 1, MSG_IMAGE = 2, MSG_CMD = 3 };
enum CmdType : int32_t { CMD_SET_SEND_STATE = 1 };

constexpr int kFrameHeaderLen = 16;
constexpr int kImageHeaderLen = 32;
constexpr int kCmdBodyLen = 32;
constexpr int kCmdFrameLen = kFrameHeaderLen + kCmdBodyLen;

struct FrameHeaderSt {
    int32_t msgType = 0;
    int32_t compressed = 0;
    int32_t dataLen = 0;
    int32_t rawLen = 0;
};

struct ImageHeaderSt {
    int32_t attr1 = 0;
    uint64_t tag = 0;  // at offset 4, unaligned on the wire
    int32_t attr2 = 0;
    int32_t attr3 = 0;
    int32_t attr4 = 0;
    int32_t attr5 = 0;
    int32_t imageLen = 0;
};

struct CmdSt {
    int32_t cmdType = CMD_SET_SEND_STATE;
    int32_t logSwitch = SWITCH_KEEP;
    int32_t imageSwitch = SWITCH_KEEP;
    int32_t imageSwitches[kImageChannels] = {};
    int32_t sendInterval = 0;
};

void PutI32(unsigned char* p, int32_t v);
int32_t GetI32(const unsigned char* p);
void PutU64(unsigned char* p, uint64_t v);
uint64_t GetU64(const unsigned char* p);

// Each Encode writes exactly the struct's wire size at `out`; each Decode
// reads exactly that many bytes at `in`.
void EncodeFrameHeader(const FrameHeaderSt& h, unsigned char* out);
FrameHeaderSt DecodeFrameHeader(const unsigned char* in);
void EncodeImageHeader(const ImageHeaderSt& h, unsigned char* out);
ImageHeaderSt DecodeImageHeader(const unsigned char* in);
void EncodeCmd(const CmdSt& c, unsigned char* out);
CmdSt DecodeCmd(const unsigned char* in);

}  // namespace travik
