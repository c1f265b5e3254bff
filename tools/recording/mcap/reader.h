// Reads an MCAP file record by record, without trusting it: every length
// is checked against the bytes that exist and against fixed caps before
// anything is allocated or read, so a truncated, corrupted or foreign file
// ends the scan with a message that names the offset.
//
// Messages are found by scanning the data section (chunks decompressed one
// at a time), which needs no summary: a file whose writer was killed reads
// up to its last whole chunk. The footer and summary, when present, are
// checked separately (ReadSummary).
//
// The work is split by job: reader.cpp scans the file and walks each
// chunk's records, chunk.cpp turns a chunk into its records, records.cpp
// parses schema, channel and message records and bounds what is kept of
// them, summary.cpp reads the footer and statistics.
//
// Threads: a Reader and its Source belong to one thread at a time; Scan and
// ReadSummary block on the Source's reads. The Reader borrows its Source for
// its whole life.
#pragma once

#include <zstd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "recording/mcap/format.h"
#include "recording/mcap/source.h"

namespace travik_mcap {

constexpr size_t kNotInChunk = SIZE_MAX;

struct Channel {
    uint16_t id = 0;
    uint16_t schemaId = 0;
    std::string topic;
    std::string messageEncoding;
    std::map<std::string, std::string> metadata;
};

struct Schema {
    uint16_t id = 0;
    std::string name;
    std::string encoding;
};

// Borrowed from the reader: `data` points into the reader's chunk buffer
// and is valid only during the callback that receives it.
struct Message {
    uint16_t channel = 0;
    uint32_t sequence = 0;
    uint64_t logTime = 0;
    uint64_t publishTime = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint64_t recordOffset = 0;  // file offset of the chunk (or record) holding it
};

struct ScanResult {
    enum Status { kComplete, kTruncated, kCorrupt, kStopped };
    Status status = kComplete;
    std::string error;               // for kTruncated and kCorrupt: what, and at which offset
    uint64_t chunks = 0;             // chunks read whole
    uint64_t compressedBytes = 0;    // their records, as stored
    uint64_t uncompressedBytes = 0;  // and decompressed
    uint64_t messages = 0;
    bool dataEnd = false;  // the data section ended with its end record
    // Chunks passed over: broken (bad compressed data, CRC, records) or over
    // the limits, but with a length that stays inside the file, so the scan
    // goes on after them. Messages of a chunk delivered before its fault was
    // found stay delivered. `skipped` says what the first one had, and where.
    uint64_t skippedChunks = 0;
    std::string skipped;
};

struct SummaryInfo {
    bool present = false;  // footer and trailing magic found
    bool hasStatistics = false;
    uint64_t messages = 0;
    uint32_t chunks = 0;
    uint64_t startTime = 0, endTime = 0;
};

class Reader {
public:
    explicit Reader(Source& source) : m_source(source) {}
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Visits every message in file order, on the calling thread; the
    // callback returns false to stop. Channels are known (Channels()) by
    // the time a message of theirs is delivered. A chunk over the limits of
    // format.h, or broken, is skipped and counted (ScanResult); anything
    // else over them, or a length past the end of the file, ends the scan as
    // kCorrupt (kTruncated for a file without its footer), naming the offset.
    using MessageFn = std::function<bool(const Channel&, const Message&)>;
    ScanResult Scan(const MessageFn& onMessage);

    // Reads the footer and the statistics of the summary, and checks that
    // every chunk its indexes name is within the file and the chunk limit.
    // False with `error` when a footer is there but broken or names such a
    // chunk; a file without a footer gives true with info.present false.
    bool ReadSummary(SummaryInfo& info, std::string& error);

    const std::map<uint16_t, Channel>& Channels() const { return m_channels; }
    const std::map<uint16_t, Schema>& Schemas() const { return m_schemas; }

private:
    bool ReadRecord(uint64_t offset, uint64_t len, std::vector<uint8_t>& out);
    bool ParseChunk(uint64_t offset, const std::vector<uint8_t>& content, const MessageFn& onMessage,
                    ScanResult& result);
    // The chunk record at `offset` (its content given) to its records:
    // `records` points into `content` or m_plain.
    bool ChunkRecords(uint64_t offset, const std::vector<uint8_t>& content, const uint8_t*& records, size_t& len,
                      ScanResult& result);
    // One record's content; `offset` is the record's, or its chunk's with
    // `inChunk` its byte inside the chunk (kNotInChunk otherwise). False
    // with result.error empty when the callback stopped the scan.
    bool ParseInner(uint8_t op, const uint8_t* p, size_t len, uint64_t offset, size_t inChunk,
                    const MessageFn& onMessage, ScanResult& result);
    // Accounts for an entry of `newCost` replacing one of `oldCost`.
    bool Keep(uint64_t oldCost, uint64_t newCost, uint64_t offset, size_t inChunk, ScanResult& result);
    bool HasTrailingMagic();

    Source& m_source;
    std::map<uint16_t, Channel> m_channels;
    std::map<uint16_t, Schema> m_schemas;
    uint64_t m_keptBytes = 0;  // of m_channels and m_schemas, as Keep counts it
    std::vector<uint8_t> m_record;
    std::vector<uint8_t> m_plain;
    ZSTD_DStream* m_zstd = nullptr;  // reused: a decoder per chunk costs more than small chunks
};

}  // namespace travik_mcap
