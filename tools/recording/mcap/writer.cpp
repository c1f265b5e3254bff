#include "recording/mcap/writer.h"

#include <zlib.h>

#ifdef TRAVIK_MCAP_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "recording/mcap/file_io.h"

namespace travik_mcap {

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t len) {
#ifdef TRAVIK_MCAP_LIBDEFLATE
    // Several times faster than zlib's on current CPUs, which matters at
    // hundreds of megabytes a second.
    return libdeflate_crc32(crc, data, len);
#else
    // zlib takes uInt lengths; feed large buffers in pieces.
    while (len > 0) {
        uInt piece = len > (1u << 30) ? (1u << 30) : static_cast<uInt>(len);
        crc = static_cast<uint32_t>(crc32(crc, data, piece));
        data += piece;
        len -= piece;
    }
    return crc;
#endif
}

Writer::~Writer() {
    if (m_fd >= 0) file_io::Close(m_fd);
    if (m_zstd) ZSTD_freeCCtx(m_zstd);
}

void Writer::Fail(const std::string& what, int err) {
    if (!m_error.empty()) return;
    m_error = m_path + ": " + what + " at offset " + std::to_string(m_offset) + ": " + std::strerror(err);
}

void Writer::Refuse(const std::string& what) {
    if (m_error.empty()) m_error = m_path + ": " + what;
}

// Writes head, payload and tail with one writev where there is one (more
// only when the kernel takes part of it), so that a chunk is either whole on
// disk or cut short.
bool Writer::WriteAll(const Bytes& head, const uint8_t* payload, size_t payloadLen, const Bytes* tail) {
    if (Failed() || m_fd < 0) return false;
    file_io::Piece iov[3];
    size_t n = 0;
    auto add = [&](const uint8_t* p, size_t len) {
        if (len == 0) return;
        iov[n++] = {p, len};
    };
    add(head.data(), head.size());
    add(payload, payloadLen);
    if (tail) add(tail->data(), tail->size());
    for (size_t i = 0; i < n; ++i) m_dataCrc = Crc32(m_dataCrc, iov[i].data, iov[i].len);
    size_t first = 0;
    while (first < n) {
        int64_t w = file_io::WriteSome(m_fd, iov + first, n - first);
        if (w < 0) {
            Fail("write failed", errno);
            return false;
        }
        if (w == 0) {
            Fail("write failed", ENOSPC);
            return false;
        }
        m_offset += static_cast<uint64_t>(w);
        size_t done = static_cast<size_t>(w);
        while (first < n && done >= iov[first].len) done -= iov[first++].len;
        if (first < n) {
            iov[first].data += done;
            iov[first].len -= done;
        }
    }
    return true;
}

bool Writer::WriteBytes(const Bytes& bytes) { return WriteAll(bytes, nullptr, 0, nullptr); }

