// The library's diagnostic lines: one formatted print to standard output per
// event, flushed at once so that a line is never lost or reordered when
// standard output is a pipe or a file.
#pragma once

namespace travik {

void Diag(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace travik
