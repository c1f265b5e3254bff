// One log-throughput row, measured the same way for every transport: every
// receiver is seen connected (a probe message), the producer runs, a window
// is measured after a warm-up, the producer is halted and the receivers
// drain, and then what the sender accepted is set against what each
// receiver counted (with the shared line splitter), which gives the lines
// lost on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

class ChildProcess;

// How a row's producer hands lines over.
struct LogProducer {
    bool batched = false;   // one call per pass of a batching thread, else one call per line
    bool lossless = false;  // waits until taken, else a refused line is counted and dropped
    int perSecond = 0;      // > 0: paced, else flat out
};

// "log.zmq.batch.lossless.v8", "log.travik.line.paced.v8".
std::string LogKey(const std::string& system, int viewers, const LogProducer& producer);

struct ReceiverCount {
    uint64_t lines = 0;
    uint64_t messages = 0;  // frames or messages; 0 for a byte stream
};

struct LogRow {
    bool ok = false;
    double minRate = 0;          // the slowest receiver's lines/s in the window
    double acceptedRate = 0;     // lines/s the sender accepted in the window
    double linesPerMessage = 0;  // over all receivers in the window; 0 for a byte stream
    long long accepted = 0;      // lines accepted from "go" to "halt"
    long long refused = 0;       // lines refused (and not retried) from "go" to "halt"
    long long worstLost = 0;     // accepted minus delivered, at the receiver that lost most
};

// `counts` reads every receiver's totals. `probe`: wait for the probe
// message at every receiver before starting (a byte stream has none).
LogRow RunLogRow(ChildProcess& sender, const Timing& t, const std::function<std::vector<ReceiverCount>()>& counts,
                 bool probe);

// Stores the row under `key` (".lps", ".accepted_lps", ".lines_per_msg",
// ".accepted", ".refused", ".lost"); `dropped` viewers closed as slow when >= 0.
void StoreLogRow(const std::string& key, const LogRow& row, int dropped, Results& results);

}  // namespace travik_bench
