#include "travik_bench/rounds.h"

#include <algorithm>

namespace travik_bench {

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

void Rounds::Add(const Results& round) {
    for (const auto& kv : round.Values()) m_values[kv.first].push_back(kv.second);
    m_meta.Merge(round);
    ++m_rounds;
}

void Rounds::Store(Results& out) const {
    for (const auto& kv : m_values) {
        const std::vector<double>& v = kv.second;
        out.Set(kv.first, Median(v));
        const std::string& k = kv.first;
        if (k.size() > 5 && k.compare(k.size() - 5, 5, ".mbps") == 0) {
            out.Set(k + "_lo", *std::min_element(v.begin(), v.end()));
            out.Set(k + "_hi", *std::max_element(v.begin(), v.end()));
            out.Set(k + "_n", static_cast<double>(v.size()));
        }
    }
    out.Merge(m_meta);
}

}  // namespace travik_bench
