// One encoded H.264 picture as it leaves the tool for remote watchers (the
// page, the Foxglove endpoint, the NATS fleet, recordings): an access unit
// in Annex B form (start codes), one frame, SPS and PPS in front of every
// keyframe, no B-frames. Made by an encoder in this folder, or carried
// through unchanged from a bridge that encoded it.
// Thread: a value; an AccessUnit held by shared_ptr<const> is shared by
// every watcher and never changed after it is made.
#pragma once

#include <cstdint>
#include <string>

namespace travik_tool {

struct AccessUnit {
    std::string annexB;       // the NAL units with 00 00 00 01 start codes
    bool keyframe = false;    // an IDR picture, SPS and PPS included
    int width = 0;            // the image's size as staged (the stream
    int height = 0;           //   itself may be padded to even sizes)
    uint64_t sequence = 0;    // the source image's sequence on its channel
    uint64_t stagedMicros = 0;  // wall clock when the source image arrived
};

}  // namespace travik_tool
