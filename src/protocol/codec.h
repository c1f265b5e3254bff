// The compressor behind image frames: one RFC 1950 zlib stream per frame.
// Built on zlib by default; TRAVIK_WITH_LIBDEFLATE switches both directions
// to libdeflate, which writes and reads the same format.
// Contract: any thread, no locks, never block (CPU work only).
#pragma once

#include <cstddef>
#include <cstdint>

namespace travik {

// zlib's compressBound: room for the worst case of one compression call.
uint32_t CompressBound(uint32_t sourceLen);

// Destination size that CompressAtLevel always fits into, at every level
// (frame writers compress at the configured level): CompressBound with zlib;
// with libdeflate the larger of that and libdeflate's bound across all its
// compressors, whose worst case for many small stored blocks lies a little
// above zlib's.
uint32_t CompressCapacity(uint32_t sourceLen);

// Compresses at level 6. `destLen` holds the capacity on entry and the
// compressed size on success. Returns 0 on success, else a negative zlib
// result code (libdeflate failures are reported as Z_MEM_ERROR -4 or
// Z_BUF_ERROR -5).
int CompressLevel6(unsigned char* dest, uint32_t& destLen, const unsigned char* src, uint32_t srcLen);

// As CompressLevel6 at `level` 1..9 (one call; level 6 gives the same bytes).
int CompressAtLevel(unsigned char* dest, uint32_t& destLen, const unsigned char* src, uint32_t srcLen, int level);

// True when the build's compressor can end a stream's pieces on a byte
// boundary and prime them with a dictionary (zlib), so that one frame can
// be compressed by several threads; libdeflate cannot.
bool CodecSplitsFrames();

// Inflates into exactly `destLen` bytes. Returns true only when the stream is
// valid and restores exactly `destLen` bytes.
bool InflateExact(unsigned char* dest, uint32_t destLen, const unsigned char* src, uint32_t srcLen);

const char* CodecName();

}  // namespace travik
