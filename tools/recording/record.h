// `travik record`: a viewer that writes every log text and image it gets,
// with attributes, tag and arrival time, to an MCAP file
// (recording/mcap/recording.h has the layouts). Callbacks only queue; a
// writer thread fills chunks and writes them, so the library's loop thread
// never waits on the disk. With --video h264 the writer thread also encodes
// (one encoder per channel); an image the encoder refuses (not gray or RGB)
// is written as it came.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/stop_signal.h"
#include "cli/view_source.h"

namespace travik_tool {

struct RecordOptions : ViewerOptions {
    std::string file;  // -o
    double duration = 0;
    bool reconnect = false;
    std::string compression = "zstd";  // zstd | none
    int chunkMiB = 4;
    std::string layout = "foxglove";  // foxglove | travik (the layout of earlier versions)
    std::string video;                // "h264": gray and RGB images as foxglove.CompressedVideo
    bool keepRaw = false;             // with video: each image also as it came
    std::string videoBitrate;         // RATE (ParseBitrate); empty: sized by resolution
};

// Records `source` (borrowed for the call). Exit code: 0 done (file closed
// with its summary, which its own reader took back), 1 connect failed,
// connection lost, a write failed (what was written stays readable) or the
// closed file does not read back. A message over the file's limit is left
// out and counted in the summary.
int RunRecord(const RecordOptions& options, ViewSource& source, StopSignal& stop);

}  // namespace travik_tool
