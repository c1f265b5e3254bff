// Wall-clock time in whole microseconds since 1970-01-01 00:00 UTC. Not a
// steady clock: the interval gate and the statistics follow clock changes.
#pragma once

#include <cstdint>

namespace travik {

int64_t NowMicros();

#if defined(_WIN32)
// Windows: the 100-nanosecond FILETIME count of 1970-01-01 00:00 UTC, and the
// conversion NowMicros applies to the system time.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
int64_t WallMicrosFromFileTime(uint64_t fileTime);
#endif

// Monotonic microseconds for deadlines, which must not jump with the wall
// clock.
int64_t SteadyMicros();

}  // namespace travik
