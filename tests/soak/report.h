// The soak's curves as a CSV file, a markdown table and an SVG plot.
// Contract: any thread, no shared state; the writers return false when the
// file could not be written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "proc_stats.h"

namespace travik_soak {

struct SampleRow {
    double seconds = 0;            // since the soak began
    std::string phase;             // warm-up, churn, settle
    std::vector<ProcStats> procs;  // one per watched process, in the order of the names
    uint64_t steadyImages = 0;     // received by the steady viewers so far
    uint64_t churnRounds = 0;      // churn actions done so far
};

bool WriteCsv(const std::string& path, const std::vector<std::string>& names, const std::vector<SampleRow>& rows);
// At most `maxRows` rows: evenly spread, the first and last always in.
std::string MarkdownTable(const std::vector<std::string>& names, const std::vector<SampleRow>& rows, size_t maxRows);
// Three panels (RSS, descriptors, threads), one polyline per process.
bool WriteSvg(const std::string& path, const std::vector<std::string>& names, const std::vector<SampleRow>& rows);

}  // namespace travik_soak
