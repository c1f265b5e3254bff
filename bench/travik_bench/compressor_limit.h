// The compressor's own limit: the same four-channel record sequences a
// device compresses, through the same compressor at level 6, in a tight
// loop on one thread. A pipeline cannot beat this; the table shows how
// close it comes (a ratio above 1.02 marks the measurement invalid).
#pragma once

#include <string>

#include "travik_bench/results.h"
#include "travik_bench/workload.h"

namespace travik_bench {

// `codec` is "zlib" (compress2) or "libdeflate" (libdeflate_zlib_compress,
// when this program was built with it). False when the codec is missing.
bool MeasureCompressorLimit(const FrameShape& shape, const std::string& codec, double window, int minPasses,
                            Results& results);

bool HaveCodec(const std::string& codec);

// The same in a child process whose one thread is pinned to `pinCpu` (-1:
// not pinned), as the device's send thread is, so that the limit and the
// pipeline compress on the same CPU. False when the child failed.
bool MeasureCompressorLimitPinned(const FrameShape& shape, const std::string& codec, int pinCpu, double window,
                                  int minPasses, Results& results);

}  // namespace travik_bench