bool Writer::Open(const std::string& path, const WriterOptions& options, std::string& error) {
    m_path = path;
    m_options = options;
    m_options.chunkBytes = std::max<size_t>(1, std::min<uint64_t>(m_options.chunkBytes, kMaxMessageRecord));
    m_fd = file_io::Create(path);
    if (m_fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    if (m_options.zstd) {
        m_zstd = ZSTD_createCCtx();
        if (!m_zstd || ZSTD_isError(ZSTD_CCtx_setParameter(m_zstd, ZSTD_c_compressionLevel, m_options.zstdLevel))) {
            error = "cannot set up zstd compression";
            return false;
        }
    }
    Bytes head(kMagic, kMagic + kMagicSize);
    size_t at = BeginRecord(head, kOpHeader);
    PutString(head, "");  // no well-known profile fits
    PutString(head, m_options.library);
    EndRecord(head, at);
    if (!WriteBytes(head)) {
        error = m_error;
        return false;
    }
    // A device (/dev/null; on Windows NUL, CON, AUX, COM1, also as aux.mcap
    // in any folder) takes the writes but never reads back: refuse it now
    // rather than after a whole recording. After the first write, so that a
    // full device still reports the full disk.
    uint64_t size = 0;
    if (!file_io::RegularFileSize(m_fd, size)) {
        error = "cannot record to " + path + ": " +
                (errno == EINVAL ? std::string("not a regular file (a device name?)") : std::strerror(errno));
        return false;
    }
    return true;
}

uint16_t Writer::AddSchema(const std::string& name, const std::string& encoding, const std::string& data) {
    if (Failed()) return 0;
    const uint64_t cost = KeptCost(1, name.size() + encoding.size());
    if (m_nextSchema > kMaxSchemas || m_keptBytes + cost > kMaxKeptBytes) {
        Refuse("schema '" + name.substr(0, 64) + "' is past the limits on schemas");
        return 0;
    }
    Bytes rec;
    size_t at = BeginRecord(rec, kOpSchema);
    uint16_t id = m_nextSchema++;
    Put16(rec, id);
    PutString(rec, name);
    PutString(rec, encoding);
    PutString(rec, data);  // uint32 length-prefixed bytes, laid out as a string
    EndRecord(rec, at);
    if (rec.size() - kRecordPrefix > kMaxRecordBytes) {
        Refuse("schema '" + name.substr(0, 64) + "' is over the record limit");
        return 0;
    }
    m_keptBytes += cost;
    m_schemas.insert(m_schemas.end(), rec.begin(), rec.end());
    return WriteBytes(rec) ? id : 0;
}

uint16_t Writer::AddChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding,
                            const std::map<std::string, std::string>& metadata) {
    uint64_t strings = topic.size() + messageEncoding.size();
    for (const auto& kv : metadata) strings += kv.first.size() + kv.second.size();
    const uint64_t cost = KeptCost(1 + metadata.size(), strings);
    if (m_nextChannel >= kMaxChannels || metadata.size() > kMaxMetadataEntries || m_keptBytes + cost > kMaxKeptBytes) {
        Refuse("channel '" + topic.substr(0, 64) + "' is past the limits on channels");
        return 0;
    }
    Bytes rec;
    size_t at = BeginRecord(rec, kOpChannel);
    uint16_t id = m_nextChannel++;
    Put16(rec, id);
    Put16(rec, schemaId);
    PutString(rec, topic);
    PutString(rec, messageEncoding);
    Bytes map;
    for (const auto& kv : metadata) {
        PutString(map, kv.first);
        PutString(map, kv.second);
    }
    Put32(rec, static_cast<uint32_t>(map.size()));
    rec.insert(rec.end(), map.begin(), map.end());
    EndRecord(rec, at);
    if (rec.size() - kRecordPrefix > kMaxRecordBytes) {
        Refuse("channel '" + topic.substr(0, 64) + "' is over the record limit");
        return 0;
    }
    m_keptBytes += cost;
    m_channels.insert(m_channels.end(), rec.begin(), rec.end());
    m_sequence.push_back(0);
    m_channelCount.push_back(0);
    WriteBytes(rec);
    return id;
}

