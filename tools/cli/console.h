// Where the tool's output goes. The library prints its diagnostic lines on
// standard output; the tool moves them to standard error so that standard
// output carries only what the user asked for: log texts (`view`) or the
// summary (`demo`). Status lines and errors go to standard error.
// Contract: TakeStdout on the main thread before any other; Status on any
// thread (one whole line per call, blocking on standard error's write).
#pragma once

#include <cstdio>

namespace travik_tool {

// Points file descriptor 1 at standard error and returns a stream on the
// original standard output. Call once, before any library call.
FILE* TakeStdout();

// printf-style line on standard error, flushed at once.
void Status(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace travik_tool
