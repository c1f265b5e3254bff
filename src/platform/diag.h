// The library's diagnostic lines: one formatted print to standard output per
// event, flushed at once so that a line is never lost or reordered when
// standard output is a pipe or a file.
#pragma once

#include <exception>

namespace travik {

#if defined(__MINGW32__)
// mingw-w64's C++ library selects its C99 printf (%zu, %lld), not msvcrt's.
#define TRAVIK_PRINTF_FORMAT gnu_printf
#else
#define TRAVIK_PRINTF_FORMAT printf
#endif

void Diag(const char* fmt, ...) __attribute__((format(TRAVIK_PRINTF_FORMAT, 1, 2)));

// Runs `fn` and reports an exception it throws as one line starting with
// `what`, instead of letting it escape: used where a throw would end an
// event-loop thread (libevent callbacks, host callbacks).
template <class Fn>
void RunGuarded(const char* what, Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        Diag("%s: %s\n", what, e.what());
    } catch (...) {
        Diag("%s\n", what);
    }
}

}  // namespace travik