bool Writer::Write(uint16_t channel, uint64_t logTime, uint64_t publishTime, const uint8_t* head, size_t headLen,
                   const uint8_t* body, size_t bodyLen) {
    if (Failed() || channel >= m_sequence.size()) return false;
    if (headLen > kMaxMessageRecord || bodyLen > kMaxMessageRecord || !MessageFits(headLen + bodyLen)) return false;
    // A message that would take the open chunk past its size starts a new
    // one, so no chunk is larger than max(chunk size, one message), which
    // both are within the chunk limit.
    const size_t record = kRecordPrefix + kMessageFixed + headLen + bodyLen;
    if (!m_chunk.empty() && m_chunk.size() + record > m_options.chunkBytes && !FlushChunk()) return false;
    if (m_chunk.empty()) {
        m_chunkStart = logTime;
        m_chunkEnd = logTime;
    }
    m_chunkStart = std::min(m_chunkStart, logTime);
    m_chunkEnd = std::max(m_chunkEnd, logTime);
    m_index[channel].emplace_back(logTime, m_chunk.size());
    // Room for the whole chunk at once: growing by each message's size would
    // copy the chunk again for every message.
    const size_t need = m_chunk.size() + record;
    if (need > m_chunk.capacity()) m_chunk.reserve(std::max(need, m_options.chunkBytes + (m_options.chunkBytes >> 2)));
    size_t at = BeginRecord(m_chunk, kOpMessage);
    Put16(m_chunk, channel);
    Put32(m_chunk, ++m_sequence[channel]);
    Put64(m_chunk, logTime);
    Put64(m_chunk, publishTime);
    m_chunk.insert(m_chunk.end(), head, head + headLen);
    m_chunk.insert(m_chunk.end(), body, body + bodyLen);
    EndRecord(m_chunk, at);
    if (m_messages == 0) m_firstTime = logTime;
    m_firstTime = std::min(m_firstTime, logTime);
    m_lastTime = std::max(m_lastTime, logTime);
    ++m_messages;
    ++m_channelCount[channel];
    if (m_chunk.size() >= m_options.chunkBytes) return FlushChunk();
    return true;
}

bool Writer::FlushChunk() {
    if (m_chunk.empty()) return !Failed();
    if (Failed()) return false;
    const uint8_t* payload = m_chunk.data();
    size_t payloadLen = m_chunk.size();
    std::string compression;
    if (m_zstd) {
        m_compressed.resize(ZSTD_compressBound(m_chunk.size()));
        size_t n = ZSTD_compress2(m_zstd, m_compressed.data(), m_compressed.size(), m_chunk.data(), m_chunk.size());
        if (ZSTD_isError(n)) {
            m_error = m_path + ": zstd: " + ZSTD_getErrorName(n);
            return false;
        }
        // Data that does not compress can come out larger than the chunk
        // limit; the chunk is then stored, which always fits.
        if (kChunkHeaderMax + n <= kMaxChunkBytes) {
            payload = m_compressed.data();
            payloadLen = n;
            compression = "zstd";
        }
    }
    ChunkIndex ci;
    ci.start = m_chunkStart;
    ci.end = m_chunkEnd;
    ci.offset = m_offset;
    ci.compressed = payloadLen;
    ci.uncompressed = m_chunk.size();
    ci.zstd = !compression.empty();

    Bytes head;
    head.push_back(kOpChunk);
    Put64(head, 8 + 8 + 8 + 4 + 4 + compression.size() + 8 + payloadLen);
    Put64(head, m_chunkStart);
    Put64(head, m_chunkEnd);
    Put64(head, m_chunk.size());
    Put32(head, Crc32(0, m_chunk.data(), m_chunk.size()));
    PutString(head, compression);
    Put64(head, payloadLen);
    ci.length = head.size() + payloadLen;

    Bytes indexes;
    for (const auto& entry : m_index) {
        ci.indexOffsets.emplace_back(entry.first, ci.offset + ci.length + indexes.size());
        size_t at = BeginRecord(indexes, kOpMessageIndex);
        Put16(indexes, entry.first);
        Put32(indexes, static_cast<uint32_t>(entry.second.size() * 16));
        for (const auto& te : entry.second) {
            Put64(indexes, te.first);
            Put64(indexes, te.second);
        }
        EndRecord(indexes, at);
    }
    ci.indexLength = indexes.size();

    const bool ok = WriteAll(head, payload, payloadLen, &indexes);
    m_chunk.clear();
    m_index.clear();
    if (m_chunk.capacity() > 4 * m_options.chunkBytes) Bytes().swap(m_chunk);  // after one huge image
    if (ok) m_chunkIndexes.push_back(std::move(ci));
    return ok;
}

