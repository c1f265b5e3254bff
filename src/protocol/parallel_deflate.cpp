#include "protocol/parallel_deflate.h"

#if !defined(TRAVIK_WITH_LIBDEFLATE)

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "protocol/frame_writer.h"

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

// The two header bytes compress2 writes at `level` (window 32 KiB, no
// preset dictionary, FLEVEL from the level as zlib sets it).
void PutZlibHeader(int level, unsigned char* p) {
    const unsigned flevel = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    unsigned header = (0x78u << 8) | (flevel << 6);
    header += 31 - header % 31;
    p[0] = static_cast<unsigned char>(header >> 8);
    p[1] = static_cast<unsigned char>(header);
}

int DeflatePieceOrThrow(const unsigned char* src, uint32_t srcLen, size_t index, int level, DeflatedPiece& out) {
    const size_t begin = index * kPieceLen;
    const size_t len = std::min<size_t>(kPieceLen, srcLen - begin);
    const bool last = begin + len == srcLen;
    thread_local PieceStream stream;
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

    int64_t total = 2 + 4;
    uint32_t adler = 1;
    for (size_t i = 0; i < count; ++i) {
        if (pieces[i].rc != Z_OK) return pieces[i].rc;
        total += static_cast<int64_t>(pieces[i].len);
        const size_t pieceInput = std::min<size_t>(kPieceLen, srcLen - i * kPieceLen);
        adler = static_cast<uint32_t>(adler32_combine(adler, pieces[i].adler, static_cast<z_off_t>(pieceInput)));
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

}  // namespace travik

#endif
