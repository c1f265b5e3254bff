// What an H.264 access unit in Annex B form (NAL units behind 00 00 01 or
// 00 00 00 01 start codes) holds, judged from its NAL headers alone: the
// checks of the NATS video message and what `travik info` and `export`
// say of a recorded video topic.
// Contract: a pure function, any thread; one bounded pass over the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travik_tool {

struct AnnexBSummary {
    bool valid = false;  // begins with a start code, at least one NAL unit,
                         // every NAL header's forbidden bit clear
    bool idr = false;    // an IDR slice (type 5)
    bool sps = false;    // a sequence parameter set (7)
    bool pps = false;    // a picture parameter set (8)
    size_t nalUnits = 0;
    // What a watcher may start decoding from.
    bool Keyframe() const { return valid && idr && sps && pps; }
};

AnnexBSummary SummarizeAnnexB(const uint8_t* data, size_t len);

}  // namespace travik_tool
