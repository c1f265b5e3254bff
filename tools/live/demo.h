// `travik demo`: a device and a viewer in one process, talking over
// loopback through the public API, then a summary of what travelled.
#pragma once

#include <cstdio>

#include "options.h"
#include "stop_signal.h"

namespace travik_tool {

// Log texts and the summary go to `out`, status lines to standard error.
int RunDemo(const DemoOptions& options, StopSignal& stop, FILE* out);

}  // namespace travik_tool
