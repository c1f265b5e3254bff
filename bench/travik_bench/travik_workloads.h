// The travik side of every workload: a device (TravikMgr::Listen in a child
// process) and viewers in this process.
#pragma once

#include <string>

#include "travik_bench/log_rows.h"
#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

// `codec` names the library build ("zlib" or "libdeflate") in the keys;
// `pinCpu` is the CPU the device's send thread is pinned to (-1: none).
void MeasureTravikImages(const FrameShape& shape, int viewers, int pinCpu, const Timing& t, const std::string& codec,
                         Results& results);
void MeasureTravikLogs(int viewers, const LogProducer& producer, const Timing& t, Results& results);
void MeasureTravikLogLatency(const Timing& t, Results& results);
void MeasureTravikImageLatency(const Timing& t, const std::string& codec, Results& results);
void MeasureTravikIdle(const Timing& t, Results& results);
void MeasureTravikStall(const Timing& t, Results& results);

// Starts a child running `role` with `args` and reads the port it serves.
class ChildProcess;
bool StartSender(ChildProcess& child, const std::string& role, const WorkloadArgs& args, int& port);

}  // namespace travik_bench
