// One zlib stream (RFC 1950) written by several threads: the input is cut
// into pieces of kPieceLen bytes, each piece is deflated on its own, primed
// with the 32 KiB of input before it as its dictionary (so matches reach
// back across the cut, as in one long stream), and every piece but the last
// ends with a sync flush, which closes its last block on a byte boundary
// without marking it final. The pieces are then laid end to end behind one
// zlib header and followed by the Adler-32 of the whole input, combined from
// the pieces' own checksums. Any zlib reader restores the input in one pass.
//
// zlib builds (CodecSplitsFrames()) split every frame above one piece this
// way. libdeflate builds split only a lone large frame, in independent
// pieces (see DeflateIndependentPieces). The functions are thread-safe and
// never block except inside the caller's runner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace travik {

constexpr uint32_t kPieceLen = 128u * 1024;
constexpr uint32_t kPieceDictLen = 32u * 1024;

// Runs work(0) .. work(count - 1), each exactly once, on any threads, and
// returns when all have finished.
using PieceRunner = std::function<void(size_t count, const std::function<void(size_t)>& work)>;

// Number of pieces for `srcLen` input bytes; at least 1.
size_t PieceCount(uint32_t srcLen);

// The compressed bytes of one piece and the Adler-32 of its input.
struct DeflatedPiece {
    std::vector<unsigned char> bytes;
    size_t len = 0;
    uint32_t adler = 1;
    int rc = 0;  // 0, or the zlib result code that stopped this piece
};

// Deflates piece `index` of `src` at `level` 1..9 into `out` (its buffer
// is reused when large enough). Returns out.rc. Catches std::bad_alloc and
// reports it as Z_MEM_ERROR, so it may run on a pool thread.
int DeflatePiece(const unsigned char* src, uint32_t srcLen, size_t index, int level, DeflatedPiece& out);

// Compresses `src` into one zlib stream at `level`, the pieces run through
// `run`, and returns it in a new buffer with `headroom` bytes free in front
// (for a frame header); `streamLen` receives the stream's size. The stream
// is refused (kStreamRefused) when it would exceed `maxStreamLen`. Input of
// at most one piece is compressed by a single compress2 call on the calling
// thread, which is the stream one-thread compression gives. `pieces` holds
// the per-piece outputs and may be kept by the caller between calls to reuse
// their buffers. Returns 0 or a negative zlib result code.
constexpr int kStreamRefused = -100;
int DeflateInPieces(const unsigned char* src, uint32_t srcLen, int level, const PieceRunner& run, size_t headroom,
                    int64_t maxStreamLen, std::vector<DeflatedPiece>& pieces, std::shared_ptr<unsigned char>& out,
                    uint32_t& streamLen);

// libdeflate builds. libdeflate has neither a preset dictionary nor a sync
// flush, so each piece is a complete raw deflate stream of its own; zlib's
// inflate then walks its blocks to clear the last block's final bit, and an
// empty stored block brings the piece to a byte boundary. Without a
// dictionary each piece loses the matches into the previous one: on camera
// frames at level 6, 0.35% of the stream for 300 KB pieces, 0.1% for 1.5 MB
// ones. Hence only frames of at least kIndependentSplitMin bytes are split,
// into pieces of at least kIndependentPieceMin bytes.
constexpr uint32_t kIndependentSplitMin = 512u * 1024;
constexpr uint32_t kIndependentPieceMin = 256u * 1024;

// Pieces for a lone frame of `srcLen` bytes on `threads` threads: one when
// it is not worth splitting, else two per thread when they are large
// enough, or one per thread; none smaller than kIndependentPieceMin.
size_t IndependentPieceCount(uint32_t srcLen, int threads);

// As DeflateInPieces, with `count` independent pieces of (about) equal
// size. Same stream format, same refusal, same buffer reuse.
int DeflateIndependentPieces(const unsigned char* src, uint32_t srcLen, int level, size_t count, const PieceRunner& run,
                             size_t headroom, int64_t maxStreamLen, std::vector<DeflatedPiece>& pieces,
                             std::shared_ptr<unsigned char>& out, uint32_t& streamLen);

}  // namespace travik
