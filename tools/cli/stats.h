// Counting helpers shared by the subcommands: latency samples with
// percentiles, and number formatting for the status lines. Image tags are
// travik::NowMicros() capture times.
// Contract: the functions are pure and safe on
// any thread, the library's callbacks included; a Reservoir has no lock and
// is used by one thread at a time. Nothing blocks; nothing is borrowed.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace travik_tool {

// Latency in microseconds when `tag` is a capture time close to `nowMicros`
// (within an hour before, a minute after); false for tags that are not
// timestamps.
bool LatencyOf(uint64_t tag, uint64_t nowMicros, int64_t& latencyMicros);

// The p-th percentile (0..100, nearest rank) of `values`; 0 when empty.
// Takes a copy because it reorders.
int64_t Percentile(std::vector<int64_t> values, double p);

// A uniform sample of at most `capacity` values out of any number added, so
// that a long run keeps bounded memory; exact while fewer were added.
class Reservoir {
public:
    explicit Reservoir(size_t capacity = 100000) : m_capacity(capacity) {}
    void Add(int64_t value);
    const std::vector<int64_t>& Values() const { return m_values; }
    uint64_t Seen() const { return m_seen; }

private:
    size_t m_capacity;
    uint64_t m_seen = 0;
    std::vector<int64_t> m_values;
    std::mt19937_64 m_rng{12345};
};

// "12.3 ms", "850 us": a latency for people.
std::string FormatMicros(int64_t micros);
// Bytes as megabytes (10^6): "12.3", or "0.42" below 10.
std::string FormatMB(double bytes);

}  // namespace travik_tool
