// The sizes a reader of the direct link accepts: the one statement of them
// for the library and for the tool's other transports (NATS), so that no
// path accepts what the direct link would refuse.
// Contract: constexpr, any thread, no state.
#pragma once

#include <cstdint>

namespace travik {

// Largest frame a reader accepts (header included), and the largest raw
// record sequence it inflates: room for four uncompressed 3840x2160 RGB
// images with their record headers and deflate's worst-case expansion. No
// single image is larger than kMaxRawLen.
constexpr int kMaxFrameLen = 100'000'000;
constexpr int kMaxRawLen = 100'000'000;
// deflate cannot expand data by more than this factor; a larger rawLen for
// its dataLen is a lie.
constexpr int64_t kMaxInflateRatio = 1032;

}  // namespace travik
