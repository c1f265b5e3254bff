#include "protocol/parallel_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#if defined(TRAVIK_WITH_LIBDEFLATE)
#include <libdeflate.h>
#endif

#include "platform/per_thread.h"
#include "protocol/frame_writer.h"

namespace travik {
namespace {

// The two header bytes compress2 writes at `level` (window 32 KiB, no
// preset dictionary, FLEVEL from the level as zlib sets it).
void PutZlibHeader(int level, unsigned char* p) {
    const unsigned flevel = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    unsigned header = (0x78u << 8) | (flevel << 6);
    header += 31 - header % 31;
    p[0] = static_cast<unsigned char>(header >> 8);
    p[1] = static_cast<unsigned char>(header);
}

// Lays the pieces end to end behind a zlib header and in front of the
// Adler-32 of the whole input; `pieceInput(i)` is piece i's input length.
template <typename InputLen>
int JoinPieces(const std::vector<DeflatedPiece>& pieces, size_t count, int level, InputLen pieceInput, size_t headroom,
               int64_t maxStreamLen, std::shared_ptr<unsigned char>& out, uint32_t& streamLen) {
    int64_t total = 2 + 4;
    uint32_t adler = 1;
    for (size_t i = 0; i < count; ++i) {
        if (pieces[i].rc != Z_OK) return pieces[i].rc;
        total += static_cast<int64_t>(pieces[i].len);
        adler = static_cast<uint32_t>(adler32_combine(adler, pieces[i].adler, static_cast<z_off_t>(pieceInput(i))));
    }
    if (total > maxStreamLen) return kStreamRefused;
    std::shared_ptr<unsigned char> buffer = AllocBytes(headroom + static_cast<size_t>(total));
    unsigned char* p = buffer.get() + headroom;
    PutZlibHeader(level, p);
    p += 2;
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(p, pieces[i].bytes.data(), pieces[i].len);
        p += pieces[i].len;
    }
    for (int shift = 24; shift >= 0; shift -= 8) *p++ = static_cast<unsigned char>(adler >> shift);
    out = std::move(buffer);
    streamLen = static_cast<uint32_t>(total);
    return Z_OK;
}

}  // namespace

size_t IndependentPieceCount(uint32_t srcLen, int threads) {
    if (srcLen < kIndependentSplitMin || threads < 2) return 1;
    const size_t most = srcLen / kIndependentPieceMin, n = static_cast<size_t>(threads);
    // Equal shares for the threads, so that none is left with an extra piece.
    return most >= 2 * n ? 2 * n : std::max<size_t>(1, std::min(most, n));
}

}  // namespace travik

#if !defined(TRAVIK_WITH_LIBDEFLATE)

