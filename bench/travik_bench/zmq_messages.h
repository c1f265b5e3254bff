// The image message of the ZeroMQ baseline: u64 staging time, u32 raw size
// (little-endian), then the zlib stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travik_bench {

constexpr size_t kImageMsgHeader = 12;

inline void PutU64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint64_t GetU64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

}  // namespace travik_bench
