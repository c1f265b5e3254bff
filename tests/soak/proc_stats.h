// What the soak samples of another process: resident memory, open
// descriptors and threads, read from /proc. Linux only.
// Contract: any thread, no state; each call reads /proc afresh and does not
// block beyond the file reads.
#pragma once

#include <sys/types.h>

namespace travik_soak {

struct ProcStats {
    long long rssBytes = -1;
    int fds = -1;
    int threads = -1;
    bool Valid() const { return rssBytes >= 0 && fds >= 0 && threads >= 0; }
};

// -1 fields for a process that has gone (or cannot be read).
ProcStats SampleProcess(pid_t pid);

}  // namespace travik_soak
