#include "nats/client/video_message.h"

#include <cstring>

#include "nats/client/protocol.h"

namespace travik_nats {

namespace {

constexpr unsigned char kMagic0 = 'T';
constexpr unsigned char kMagic1 = 'H';
constexpr unsigned char kVersion = 1;
constexpr unsigned char kFlagKeyframe = 1;

constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

void PutU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutU64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint32_t GetU32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint64_t GetU64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

struct NalSummary {
    bool valid = false;
    bool idr = false;
    bool sps = false;
    bool pps = false;
};

// One pass over the start codes (00 00 01, with or without a leading zero
// byte) and the header byte after each.
NalSummary ScanAnnexB(const unsigned char* p, size_t len) {
    NalSummary s;
    if (len < 4 || p[0] != 0 || p[1] != 0 || !(p[2] == 1 || (p[2] == 0 && p[3] == 1))) return s;
    size_t nals = 0;
    for (size_t i = 0; i + 2 < len; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        const size_t head = i + 3;
        if (head >= len) return s;  // a start code with no unit after it
        if (p[head] & 0x80) return s;  // forbidden_zero_bit
        const int type = p[head] & 0x1F;
        s.idr = s.idr || type == kNalIdr;
        s.sps = s.sps || type == kNalSps;
        s.pps = s.pps || type == kNalPps;
        ++nals;
        i = head;
    }
    s.valid = nals > 0;
    return s;
}

bool SideValid(int side) { return side >= 1 && side <= kMaxVideoSide; }

}  // namespace

std::string VideoSubject(const std::string& name, int channel) {
    return Subject(name, "video." + std::to_string(channel));
}

bool EncodeVideoMessage(const VideoHeader& header, const void* unit, size_t len, std::vector<unsigned char>& message) {
    if (unit == nullptr || len == 0 || len > kMaxVideoUnitLen) return false;
    message.resize(kVideoPrefixLen + len);
    unsigned char* p = message.data();
    std::memset(p, 0, kVideoPrefixLen);
    p[0] = kMagic0;
    p[1] = kMagic1;
    p[2] = kVersion;
    p[3] = static_cast<unsigned char>(header.codec);
    p[4] = header.keyframe ? kFlagKeyframe : 0;
    p[5] = static_cast<unsigned char>(header.channel);
    PutU32(p + 8, static_cast<uint32_t>(header.width));
    PutU32(p + 12, static_cast<uint32_t>(header.height));
    PutU64(p + 16, header.sequence);
    PutU64(p + 24, header.stagedMicros);
    PutU32(p + 32, static_cast<uint32_t>(len));
    std::memcpy(p + kVideoPrefixLen, unit, len);
    // The writer applies the reader's judgement: what a reader refuses is
    // never published.
    VideoHeader check;
    size_t offset = 0;
    if (!ReadVideoMessage(message.data(), message.size(), check, offset)) {
        message.clear();
        return false;
    }
    return true;
}

bool ReadVideoMessage(const unsigned char* message, size_t len, VideoHeader& header, size_t& unitOffset) {
    if (message == nullptr || len < kVideoPrefixLen) return false;
    const unsigned char* p = message;
    if (p[0] != kMagic0 || p[1] != kMagic1 || p[2] != kVersion) return false;
    if (p[3] != static_cast<unsigned char>(VideoCodec::H264)) return false;
    if ((p[4] & ~kFlagKeyframe) != 0 || p[6] != 0 || p[7] != 0) return false;
    if (p[5] >= kChannels) return false;
    const uint32_t width = GetU32(p + 8);
    const uint32_t height = GetU32(p + 12);
    const uint32_t unitLen = GetU32(p + 32);
    if (width > static_cast<uint32_t>(kMaxVideoSide) || height > static_cast<uint32_t>(kMaxVideoSide)) return false;
    if (!SideValid(static_cast<int>(width)) || !SideValid(static_cast<int>(height))) return false;
    if (unitLen == 0 || unitLen > kMaxVideoUnitLen || unitLen != len - kVideoPrefixLen) return false;
    const NalSummary nals = ScanAnnexB(p + kVideoPrefixLen, unitLen);
    if (!nals.valid) return false;
    const bool keyframe = (p[4] & kFlagKeyframe) != 0;
    // A keyframe a joining watcher can start from; a delta frame never
    // claims to be one.
    if (keyframe != (nals.idr && nals.sps && nals.pps)) return false;
    if (!keyframe && nals.idr) return false;
    header.codec = VideoCodec::H264;
    header.keyframe = keyframe;
    header.channel = p[5];
    header.width = static_cast<int>(width);
    header.height = static_cast<int>(height);
    header.sequence = GetU64(p + 16);
    header.stagedMicros = GetU64(p + 24);
    header.unitLen = unitLen;
    unitOffset = kVideoPrefixLen;
    return true;
}

}  // namespace travik_nats
