// Marks bytes of a buffer the program owns as off-limits (poisoned) or
// usable again, for AddressSanitizer: a buffer reused with room to spare
// then still reports a read past the bytes of its current use, as a buffer
// of exact size would. Without ASan both are no-ops.
// Contract: any thread; never blocks; the range lies inside one live
// allocation (or a buffer the caller owns) and is only touched by its owner.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define TRAVIK_HAS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRAVIK_HAS_ASAN 1
#endif
#endif

#ifdef TRAVIK_HAS_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace travik {

inline void PoisonBytes(const void* p, size_t n) {
#ifdef TRAVIK_HAS_ASAN
    __asan_poison_memory_region(p, n);
#else
    static_cast<void>(p);
    static_cast<void>(n);
#endif
}

inline void UnpoisonBytes(const void* p, size_t n) {
#ifdef TRAVIK_HAS_ASAN
    __asan_unpoison_memory_region(p, n);
#else
    static_cast<void>(p);
    static_cast<void>(n);
#endif
}

}  // namespace travik
