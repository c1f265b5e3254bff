// The same workloads over ZeroMQ PUB/SUB, built the way a user would build
// them with libzmq's C API: one PUB in the device process, one SUB per
// viewer, each image compressed with zlib level 6 into one message (with a
// 12-byte header: staging time and raw size). Log lines go either one
// message per line or batched the way travik batches (LineBatcher).
#pragma once

#include "travik_bench/log_rows.h"
#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

// `pinCpu`: the CPU the compressing thread is pinned to (-1: none).
void MeasureZmqImages(const FrameShape& shape, int viewers, int pinCpu, const Timing& t, Results& results);
void MeasureZmqLogs(int viewers, const LogProducer& producer, const Timing& t, Results& results);
// The setup check: a PUB (with ZMQ_XPUB_NODROP and a blocking send when
// `nodrop`), one SUB in a blocking zmq_recv loop that only counts, 100-byte
// messages, flat out.
void MeasureZmqPlainPubSub(bool nodrop, const Timing& t, Results& results);
void MeasureZmqLogLatency(bool batched, const Timing& t, Results& results);
void MeasureZmqImageLatency(const Timing& t, Results& results);
void MeasureZmqIdle(const Timing& t, Results& results);
// Both ends: the PUB's process and a SUB in a process of its own that never
// receives.
void MeasureZmqStall(const Timing& t, Results& results);

}  // namespace travik_bench
