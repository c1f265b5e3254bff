#include "recording/mcap/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace travik_mcap {

Reader::~Reader() {
    if (m_zstd) ZSTD_freeDStream(m_zstd);
}

FileSource::~FileSource() {
    if (m_fd >= 0) close(m_fd);
}

bool FileSource::Open(const std::string& path, std::string& error) {
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (m_fd < 0 || fstat(m_fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    m_size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool FileSource::ReadAt(uint64_t offset, uint8_t* out, size_t len) {
    if (offset > m_size || len > m_size - offset) return false;
    while (len > 0) {
        ssize_t n = pread(m_fd, out, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool MemorySource::ReadAt(uint64_t offset, uint8_t* out, size_t len) {
    if (offset > m_size || len > m_size - offset) return false;
    if (len > 0) std::memcpy(out, m_data + offset, len);
    return true;
}

namespace {

std::string At(uint64_t offset) { return " at offset " + std::to_string(offset); }

// Bounds-checked little-endian reading of one record's content. After the
// first short read every getter returns zeros and ok stays false.
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

}  // namespace

bool Reader::ReadRecord(uint64_t offset, uint64_t len, std::vector<uint8_t>& out) {
    out.resize(static_cast<size_t>(len));
    return m_source.ReadAt(offset, out.data(), out.size());
}

bool Reader::HasTrailingMagic() {
    uint64_t size = m_source.Size();
    uint8_t tail[kMagicSize];
    return size >= 2 * kMagicSize && m_source.ReadAt(size - kMagicSize, tail, kMagicSize) &&
           std::memcmp(tail, kMagic, kMagicSize) == 0;
}

bool Reader::ParseInner(uint8_t op, const uint8_t* p, size_t len, uint64_t where, uint64_t chunkOffset,
                        const MessageFn& onMessage, ScanResult& result) {
    Cursor c{p, len};
    if (op == kOpSchema) {
        Schema s;
        s.id = c.U16();
        s.name = c.Str();
        s.encoding = c.Str();
        uint32_t dataLen = c.U32();
        c.Skip(dataLen);
        if (!c.ok) {
            result.error = "malformed schema record" + At(where);
            return false;
        }
        if (s.id != 0) m_schemas[s.id] = s;
    } else if (op == kOpChannel) {
        Channel ch;
        ch.id = c.U16();
        ch.schemaId = c.U16();
        ch.topic = c.Str();
        ch.messageEncoding = c.Str();
        uint32_t mapLen = c.U32();
        if (c.Take(mapLen)) {
            Cursor m{c.p, mapLen};
            while (m.ok && m.left > 0) {
                std::string k = m.Str();
                std::string v = m.Str();
                if (m.ok) ch.metadata[k] = v;
            }
            c.ok = m.ok;
            c.Skip(mapLen);
        }
        if (!c.ok) {
            result.error = "malformed channel record" + At(where);
            return false;
        }
        if (ch.schemaId != 0 && !m_schemas.count(ch.schemaId)) {
            result.error = "channel " + std::to_string(ch.id) + " refers to unknown schema " +
                           std::to_string(ch.schemaId) + At(where);
            return false;
        }
        m_channels[ch.id] = ch;
    } else if (op == kOpMessage) {
        Message m;
        m.channel = c.U16();
        m.sequence = c.U32();
        m.logTime = c.U64();
        m.publishTime = c.U64();
        if (!c.ok) {
            result.error = "malformed message record" + At(where);
            return false;
        }
        auto ch = m_channels.find(m.channel);
        if (ch == m_channels.end()) {
            result.error = "message on unknown channel " + std::to_string(m.channel) + At(where);
            return false;
        }
        m.data = c.p;
        m.size = c.left;
        m.recordOffset = chunkOffset;
        ++result.messages;
        if (!onMessage(ch->second, m)) return false;
    }
    return true;  // other records (indexes, attachments, metadata) are not needed here
}

bool Reader::ParseChunk(uint64_t offset, const std::vector<uint8_t>& content, const MessageFn& onMessage,
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
    const uint8_t* records = c.p;
    size_t len = static_cast<size_t>(recordsLen);
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
        if (!ParseInner(op, records + pos + kRecordPrefix, static_cast<size_t>(rlen), offset, offset, onMessage,
                        result)) {
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
            if (len > kMaxChunkBytes) {
                result.status = ScanResult::kCorrupt;
                result.error = "chunk of " + std::to_string(len) + " bytes exceeds the " +
                               std::to_string(kMaxChunkBytes >> 20) + " MiB limit" + At(offset);
                return result;
            }
            if (!ReadRecord(contentAt, len, m_record)) {
                result.status = ScanResult::kCorrupt;
                result.error = "cannot read chunk" + At(offset);
                return result;
            }
            if (!ParseChunk(offset, m_record, onMessage, result)) return result;
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
            if (!ParseInner(op, m_record.data(), m_record.size(), offset, offset, onMessage, result)) {
                result.status = result.error.empty() ? ScanResult::kStopped : ScanResult::kCorrupt;
                return result;
            }
        }
        offset = contentAt + len;  // header, message indexes and unknown records are skipped
    }
}

bool Reader::ReadSummary(SummaryInfo& info, std::string& error) {
    info = SummaryInfo();
    const uint64_t size = m_source.Size();
    const uint64_t footerSize = kRecordPrefix + kFooterContent;
    if (!HasTrailingMagic() || size < 2 * kMagicSize + footerSize) return true;
    const uint64_t footerAt = size - kMagicSize - footerSize;
    uint8_t footer[kRecordPrefix + kFooterContent];
    if (!m_source.ReadAt(footerAt, footer, sizeof footer) || footer[0] != kOpFooter ||
        Get64(footer + 1) != kFooterContent) {
        error = "malformed footer" + At(footerAt);
        return false;
    }
    info.present = true;
    const uint64_t summaryStart = Get64(footer + 9);
    const uint32_t crc = Get32(footer + 25);
    if (summaryStart == 0) return true;
    if (summaryStart < kMagicSize || summaryStart >= footerAt || footerAt - summaryStart > kMaxChunkBytes) {
        error = "footer points at a summary outside the file (" + std::to_string(summaryStart) + ")" + At(footerAt);
        return false;
    }
    // The CRC covers the summary through summary_offset_start of the footer.
    std::vector<uint8_t> summary;
    if (!ReadRecord(summaryStart, footerAt - summaryStart + kRecordPrefix + 16, summary)) {
        error = "cannot read summary" + At(summaryStart);
        return false;
    }
    if (crc != 0 && Crc32(0, summary.data(), summary.size()) != crc) {
        error = "summary CRC mismatch" + At(summaryStart);
        return false;
    }
    size_t pos = 0, end = static_cast<size_t>(footerAt - summaryStart);
    while (pos + kRecordPrefix <= end) {
        const uint8_t op = summary[pos];
        const uint64_t len = Get64(&summary[pos + 1]);
        if (len > end - pos - kRecordPrefix) {
            error = "summary record runs past the footer" + At(summaryStart + pos);
            return false;
        }
        if (op == kOpStatistics) {
            Cursor c{&summary[pos + kRecordPrefix], static_cast<size_t>(len)};
            info.messages = c.U64();
            c.U16();
            c.U32();
            c.U32();
            c.U32();
            info.chunks = c.U32();
            info.startTime = c.U64();
            info.endTime = c.U64();
            if (!c.ok) {
                error = "malformed statistics record" + At(summaryStart + pos);
                return false;
            }
            info.hasStatistics = true;
        }
        pos += kRecordPrefix + static_cast<size_t>(len);
    }
    return true;
}

}  // namespace travik_mcap
