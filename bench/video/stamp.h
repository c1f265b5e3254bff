// A time stamp drawn into an image as large black and white blocks, which
// survive H.264 at any sensible bitrate, so that a watcher can tell when
// the picture it decoded was staged. 40 bits of the value (microseconds
// wrap after about 12 days) in two rows of 20 blocks, then the same bits
// inverted in two more rows: a picture whose halves disagree is unreadable.
// The stamp takes the top-left kStampWidth x kStampHeight pixels.
// Thread: pure functions.
#pragma once

#include <cstdint>

namespace travik_bench {

constexpr int kStampBlock = 32;  // pixels per side of one bit's block
constexpr int kStampColumns = 20;
constexpr int kStampWidth = kStampBlock * kStampColumns;
constexpr int kStampHeight = kStampBlock * 4;

// Draws the low 40 bits of `micros` into packed RGB of `width` x `height`
// (at least kStampWidth x kStampHeight).
void StampRgb(unsigned char* rgb, int width, int height, uint64_t micros);
// Reads the stamp back from decoded luma rows of `width` x `height`; false
// when it is not there or does not agree with its inverted copy.
bool ReadStamp(const uint8_t* luma, int width, int height, uint64_t& micros);
// Microseconds from the 40-bit `stamp` to `nowMicros` (across a wrap).
int64_t StampAge(uint64_t stamp, uint64_t nowMicros);

}  // namespace travik_bench
