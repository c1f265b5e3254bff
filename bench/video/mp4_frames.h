// Camera footage for the video benchmark: the first H.264 track of an MP4
// file (gzip-compressed or not), its samples turned into Annex B access
// units (parameter sets from avcC in front of the first), then decoded by
// openh264's decoder into RGB pictures. Only what the footage of Debian's
// opencv-doc uses: stsd/avc1/avcC, stsz, stsc, stco or co64.
// Thread: plain functions, any thread; the file is read whole (bounded).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace travik_bench {

struct RgbFrames {
    int width = 0, height = 0;
    std::vector<std::vector<uint8_t>> frames;  // R, G, B bytes, rows top to bottom
};

// Decodes up to `maxFrames` pictures of `path`. False with `error` when the
// file is not such an MP4 or nothing decodes.
bool ReadMp4Frames(const std::string& path, size_t maxFrames, RgbFrames& out, std::string& error);

}  // namespace travik_bench
