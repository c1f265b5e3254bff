// The compressor's own limit: the same four-channel record sequences a
// device compresses, through the same compressor at level 6, in a tight
// loop on one thread. A pipeline cannot beat this; the table shows how
// close it comes.
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

// Puts the mean of two limit measurements under `key` (".ips", ".mbps",
// ".ratio"), with the lower and higher one as ".mbps_lo" / ".mbps_hi".
// Either measurement may be missing.
void CombineLimits(const Results& a, const Results& b, const std::string& key, Results& out);

}  // namespace travik_bench
