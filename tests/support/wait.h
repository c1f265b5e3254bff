// Waiting on state in tests, with deadlines that stretch under slow builds.
// Needs nothing of the library, so tests that link only the tool's
// libraries use it too.
// Contract: any thread; WaitUntil blocks the caller for at most the scaled
// timeout, calling `cond` on that thread; nothing is kept after it returns.
#pragma once

#include <chrono>
#include <functional>

namespace travik_test {

// The multiplier on every deadline in the tests: TRAVIK_TEST_TIME_SCALE
// (at least 1, default 1). The sanitizer test presets raise it, since their
// builds run several times slower. Deadlines only: a scaled deadline makes a
// slow run wait longer, it never makes a check looser.
double TimeScale();
std::chrono::milliseconds Scaled(std::chrono::milliseconds deadline);

// Polls `cond` every few milliseconds until it holds or `timeout` (scaled)
// passes.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace travik_test
