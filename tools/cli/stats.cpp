#include "cli/stats.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace travik_tool {

bool LatencyOf(uint64_t tag, uint64_t nowMicros, int64_t& latencyMicros) {
    const uint64_t kBefore = 3600ull * 1000000ull;
    const uint64_t kAfter = 60ull * 1000000ull;
    if (tag + kBefore < nowMicros || tag > nowMicros + kAfter) return false;
    latencyMicros = static_cast<int64_t>(nowMicros) - static_cast<int64_t>(tag);
    return true;
}

int64_t Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return 0;
    double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    if (index >= values.size()) index = values.size() - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

void Reservoir::Add(int64_t value) {
    ++m_seen;
    if (m_values.size() < m_capacity) {
        m_values.push_back(value);
        return;
    }
    std::uniform_int_distribution<uint64_t> pick(0, m_seen - 1);
    uint64_t slot = pick(m_rng);
    if (slot < m_capacity) m_values[static_cast<size_t>(slot)] = value;
}

std::string FormatMicros(int64_t micros) {
    char buf[32];
    if (micros < 1000 && micros > -1000) {
        std::snprintf(buf, sizeof buf, "%lld us", static_cast<long long>(micros));
    } else {
        std::snprintf(buf, sizeof buf, "%.1f ms", static_cast<double>(micros) / 1000.0);
    }
    return buf;
}

std::string FormatMB(double bytes) {
    char buf[32];
    double mb = bytes / 1e6;
    std::snprintf(buf, sizeof buf, mb < 10 ? "%.2f" : "%.1f", mb);
    return buf;
}

}  // namespace travik_tool
