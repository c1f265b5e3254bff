// The clocks, header-only so that the tool, the Python package and the
// benchmarks read time exactly as the library does.
// Contract: any thread, no state, never block.
#pragma once

#include <chrono>
#include <cstdint>

namespace travik {

// Wall-clock time in whole microseconds since 1970-01-01 00:00 UTC. Not a
// steady clock: the interval gate and the statistics follow clock changes.
#if defined(_WIN32)
// Windows: the system time counts 100-nanosecond units since 1601-01-01 UTC;
// this is its count at 1970-01-01 00:00 UTC.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
constexpr int64_t WallMicrosFromFileTime(uint64_t fileTime) {
    return static_cast<int64_t>((fileTime - kFileTimeUnixEpoch) / 10);
}
// In clock.cpp, which keeps <windows.h> out of every includer.
int64_t NowMicros();
#else
inline int64_t NowMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
#endif

// The same wall clock in nanoseconds (MCAP log times).
inline int64_t NowNanos() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

// Monotonic microseconds for deadlines, which must not jump with the wall
// clock.
inline int64_t SteadyMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace travik
