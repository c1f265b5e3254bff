// Bounds-checked little-endian reading of one record's content, for the
// reader's own files. Borrows the bytes for its lifetime; any thread. After
// the first short read every getter returns zeros and ok stays false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "recording/mcap/format.h"

namespace travik_mcap {

struct Cursor {
    const uint8_t* p;
    size_t left;
    bool ok = true;

    bool Take(size_t n) {
        if (!ok || n > left) return ok = false;
        return true;
    }
    uint16_t U16() {
        if (!Take(2)) return 0;
        uint16_t v = Get16(p);
        p += 2, left -= 2;
        return v;
    }
    uint32_t U32() {
        if (!Take(4)) return 0;
        uint32_t v = Get32(p);
        p += 4, left -= 4;
        return v;
    }
    uint64_t U64() {
        if (!Take(8)) return 0;
        uint64_t v = Get64(p);
        p += 8, left -= 8;
        return v;
    }
    std::string Str() {
        uint32_t n = U32();
        if (!Take(n)) return std::string();
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n, left -= n;
        return s;
    }
    bool Skip(uint64_t n) {
        if (!ok || n > left) return ok = false;
        p += n, left -= static_cast<size_t>(n);
        return true;
    }
};

// " at offset N": how every error of the reader ends.
inline std::string At(uint64_t offset) { return " at offset " + std::to_string(offset); }

}  // namespace travik_mcap
