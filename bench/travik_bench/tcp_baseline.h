// The floor for the log rows: a plain TCP connection, one write() per
// 100-byte line on a TCP_NODELAY socket, the reader splitting lines itself.
#pragma once

#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

// One write() per line; the writer blocks when the reader lags, so this row
// is lossless by construction.
void MeasureTcpLogs(const Timing& t, Results& results);
void MeasureTcpLogLatency(const Timing& t, Results& results);

}  // namespace travik_bench