Bytes Writer::Summary(uint64_t summaryStart, bool withChunkIndexes, uint64_t& offsetStart) const {
    // Summary groups, each a run of one opcode, then their offsets.
    Bytes summary, offsets;
    auto group = [&](Op op, const Bytes& records) {
        if (records.empty()) return;
        offsets.push_back(kOpSummaryOffset);
        Put64(offsets, 1 + 8 + 8);
        offsets.push_back(op);
        Put64(offsets, summaryStart + summary.size());
        Put64(offsets, records.size());
        summary.insert(summary.end(), records.begin(), records.end());
    };
    group(kOpSchema, m_schemas);
    group(kOpChannel, m_channels);
    Bytes stats;
    size_t at = BeginRecord(stats, kOpStatistics);
    Put64(stats, m_messages);
    Put16(stats, static_cast<uint16_t>(m_nextSchema - 1));
    Put32(stats, m_nextChannel);
    Put32(stats, 0);  // attachments
    Put32(stats, 0);  // metadata
    Put32(stats, static_cast<uint32_t>(m_chunkIndexes.size()));
    Put64(stats, m_messages ? m_firstTime : 0);
    Put64(stats, m_messages ? m_lastTime : 0);
    Put32(stats, static_cast<uint32_t>(m_channelCount.size() * 10));
    for (size_t c = 0; c < m_channelCount.size(); ++c) {
        Put16(stats, static_cast<uint16_t>(c));
        Put64(stats, m_channelCount[c]);
    }
    EndRecord(stats, at);
    group(kOpStatistics, stats);
    if (withChunkIndexes) {
        Bytes chunkIndexes;
        for (const ChunkIndex& ci : m_chunkIndexes) {
            size_t cat = BeginRecord(chunkIndexes, kOpChunkIndex);
            Put64(chunkIndexes, ci.start);
            Put64(chunkIndexes, ci.end);
            Put64(chunkIndexes, ci.offset);
            Put64(chunkIndexes, ci.length);
            Put32(chunkIndexes, static_cast<uint32_t>(ci.indexOffsets.size() * 10));
            for (const auto& io : ci.indexOffsets) {
                Put16(chunkIndexes, io.first);
                Put64(chunkIndexes, io.second);
            }
            Put64(chunkIndexes, ci.indexLength);
            PutString(chunkIndexes, ci.zstd ? "zstd" : "");
            Put64(chunkIndexes, ci.compressed);
            Put64(chunkIndexes, ci.uncompressed);
            EndRecord(chunkIndexes, cat);
        }
        group(kOpChunkIndex, chunkIndexes);
    }
    offsetStart = summaryStart + summary.size();
    summary.insert(summary.end(), offsets.begin(), offsets.end());
    return summary;
}

bool Writer::Close() {
    if (m_fd < 0) return !Failed();
    bool ok = FlushChunk();
    if (ok) {
        Bytes end;
        size_t at = BeginRecord(end, kOpDataEnd);
        Put32(end, m_dataCrc);
        EndRecord(end, at);
        ok = WriteBytes(end);
    }
    if (ok) {
        const uint64_t summaryStart = m_offset;
        uint64_t offsetStart = 0;
        Bytes tail = Summary(summaryStart, true, offsetStart);
        // The chunk indexes are what grows with a long recording; past the
        // summary limit they are left out (readers scan the chunks instead).
        if (tail.size() > kMaxSummaryBytes) tail = Summary(summaryStart, false, offsetStart);
        tail.push_back(kOpFooter);
        Put64(tail, kFooterContent);
        Put64(tail, summaryStart);
        Put64(tail, offsetStart);
        Put32(tail, Crc32(0, tail.data(), tail.size()));  // summary through summary_offset_start
        tail.insert(tail.end(), kMagic, kMagic + kMagicSize);
        ok = WriteBytes(tail);
    }
    if (file_io::Close(m_fd) != 0 && ok) {
        Fail("close failed", errno);
        ok = false;
    }
    m_fd = -1;
    return ok;
}

}  // namespace travik_mcap
