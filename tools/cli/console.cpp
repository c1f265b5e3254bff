#include "cli/console.h"

#include <unistd.h>

#include <cstdarg>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace travik_tool {

FILE* TakeStdout() {
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved < 0) return stdout;  // keep going with mixed output rather than none
    FILE* out = fdopen(saved, "w");
    if (!out) {
        close(saved);
        return stdout;
    }
    dup2(STDERR_FILENO, STDOUT_FILENO);
#ifdef _WIN32
    // Log texts leave byte for byte, as on Linux (no CR added before LF).
    _setmode(_fileno(out), _O_BINARY);
#endif
    return out;
}

void Status(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace travik_tool
