#include "protocol/codec.h"

#include <array>
#include <memory>

#if defined(TRAVIK_WITH_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include "platform/per_thread.h"

namespace travik {

uint32_t CompressBound(uint32_t sourceLen) {
    return sourceLen + (sourceLen >> 12) + (sourceLen >> 14) + (sourceLen >> 25) + 13;
}

#if defined(TRAVIK_WITH_LIBDEFLATE)

namespace {

// libdeflate's (de)compressors are not thread-safe but are costly to set up,
// so each thread keeps its own for its lifetime.
struct CompressorHolder {
    explicit CompressorHolder(int level = 6) : c(libdeflate_alloc_compressor(level)) {}
    ~CompressorHolder() {
        if (c) libdeflate_free_compressor(c);
    }
    CompressorHolder(const CompressorHolder&) = delete;
    CompressorHolder& operator=(const CompressorHolder&) = delete;
    libdeflate_compressor* c;
};

struct DecompressorHolder {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    ~DecompressorHolder() {
        if (d) libdeflate_free_decompressor(d);
    }
};

// Results reported with zlib's numbering so callers print the same codes.
constexpr int kMemError = -4;     // Z_MEM_ERROR
constexpr int kBufError = -5;     // Z_BUF_ERROR
constexpr int kStreamError = -2;  // Z_STREAM_ERROR

}  // namespace

uint32_t CompressCapacity(uint32_t sourceLen) {
    const uint32_t zlibBound = CompressBound(sourceLen);
    // A null compressor gives the bound of every level, not only one's.
    const size_t own = libdeflate_zlib_compress_bound(nullptr, sourceLen);
    return own > zlibBound && own <= UINT32_MAX ? static_cast<uint32_t>(own) : zlibBound;
}

int CompressAtLevel(unsigned char* dest, uint32_t& destLen, const unsigned char* src, uint32_t srcLen, int level) {
    if (level < 1 || level > 9) return kStreamError;
    // One compressor per level used by this thread, made on first use.
    static PerThread<std::array<std::unique_ptr<CompressorHolder>, 10>> perThread;
    std::unique_ptr<CompressorHolder>& holder = perThread.Get()[level];
    if (!holder) holder.reset(new CompressorHolder(level));
    if (!holder->c) return kMemError;
    const size_t out = libdeflate_zlib_compress(holder->c, src, srcLen, dest, destLen);
    if (out == 0) return kBufError;
    destLen = static_cast<uint32_t>(out);
    return 0;
}

int CompressLevel6(unsigned char* dest, uint32_t& destLen, const unsigned char* src, uint32_t srcLen) {
    return CompressAtLevel(dest, destLen, src, srcLen, 6);
}

bool CodecSplitsFrames() { return false; }

bool InflateExact(unsigned char* dest, uint32_t destLen, const unsigned char* src, uint32_t srcLen) {
    static PerThread<DecompressorHolder> perThread;
    DecompressorHolder& holder = perThread.Get();
    if (!holder.d) return false;
    // A null actual-size pointer makes libdeflate demand exactly destLen bytes.
    return libdeflate_zlib_decompress(holder.d, src, srcLen, dest, destLen, nullptr) == LIBDEFLATE_SUCCESS;
}

const char* CodecName() { return "libdeflate"; }

#else

uint32_t CompressCapacity(uint32_t sourceLen) { return CompressBound(sourceLen); }

int CompressAtLevel(unsigned char* dest, uint32_t& destLen, const unsigned char* src, uint32_t srcLen, int level) {
    uLongf out = destLen;
    const int rc = compress2(dest, &out, src, srcLen, level);
    if (rc == Z_OK) destLen = static_cast<uint32_t>(out);
    return rc;
}

int CompressLevel6(unsigned char* dest, uint32_t& destLen, const unsigned char* src, uint32_t srcLen) {
    return CompressAtLevel(dest, destLen, src, srcLen, 6);
}

bool CodecSplitsFrames() { return true; }

bool InflateExact(unsigned char* dest, uint32_t destLen, const unsigned char* src, uint32_t srcLen) {
    // uncompress fails with a buffer error when the stream holds more than
    // destLen bytes; a shorter stream succeeds and is caught by the size test.
    uLongf out = destLen;
    const int rc = uncompress(dest, &out, src, srcLen);
    return rc == Z_OK && out == destLen;
}

const char* CodecName() { return "zlib"; }

#endif

}  // namespace travik
