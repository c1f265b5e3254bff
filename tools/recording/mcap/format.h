// MCAP container layout shared by the writer and the reader: magic, record
// opcodes, the limits both keep and little-endian field helpers. Pure
// functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace travik_mcap {

// 0x89 "MCAP" '0' "\r\n": starts and ends every file.
constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', 0x30, '\r', '\n'};
constexpr size_t kMagicSize = sizeof kMagic;
// Opcode byte plus the uint64 content length in front of every record.
constexpr size_t kRecordPrefix = 9;

enum Op : uint8_t {
    kOpHeader = 0x01,
    kOpFooter = 0x02,
    kOpSchema = 0x03,
    kOpChannel = 0x04,
    kOpMessage = 0x05,
    kOpChunk = 0x06,
    kOpMessageIndex = 0x07,
    kOpChunkIndex = 0x08,
    kOpStatistics = 0x0B,
    kOpSummaryOffset = 0x0E,
    kOpDataEnd = 0x0F,
};

// Footer content: summary_start, summary_offset_start, summary_crc.
constexpr size_t kFooterContent = 8 + 8 + 4;
// Message content before its data: channel_id, sequence, log_time, publish_time.
constexpr size_t kMessageFixed = 2 + 4 + 8 + 8;

// Limits: the reader refuses what is past them (a crafted file must not
// make it allocate without bound), and the writer never writes past them,
// so every file it finishes reads back whole. One definition each.
//
// A chunk record's content, and its records once decompressed.
constexpr uint64_t kMaxChunkBytes = 128ull << 20;
// A chunk's content ahead of its records: start and end time, decompressed
// size, CRC, compression name (at most "zstd") and the records' length.
constexpr uint64_t kChunkHeaderMax = 8 + 8 + 8 + 4 + 4 + 4 + 8;
// A message record (prefix, fixed fields and data): one that fits, stored
// alone with that header, makes a chunk within kMaxChunkBytes.
constexpr uint64_t kMaxMessageRecord = kMaxChunkBytes - kChunkHeaderMax;
// Schema and channel records, and the summary (summary start to footer).
constexpr uint64_t kMaxRecordBytes = 1ull << 20;
constexpr uint64_t kMaxSummaryBytes = kMaxChunkBytes;
// What a reader keeps of schemas and channels across chunks. travik's own
// recordings have five schemas and seventeen channels; these leave room for
// other writers' files while bounding what a crafted one can make a reader
// hold.
constexpr size_t kMaxSchemas = 1024;
constexpr size_t kMaxChannels = 4096;
constexpr size_t kMaxMetadataEntries = 1024;     // per channel
constexpr uint64_t kMaxKeptBytes = 16ull << 20;  // names, metadata and their bookkeeping, as KeptCost counts them
// What keeping `entries` entries (a schema or channel and its metadata
// pairs) whose strings total `stringBytes` costs: the map node, the string
// headers and the allocator's share, roughly, per entry.
inline uint64_t KeptCost(uint64_t entries, uint64_t stringBytes) { return 96 * entries + stringBytes; }

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& out, uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Put64(Bytes& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void PutString(Bytes& out, const std::string& s) {
    Put32(out, static_cast<uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}
// Starts a record: opcode and a length placeholder. EndRecord fills it in.
inline size_t BeginRecord(Bytes& out, Op op) {
    out.push_back(op);
    size_t at = out.size();
    Put64(out, 0);
    return at;
}
inline void EndRecord(Bytes& out, size_t at) {
    uint64_t len = out.size() - at - 8;
    for (int i = 0; i < 8; ++i) out[at + i] = static_cast<uint8_t>(len >> (8 * i));
}

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
    return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

// CRC-32 (the zlib polynomial) continued from `crc`.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t len);

}  // namespace travik_mcap
