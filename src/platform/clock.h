// Wall-clock time in whole microseconds since 1970-01-01 00:00 UTC. Not a
// steady clock: the interval gate and the statistics follow clock changes.
#pragma once

#include <cstdint>

namespace travik {

int64_t NowMicros();

// Monotonic microseconds for deadlines, which must not jump with the wall
// clock.
int64_t SteadyMicros();

}  // namespace travik
