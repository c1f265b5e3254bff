// MCAP container layout shared by the writer and the reader: magic, record
// opcodes and little-endian field helpers. Pure functions, any thread.
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
