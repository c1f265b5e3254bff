// Repeated measurements of the same rows, reduced to median and range: the
// machine's speed drifts by several percent over minutes, so one figure
// taken once is not worth comparing with another taken a minute later.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "travik_bench/results.h"

namespace travik_bench {

class Rounds {
public:
    // Every value (and meta value) of one round.
    void Add(const Results& round);
    // For every key seen: the median under the key itself, and for keys
    // ending in ".mbps" also the lowest and highest value ("_lo", "_hi")
    // and the number of rounds ("_n").
    void Store(Results& out) const;
    size_t Size() const { return m_rounds; }

private:
    std::map<std::string, std::vector<double>> m_values;
    Results m_meta;
    size_t m_rounds = 0;
};

double Median(std::vector<double> v);

}  // namespace travik_bench
