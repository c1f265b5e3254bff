// Synthetic camera frames for `travik device`: a moving gradient, a square
// that bounces across the picture and the channel and frame number drawn in
// large digits, so that a viewer sees motion, and gaps in the numbers show
// exactly which frames were not delivered.
// Contract: any thread; writes only the caller's `out` during the call; CPU
// work, never blocks.
#pragma once

#include <cstdint>

namespace travik_tool {

// Fills `out` (width * height bytes for gray, * 3 for RGB, attr2 1 or 3)
// with frame `frame` of channel `channel`. `noise` > 0 adds that much
// pseudo-random sensor noise per pixel, which makes the picture compress
// like a real camera's rather than like a clean drawing.
void DrawTestPattern(unsigned char* out, int width, int height, int attr2, int channel, uint64_t frame, int noise);

}  // namespace travik_tool
