// The same workloads over ZeroMQ PUB/SUB, built the way a user would build
// them with libzmq's C API: one PUB in the device process, one SUB per
// viewer, each image compressed with zlib level 6 into one message (with a
// 12-byte header: staging time and raw size), each log line one message.
#pragma once

#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

void MeasureZmqImages(const FrameShape& shape, int viewers, const Timing& t, Results& results);
void MeasureZmqLogs(int viewers, int perSecond, const Timing& t, Results& results);
void MeasureZmqLogLatency(const Timing& t, Results& results);
void MeasureZmqImageLatency(const Timing& t, Results& results);
void MeasureZmqIdle(const Timing& t, Results& results);
void MeasureZmqStall(const Timing& t, Results& results);

}  // namespace travik_bench
