#include "protocol/wire.h"

#include <limits>

namespace travik {

namespace {

uint32_t GetU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Two's-complement reinterpretation without relying on implementation-defined
// narrowing.
int32_t ToI32(uint32_t u) {
    if (u <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return static_cast<int32_t>(u);
    return -static_cast<int32_t>(~u) - 1;
}

}  // namespace

void PutI32(unsigned char* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u);
    p[1] = static_cast<unsigned char>(u >> 8);
    p[2] = static_cast<unsigned char>(u >> 16);
    p[3] = static_cast<unsigned char>(u >> 24);
}

int32_t GetI32(const unsigned char* p) { return ToI32(GetU32(p)); }

void PutU64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t GetU64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void EncodeFrameHeader(const FrameHeaderSt& h, unsigned char* out) {
    PutI32(out + 0, h.msgType);
    PutI32(out + 4, h.compressed);
    PutI32(out + 8, h.dataLen);
    PutI32(out + 12, h.rawLen);
}

FrameHeaderSt DecodeFrameHeader(const unsigned char* in) {
    FrameHeaderSt h;
    h.msgType = GetI32(in + 0);
    h.compressed = GetI32(in + 4);
    h.dataLen = GetI32(in + 8);
    h.rawLen = GetI32(in + 12);
    return h;
}

void EncodeImageHeader(const ImageHeaderSt& h, unsigned char* out) {
    PutI32(out + 0, h.attr1);
    PutU64(out + 4, h.tag);
    PutI32(out + 12, h.attr2);
    PutI32(out + 16, h.attr3);
    PutI32(out + 20, h.attr4);
    PutI32(out + 24, h.attr5);
    PutI32(out + 28, h.imageLen);
}

ImageHeaderSt DecodeImageHeader(const unsigned char* in) {
    ImageHeaderSt h;
    h.attr1 = GetI32(in + 0);
    h.tag = GetU64(in + 4);
    h.attr2 = GetI32(in + 12);
    h.attr3 = GetI32(in + 16);
    h.attr4 = GetI32(in + 20);
    h.attr5 = GetI32(in + 24);
    h.imageLen = GetI32(in + 28);
    return h;
}

void EncodeCmd(const CmdSt& c, unsigned char* out) {
    PutI32(out + 0, c.cmdType);
    PutI32(out + 4, c.logSwitch);
    PutI32(out + 8, c.imageSwitch);
    for (int i = 0; i < kImageChannels; ++i) PutI32(out + 12 + 4 * i, c.imageSwitches[i]);
    PutI32(out + 28, c.sendInterval);
}

CmdSt DecodeCmd(const unsigned char* in) {
    CmdSt c;
    c.cmdType = GetI32(in + 0);
    c.logSwitch = GetI32(in + 4);
    c.imageSwitch = GetI32(in + 8);
    for (int i = 0; i < kImageChannels; ++i) c.imageSwitches[i] = GetI32(in + 12 + 4 * i);
    c.sendInterval = GetI32(in + 28);
    return c;
}

}  // namespace travik
