#include "nats/client/video_message.h"

#include <cstring>

#include "common/annex_b.h"
#include "nats/client/little_endian.h"
#include "nats/client/protocol.h"

namespace travik_nats {

namespace {

constexpr unsigned char kMagic0 = 'T';
constexpr unsigned char kMagic1 = 'H';
constexpr unsigned char kVersion = 1;
constexpr unsigned char kFlagKeyframe = 1;

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
    const travik_tool::AnnexBSummary nals = travik_tool::SummarizeAnnexB(p + kVideoPrefixLen, unitLen);
    if (!nals.valid) return false;
    const bool keyframe = (p[4] & kFlagKeyframe) != 0;
    // A keyframe a joining watcher can start from; a delta frame holds no
    // IDR slice.
    if (keyframe != nals.Keyframe() || (!keyframe && nals.idr)) return false;
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
