// `travik replay`: a device (Listen) that stages a recording's log texts
// and images, with their attributes and tags, at the recorded pace times
// --speed, so that any viewer sees the session again. Viewers' commands
// apply as for a live device.
// Contract: RunReplay on the main thread; blocks until the end of the
// recording or `stop`, and borrows `stop` for that long.
#pragma once

#include <string>

#include "cli/stop_signal.h"

namespace travik_tool {

struct ReplayOptions {
    std::string file;
    int port = 7000;
    std::string bind = "127.0.0.1";  // a literal address (see BindCheck)
    double speed = 1;
    bool loop = false;
};

// Exit code: 0 played to the end (or Ctrl-C), 1 cannot listen or the file
// is unreadable from the start or corrupt on the way (a file cut short by a
// crash plays up to its last whole chunk, and unreadable chunks are skipped
// with a warning; both still exit 0).
int RunReplay(const ReplayOptions& options, StopSignal& stop);

}  // namespace travik_tool
