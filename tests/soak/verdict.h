// How the soak judges its curves. Pure functions of the samples, so that
// the rules themselves are tested (verdict_test.cpp) apart from a run.
// Contract: any thread, no shared state.
#pragma once

#include <string>
#include <vector>

#include "proc_stats.h"

namespace travik_soak {

// Median of `values` (the mean of the middle two for an even count); 0 when
// empty.
double Median(std::vector<double> values);

// Memory growth after the warm-up: the median of the last third of the
// samples against the median of the first third. Medians of thirds ignore
// the allocator's single spikes, and the tolerance (a quarter, at least
// kGrowthFloorBytes) its slow settling into arenas; a leak that matters in
// an hour's run exceeds both.
struct GrowthVerdict {
    bool judged = false;  // too few samples: not judged
    bool grew = false;
    double earlyBytes = 0;
    double lateBytes = 0;
    double allowedBytes = 0;  // the growth tolerated
};
constexpr double kGrowthFloorBytes = 16.0 * 1024 * 1024;
constexpr size_t kMinGrowthSamples = 9;
GrowthVerdict JudgeGrowth(const std::vector<double>& rssBytes);

// Descriptors and threads are back where they started: no more than the
// baseline of each.
bool BackToBaseline(const ProcStats& baseline, const ProcStats& now);

// "fds 12 > 10, threads 9 > 8" for what is above the baseline; "" when
// nothing is.
std::string AboveBaseline(const ProcStats& baseline, const ProcStats& now);

}  // namespace travik_soak
