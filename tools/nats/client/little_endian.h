// Little-endian fields of the NATS messages' binary prefixes, byte by byte
// (alignment-free). Pure functions, any thread; callers check lengths.
#pragma once

#include <cstdint>

namespace travik_nats {

inline void PutU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void PutU64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint32_t GetU32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint64_t GetU64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace travik_nats
