// One H.264 stream (openh264): raw gray or RGB images in, access units
// (access_unit.h) out. Real-time settings: baseline profile, one slice, no
// B-frames, rate control on a bitrate target with frame skipping (a frame
// over budget is dropped rather than delayed), SPS and PPS in front of
// every IDR, an IDR on request and at least every `keyframeMicros`.
// Gray goes in as luma with neutral chroma, RGB (R, G, B byte order)
// through libyuv to I420; odd sizes and sizes under the minimum are padded
// by replicating the last row and column (the units carry the staged size).
// A new size or format re-initialises the stream, starting with an IDR.
//
// Thread: one thread at a time (not thread-safe); Encode blocks for the
// encode (milliseconds). Never throws for bad input: it refuses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "video/access_unit.h"

namespace travik_tool {

struct H264Config {
    int bitrate = 0;       // bits per second; 0: DefaultBitrate of each size
    float frameRate = 30;  // what rate control plans for
    uint64_t keyframeMicros = 2000000;
};

// About 2 Mb/s at 1280x720 at 30 fps, in proportion to pixels per second,
// within [kMinBitrate, kMaxBitrate].
int DefaultBitrate(int width, int height, float frameRate);
constexpr int kMinBitrate = 100000;
constexpr int kMaxBitrate = 100000000;
// The largest picture the stream takes (level 5.1: 36864 macroblocks) and
// the longest side.
constexpr long long kMaxVideoPixels = 36864LL * 256;
constexpr int kMaxVideoSide = 4096;

class H264Encoder {
public:
    enum class Result {
        kEncoded,  // `out` holds one access unit
        kSkipped,  // rate control dropped the frame: nothing to send
        kRefused,  // not encodable (format, size, length); `error` says why
    };

    explicit H264Encoder(H264Config config = H264Config());
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // The next encoded frame is an IDR.
    void RequestKeyframe() { m_keyframeWanted = true; }
    // `attr2`: kFormatGray or kFormatRgb; `len` must be exactly the pixels.
    Result Encode(const uint8_t* data, size_t len, int attr2, int width, int height, uint64_t stagedMicros,
                  uint64_t sequence, AccessUnit& out, std::string& error);
    // Frames encoded into access units since construction.
    uint64_t Encoded() const { return m_encoded; }

private:
    struct Codec;
    bool Open(int attr2, int width, int height, std::string& error);
    void Stage(const uint8_t* data, int attr2, int width, int height);

    const H264Config m_config;
    std::unique_ptr<Codec> m_codec;
    int m_attr2 = 0, m_width = 0, m_height = 0;  // what m_codec was opened for
    int m_padWidth = 0, m_padHeight = 0;
    std::vector<uint8_t> m_i420;
    bool m_keyframeWanted = true;
    uint64_t m_lastKeyMicros = 0;
    uint64_t m_encoded = 0;
};

}  // namespace travik_tool
