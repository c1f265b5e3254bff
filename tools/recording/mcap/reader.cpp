#include "recording/mcap/reader.h"

#include <zstd.h>

#include <cstring>

#include "recording/mcap/cursor.h"

namespace travik_mcap {

Reader::~Reader() {
    if (m_zstd) ZSTD_freeDStream(m_zstd);
}

bool Reader::ReadRecord(uint64_t offset, uint64_t len, std::vector<uint8_t>& out) {
    out.resize(static_cast<size_t>(len));
    return m_source.ReadAt(offset, out.data(), out.size());
}

bool Reader::ParseChunk(uint64_t offset, const std::vector<uint8_t>& content, const MessageFn& onMessage,
                        ScanResult& result) {
    const uint8_t* records = nullptr;
    size_t len = 0;
    if (!ChunkRecords(offset, content, records, len, result)) return false;
    size_t pos = 0;
    while (pos < len) {
        if (len - pos < kRecordPrefix) {
            result.status = ScanResult::kCorrupt;
            result.error = "record cut short inside the chunk" + At(offset);
            return false;
        }
        const uint8_t op = records[pos];
        const uint64_t rlen = Get64(records + pos + 1);
        if (rlen > len - pos - kRecordPrefix) {
            result.status = ScanResult::kCorrupt;
            result.error =
                "record longer than its chunk (at byte " + std::to_string(pos) + " of the chunk)" + At(offset);
            return false;
        }
        if (!ParseInner(op, records + pos + kRecordPrefix, static_cast<size_t>(rlen), offset, pos, onMessage, result)) {
            if (result.error.empty()) {
                result.status = ScanResult::kStopped;
            } else {
                result.status = ScanResult::kCorrupt;
            }
            return false;
        }
        pos += kRecordPrefix + static_cast<size_t>(rlen);
    }
    return true;
}

ScanResult Reader::Scan(const MessageFn& onMessage) {
    ScanResult result;
    m_channels.clear();
    m_schemas.clear();
    m_keptBytes = 0;
    const uint64_t size = m_source.Size();
    uint8_t magic[kMagicSize];
    if (!m_source.ReadAt(0, magic, kMagicSize) || std::memcmp(magic, kMagic, kMagicSize) != 0) {
        result.status = ScanResult::kCorrupt;
        result.error = "not an MCAP file (no MCAP magic at offset 0)";
        return result;
    }
    const bool closed = HasTrailingMagic();
    uint64_t offset = kMagicSize;
    bool first = true;
    for (;;) {
        uint8_t prefix[kRecordPrefix];
        if (offset == size) {
            result.status = ScanResult::kTruncated;
            result.error = "file ends at offset " + std::to_string(offset) + " without its footer (not closed)";
            return result;
        }
        if (!m_source.ReadAt(offset, prefix, kRecordPrefix)) {
            result.status = closed ? ScanResult::kCorrupt : ScanResult::kTruncated;
            result.error = "file ends inside a record header" + At(offset);
            return result;
        }
        const uint8_t op = prefix[0];
        const uint64_t len = Get64(prefix + 1);
        const uint64_t contentAt = offset + kRecordPrefix;
        if (len > size - contentAt) {
            result.status = closed ? ScanResult::kCorrupt : ScanResult::kTruncated;
            result.error = "record of " + std::to_string(len) + " bytes runs past the end of the file (" +
                           std::to_string(size - contentAt) + " left)" + At(offset);
            return result;
        }
        if (op == 0 || (first && op != kOpHeader)) {
            result.status = ScanResult::kCorrupt;
            result.error = (op == 0 ? "invalid record opcode 0" : "first record is not a header") + At(offset);
            return result;
        }
        first = false;
        if (op == kOpFooter || op == kOpDataEnd) {
            result.dataEnd = op == kOpDataEnd;
            return result;  // the summary holds no messages
        }
        if (op == kOpChunk) {
            // The chunk's extent is known and inside the file: a fault within
            // it costs its own messages only, and the scan goes on after it.
            ScanResult chunk;
            if (len > kMaxChunkBytes) {
                chunk.error = "chunk of " + std::to_string(len) + " bytes exceeds the " +
                              std::to_string(kMaxChunkBytes >> 20) + " MiB limit" + At(offset);
            } else if (!ReadRecord(contentAt, len, m_record)) {
                result.status = ScanResult::kCorrupt;
                result.error = "cannot read chunk" + At(offset);
                return result;
            } else if (!ParseChunk(offset, m_record, onMessage, chunk) && chunk.status == ScanResult::kStopped) {
                result.messages += chunk.messages;
                result.status = ScanResult::kStopped;
                return result;
            }
            result.messages += chunk.messages;
            if (chunk.error.empty()) {
                result.chunks += chunk.chunks;
                result.compressedBytes += chunk.compressedBytes;
                result.uncompressedBytes += chunk.uncompressedBytes;
            } else if (result.skippedChunks++ == 0) {
                result.skipped = chunk.error;
            }
        } else if (op == kOpSchema || op == kOpChannel || op == kOpMessage) {
            if (len > (op == kOpMessage ? kMaxChunkBytes : kMaxRecordBytes)) {
                result.status = ScanResult::kCorrupt;
                result.error = "record of " + std::to_string(len) + " bytes exceeds its limit" + At(offset);
                return result;
            }
            if (!ReadRecord(contentAt, len, m_record)) {
                result.status = ScanResult::kCorrupt;
                result.error = "cannot read record" + At(offset);
                return result;
            }
            if (!ParseInner(op, m_record.data(), m_record.size(), offset, kNotInChunk, onMessage, result)) {
                result.status = result.error.empty() ? ScanResult::kStopped : ScanResult::kCorrupt;
                return result;
            }
        }
        offset = contentAt + len;  // header, message indexes and unknown records are skipped
    }
}

}  // namespace travik_mcap
