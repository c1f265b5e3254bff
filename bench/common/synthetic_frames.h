// Synthetic camera frames for the benchmarks: a smooth gradient with a
// gentle wave and sensor-like noise, so that deflate at level 6 shrinks them
// by about 1.5-1.8x, as it does real camera frames. A frame of constant
// bytes would compress 100x and flatter every compressor; pure noise would
// not compress at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "travik/travik.h"

namespace travik_bench {

struct FrameShape {
    int width = 0;
    int height = 0;
    int channels = 1;          // 1 gray, 3 RGB (interleaved)
    std::string Name() const;  // "640x480 gray"
    size_t Bytes() const { return static_cast<size_t>(width) * static_cast<size_t>(height) * channels; }
};

// The three frame kinds every benchmark uses.
std::vector<FrameShape> StandardShapes();

// One frame; different seeds give frames with different noise (and a
// shifted wave), so that rotating through a few of them keeps a compressor
// from seeing the same bytes twice in a row.
std::vector<unsigned char> MakeCameraFrame(const FrameShape& shape, uint32_t seed);

// The same as a shared buffer, as SendImageDataPtr takes it.
std::shared_ptr<unsigned char> MakeSharedCameraFrame(const FrameShape& shape, uint32_t seed);

// Image channel keys: (attr1, attr5) pairs that select channels 0..3.
struct ChannelKey {
    int attr1;
    int attr5;
};
ChannelKey ChannelKeyOf(int channel);

// Staging slots with camera frames on channels 0..channels-1 (all four slots
// present, the others empty), as the send thread takes them; `seed` picks the
// frames and is the tag.
std::vector<SendImageSt> CameraSlots(const FrameShape& shape, int channels, uint32_t seed);

// The record sequence a device compresses for one pass with all four
// channels fresh: per channel a 32-byte little-endian record header
// {attr1, tag @4, attr2, attr3, attr4, attr5, imageLen @28} and the bytes.
// `frames` holds one image per channel.
std::vector<unsigned char> BuildRecordSequence(const std::vector<const std::vector<unsigned char>*>& frames,
                                               const FrameShape& shape, uint64_t tag);

// Size of one image's record (header + bytes).
inline size_t RecordBytes(const FrameShape& shape) { return 32 + shape.Bytes(); }

}  // namespace travik_bench
