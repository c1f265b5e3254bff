#include "verdict.h"

#include <algorithm>

namespace travik_soak {

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

GrowthVerdict JudgeGrowth(const std::vector<double>& rssBytes) {
    GrowthVerdict v;
    if (rssBytes.size() < kMinGrowthSamples) return v;
    const size_t third = rssBytes.size() / 3;
    v.judged = true;
    v.earlyBytes = Median(std::vector<double>(rssBytes.begin(), rssBytes.begin() + static_cast<long>(third)));
    v.lateBytes = Median(std::vector<double>(rssBytes.end() - static_cast<long>(third), rssBytes.end()));
    v.allowedBytes = std::max(kGrowthFloorBytes, v.earlyBytes / 4);
    v.grew = v.lateBytes - v.earlyBytes > v.allowedBytes;
    return v;
}

bool BackToBaseline(const ProcStats& baseline, const ProcStats& now) {
    return now.Valid() && now.fds <= baseline.fds && now.threads <= baseline.threads;
}

std::string AboveBaseline(const ProcStats& baseline, const ProcStats& now) {
    if (!now.Valid()) return "the process has gone";
    std::string out;
    if (now.fds > baseline.fds) out += "fds " + std::to_string(now.fds) + " > " + std::to_string(baseline.fds);
    if (now.threads > baseline.threads) {
        if (!out.empty()) out += ", ";
        out += "threads " + std::to_string(now.threads) + " > " + std::to_string(baseline.threads);
    }
    return out;
}

}  // namespace travik_soak
