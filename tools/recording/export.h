// `travik export` writes a recording's images as `travik view --out` does
// (chC_NNNNNN.pgm|ppm|bin and index.csv, with the view's own writer) and its
// log texts to DIR/log.txt as `travik view` prints them; `travik info`
// describes a recording.
// Contract: main thread; both block on the disk until done (export also
// returns early when `stop` is requested).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/stop_signal.h"

namespace travik_tool {

struct ExportOptions {
    std::string file;
    std::string dir;
    std::vector<int> channels{0, 1, 2, 3};
};

// Exit code: 0 written (also for a file cut short by a crash, up to its
// last whole chunk, and for one with unreadable chunks, all but those, each
// with a warning), 1 unreadable or corrupt input or a failed write.
int RunExport(const ExportOptions& options, StopSignal& stop);

// Prints duration, channels, message counts, sizes and whether the file
// was closed properly to `out`. Exit code 0, or 1 for a corrupt file or one
// with unreadable chunks (counted under "damaged").
int RunInfo(const std::string& file, FILE* out);

}  // namespace travik_tool
