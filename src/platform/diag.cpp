#include "platform/diag.h"

#include <cstdarg>
#include <cstdio>

namespace travik {

void Diag(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stdout, fmt, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace travik
