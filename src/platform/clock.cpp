#include "platform/clock.h"

#include <chrono>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace travik {

#if defined(_WIN32)
int64_t WallMicrosFromFileTime(uint64_t fileTime) { return static_cast<int64_t>((fileTime - kFileTimeUnixEpoch) / 10); }
#endif

int64_t NowMicros() {
#if defined(_WIN32)
    // System time in 100-nanosecond units since 1601-01-01 UTC.
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return WallMicrosFromFileTime((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
#else
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
#endif
}

int64_t SteadyMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace travik
