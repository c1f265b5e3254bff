// A chunk record to the records it holds: its header checked, zstd output
// grown only as real output arrives, its CRC compared.
#include <zstd.h>

#include <algorithm>

#include "recording/mcap/cursor.h"
#include "recording/mcap/reader.h"

namespace travik_mcap {

bool Reader::ChunkRecords(uint64_t offset, const std::vector<uint8_t>& content, const uint8_t*& records, size_t& len,
                          ScanResult& result) {
    Cursor c{content.data(), content.size()};
    c.U64();  // message_start_time
    c.U64();  // message_end_time
    const uint64_t plainSize = c.U64();
    const uint32_t crc = c.U32();
    const std::string compression = c.Str();
    const uint64_t recordsLen = c.U64();
    if (!c.ok || recordsLen > c.left) {
        result.status = ScanResult::kCorrupt;
        result.error = "malformed chunk header" + At(offset);
        return false;
    }
    if (plainSize > kMaxChunkBytes) {
        result.status = ScanResult::kCorrupt;
        result.error = "chunk claims " + std::to_string(plainSize) + " bytes, more than the " +
                       std::to_string(kMaxChunkBytes >> 20) + " MiB limit" + At(offset);
        return false;
    }
    records = c.p;
    len = static_cast<size_t>(recordsLen);
    if (compression == "zstd") {
        // Grow the output as the decoder fills it, up to the declared size,
        // so that a lying header costs no more memory than real output.
        m_plain.resize(std::min<uint64_t>(plainSize, 1u << 20));
        if (!m_zstd) {
            // Caps the decoder's window (16 MiB), which a frame header would otherwise choose.
            m_zstd = ZSTD_createDStream();
            if (m_zstd) ZSTD_DCtx_setParameter(m_zstd, ZSTD_d_windowLogMax, 24);
        }
        ZSTD_DStream* ds = m_zstd;
        if (ds) ZSTD_DCtx_reset(ds, ZSTD_reset_session_only);
        ZSTD_inBuffer in{records, len, 0};
        ZSTD_outBuffer out{m_plain.data(), m_plain.size(), 0};
        size_t rc = 1;
        bool bad = ds == nullptr;
        while (!bad) {
            rc = ZSTD_decompressStream(ds, &out, &in);
            if (ZSTD_isError(rc)) {
                bad = true;
                break;
            }
            if (rc == 0 && in.pos == in.size) break;  // frame done, input used up
            if (out.pos == out.size) {
                if (out.size >= plainSize) {
                    bad = true;  // more output than declared
                    break;
                }
                m_plain.resize(static_cast<size_t>(std::min<uint64_t>(plainSize, 2 * out.size)));
                out.dst = m_plain.data();
                out.size = m_plain.size();
            } else if (in.pos == in.size) {
                bad = true;  // input ended inside a frame
                break;
            }
        }
        if (bad || out.pos != plainSize) {
            result.status = ScanResult::kCorrupt;
            result.error = std::string("zstd data of chunk does not decode to its declared size") +
                           (ZSTD_isError(rc) ? std::string(" (") + ZSTD_getErrorName(rc) + ")" : "") + At(offset);
            return false;
        }
        records = m_plain.data();
        len = static_cast<size_t>(plainSize);
    } else if (compression.empty()) {
        if (plainSize != recordsLen) {
            result.status = ScanResult::kCorrupt;
            result.error = "stored chunk size does not match its records" + At(offset);
            return false;
        }
    } else {
        result.status = ScanResult::kCorrupt;
        result.error = "chunk compression '" + compression.substr(0, 32) + "' is not supported" + At(offset);
        return false;
    }
    if (crc != 0 && Crc32(0, records, len) != crc) {
        result.status = ScanResult::kCorrupt;
        result.error = "chunk CRC mismatch" + At(offset);
        return false;
    }
    ++result.chunks;
    result.compressedBytes += recordsLen;
    result.uncompressedBytes += len;
    return true;
}

}  // namespace travik_mcap
