// `travik demo`: a device and a viewer in one process, talking over
// loopback through the public API, then a summary of what travelled.
// Contract: RunDemo on the main thread; blocks until the run ends or `stop`
// is requested, and borrows `stop` and `out` for that long.
#pragma once

#include <cstdio>

#include "cli/options.h"
#include "cli/stop_signal.h"

namespace travik_tool {

// Log texts and the summary go to `out`, status lines to standard error.
int RunDemo(const DemoOptions& options, StopSignal& stop, FILE* out);

}  // namespace travik_tool