namespace travik {
namespace {

// A raw-deflate stream per thread and level, reset for every piece: setting
// one up allocates about 270 KiB, too much to repeat 8 times a megabyte.
class PieceStream {
public:
    ~PieceStream() {
        if (m_ready) deflateEnd(&m_zs);
    }
    // Ready for a new piece at `level`; false when zlib could not allocate.
    bool Begin(int level) {
        if (m_ready && m_level == level) return deflateReset(&m_zs) == Z_OK;
        if (m_ready) deflateEnd(&m_zs);
        m_zs = z_stream{};
        m_ready = deflateInit2(&m_zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        m_level = level;
        return m_ready;
    }
    z_stream& zs() { return m_zs; }

private:
    z_stream m_zs{};
    bool m_ready = false;
    int m_level = 0;
};

int DeflatePieceOrThrow(const unsigned char* src, uint32_t srcLen, size_t index, int level, DeflatedPiece& out) {
    const size_t begin = index * kPieceLen;
    const size_t len = std::min<size_t>(kPieceLen, srcLen - begin);
    const bool last = begin + len == srcLen;
    static PerThread<PieceStream> perThread;
    PieceStream& stream = perThread.Get();
    if (!stream.Begin(level)) return Z_MEM_ERROR;
    z_stream& zs = stream.zs();
    if (begin > 0) {
        const size_t dict = std::min<size_t>(kPieceDictLen, begin);
        const int rc = deflateSetDictionary(&zs, src + begin - dict, static_cast<uInt>(dict));
        if (rc != Z_OK) return rc;
    }
    // deflateBound covers a finished stream; a sync flush adds at most 5
    // bytes plus the partial byte, so the loop below rarely grows it.
    const size_t bound = deflateBound(&zs, static_cast<uLong>(len)) + 16;
    if (out.bytes.size() < bound) out.bytes.resize(bound);
    zs.next_in = const_cast<Bytef*>(src + begin);
    zs.avail_in = static_cast<uInt>(len);
    zs.next_out = out.bytes.data();
    zs.avail_out = static_cast<uInt>(out.bytes.size());
    for (int rounds = 0;; ++rounds) {
        const int rc = deflate(&zs, last ? Z_FINISH : Z_SYNC_FLUSH);
        if (rc == Z_STREAM_ERROR || rounds > 64) return Z_STREAM_ERROR;
        if (last ? rc == Z_STREAM_END : (zs.avail_in == 0 && zs.avail_out > 0)) break;
        // Output full before the piece was done: grow and go on.
        const size_t used = out.bytes.size() - zs.avail_out;
        out.bytes.resize(out.bytes.size() + 4096);
        zs.next_out = out.bytes.data() + used;
        zs.avail_out = static_cast<uInt>(out.bytes.size() - used);
    }
    out.len = out.bytes.size() - zs.avail_out;
    out.adler = static_cast<uint32_t>(adler32(1, src + begin, static_cast<uInt>(len)));
    return Z_OK;
}

}  // namespace

size_t PieceCount(uint32_t srcLen) {
    return srcLen == 0 ? 1 : (static_cast<size_t>(srcLen) + kPieceLen - 1) / kPieceLen;
}

int DeflatePiece(const unsigned char* src, uint32_t srcLen, size_t index, int level, DeflatedPiece& out) {
    try {
        out.rc = DeflatePieceOrThrow(src, srcLen, index, level, out);
    } catch (const std::bad_alloc&) {
        out.rc = Z_MEM_ERROR;
    }
    return out.rc;
}

int DeflateInPieces(const unsigned char* src, uint32_t srcLen, int level, const PieceRunner& run, size_t headroom,
                    int64_t maxStreamLen, std::vector<DeflatedPiece>& pieces, std::shared_ptr<unsigned char>& out,
                    uint32_t& streamLen) {
    if (level < 1 || level > 9) return Z_STREAM_ERROR;
    const size_t count = PieceCount(srcLen);
    if (count == 1) {
        uLongf len = compressBound(srcLen);
        std::shared_ptr<unsigned char> buffer = AllocBytes(headroom + len);
        const int rc = compress2(buffer.get() + headroom, &len, src, srcLen, level);
        if (rc != Z_OK) return rc;
        if (static_cast<int64_t>(len) > maxStreamLen) return kStreamRefused;
        out = std::move(buffer);
        streamLen = static_cast<uint32_t>(len);
        return Z_OK;
    }
    if (pieces.size() < count) pieces.resize(count);
    run(count, [&](size_t i) { DeflatePiece(src, srcLen, i, level, pieces[i]); });

    return JoinPieces(
        pieces, count, level, [srcLen](size_t i) { return std::min<size_t>(kPieceLen, srcLen - i * kPieceLen); },
        headroom, maxStreamLen, out, streamLen);
}

}  // namespace travik

#else  // libdeflate

namespace travik {
namespace {

// Per thread and level, made on first use: setting one up is costly.
libdeflate_compressor* PieceCompressor(int level) {
    struct Holder {
        libdeflate_compressor* c = nullptr;
        ~Holder() {
            if (c) libdeflate_free_compressor(c);
        }
    };
    static PerThread<std::array<Holder, 10> > perThread;
    Holder& h = perThread.Get()[level];
    if (!h.c) h.c = libdeflate_alloc_compressor(level);
    return h.c;
}

// A raw inflate stream per thread, reset for every piece.
class BlockWalker {
public:
    ~BlockWalker() {
        if (m_ready) inflateEnd(&m_zs);
    }
    bool Begin() {
        if (m_ready) return inflateReset(&m_zs) == Z_OK;
        m_zs = z_stream{};
        m_ready = inflateInit2(&m_zs, -15) == Z_OK;
        return m_ready;
    }
    z_stream& zs() { return m_zs; }

private:
    z_stream m_zs{};
    bool m_ready = false;
};

// Turns the complete raw deflate stream in bytes[0, len) (which restores
// `inputLen` bytes) into one that continues: the final bit of its last block
// cleared, then an empty stored block, which ends on a byte boundary, as a
// sync flush would. Grows `len` by up to 5 bytes (`bytes` must have room).
int EndPieceOpen(std::vector<unsigned char>& bytes, size_t& len, size_t inputLen) {
    struct Scratch {
        BlockWalker walker;
        std::vector<unsigned char> sink = std::vector<unsigned char>(64 * 1024);
    };
    static PerThread<Scratch> perThread;
    Scratch& scratch = perThread.Get();
    BlockWalker& walker = scratch.walker;
    std::vector<unsigned char>& sink = scratch.sink;
    if (!walker.Begin()) return Z_MEM_ERROR;
    z_stream& zs = walker.zs();
    zs.next_in = bytes.data();
    zs.avail_in = static_cast<uInt>(len);
    // Where the header bit of the block being decoded sits: the first block
    // starts at bit 0; each later one right after the previous block's end.
    size_t blockByte = 0;
    unsigned blockMask = 1;
    int freeBits = -1;
    for (;;) {
        zs.next_out = sink.data();
        zs.avail_out = static_cast<uInt>(sink.size());
        const int rc = inflate(&zs, Z_BLOCK);
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK) return Z_DATA_ERROR;      // libdeflate wrote something inflate refuses
        if ((zs.data_type & 128) == 0) continue;  // output full inside a block
        const unsigned unusedBits = static_cast<unsigned>(zs.data_type & 7);
        if ((zs.data_type & 64) != 0) {
            // The end of the last block: its unused high bits are padding.
            freeBits = static_cast<int>(unusedBits);
            continue;
        }
        const size_t used = static_cast<size_t>(zs.next_in - bytes.data());
        blockByte = unusedBits == 0 ? used : used - 1;
        blockMask = unusedBits == 0 ? 1u : 0x100u >> unusedBits;
    }
    const size_t used = static_cast<size_t>(zs.next_in - bytes.data());
    if (used != len || zs.total_out != inputLen || freeBits < 0 || blockByte >= len ||
        (bytes[blockByte] & blockMask) == 0)
        return Z_DATA_ERROR;
    bytes[blockByte] = static_cast<unsigned char>(bytes[blockByte] & ~blockMask);
    // The stored block's three header bits (not final, type 0) are zeros
    // after the last code; they spill into a new byte when fewer are free.
    bytes[len - 1] = static_cast<unsigned char>(bytes[len - 1] & ((1u << (8 - freeBits)) - 1));
    if (freeBits < 3) bytes[len++] = 0;
    const unsigned char empty[4] = {0x00, 0x00, 0xff, 0xff};  // LEN 0, NLEN
    std::memcpy(bytes.data() + len, empty, sizeof empty);
    len += sizeof empty;
    return Z_OK;
}

int DeflateIndependentOrThrow(const unsigned char* src, size_t len, bool last, int level, DeflatedPiece& out) {
    libdeflate_compressor* c = PieceCompressor(level);
    if (!c) return Z_MEM_ERROR;
    const size_t bound = libdeflate_deflate_compress_bound(c, len) + 8;
    if (out.bytes.size() < bound) out.bytes.resize(bound);
    out.len = libdeflate_deflate_compress(c, src, len, out.bytes.data(), out.bytes.size() - 8);
    if (out.len == 0) return Z_BUF_ERROR;
    out.adler = libdeflate_adler32(1, src, len);
    return last ? Z_OK : EndPieceOpen(out.bytes, out.len, len);
}

}  // namespace

int DeflateIndependentPieces(const unsigned char* src, uint32_t srcLen, int level, size_t count, const PieceRunner& run,
                             size_t headroom, int64_t maxStreamLen, std::vector<DeflatedPiece>& pieces,
                             std::shared_ptr<unsigned char>& out, uint32_t& streamLen) {
    if (level < 1 || level > 9 || count == 0) return Z_STREAM_ERROR;
    const size_t pieceLen = (static_cast<size_t>(srcLen) + count - 1) / count;
    count = srcLen == 0 ? 1 : (static_cast<size_t>(srcLen) + pieceLen - 1) / pieceLen;
    auto inputOf = [srcLen, pieceLen](size_t i) { return std::min<size_t>(pieceLen, srcLen - i * pieceLen); };
    if (pieces.size() < count) pieces.resize(count);
    run(count, [&](size_t i) {
        DeflatedPiece& piece = pieces[i];
        try {
            piece.rc = DeflateIndependentOrThrow(src + i * pieceLen, inputOf(i), i + 1 == count, level, piece);
        } catch (const std::bad_alloc&) {
            piece.rc = Z_MEM_ERROR;
        }
    });
    return JoinPieces(pieces, count, level, inputOf, headroom, maxStreamLen, out, streamLen);
}

}  // namespace travik

#endif
