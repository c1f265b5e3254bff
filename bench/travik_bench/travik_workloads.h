// The travik side of every workload: a device (TravikMgr::Listen in a child
// process) and viewers in this process.
#pragma once

#include <string>

#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

// `codec` names the library build ("zlib" or "libdeflate") in the keys.
void MeasureTravikImages(const FrameShape& shape, int viewers, const Timing& t, const std::string& codec,
                         Results& results);
// `perSecond` <= 0: the producer stages back to back.
void MeasureTravikLogs(int viewers, int perSecond, const Timing& t, Results& results);
void MeasureTravikLogLatency(const Timing& t, Results& results);
void MeasureTravikImageLatency(const Timing& t, const std::string& codec, Results& results);
void MeasureTravikIdle(const Timing& t, Results& results);
void MeasureTravikStall(const Timing& t, Results& results);

// Starts a child running `role` with `args` and reads the port it serves.
class ChildProcess;
bool StartSender(ChildProcess& child, const std::string& role, const WorkloadArgs& args, int& port);

}  // namespace travik_bench
