// Writes an MCAP file: header, schema and channel records up front, then
// messages gathered into chunks (zstd-compressed or stored), each chunk
// followed by its message indexes, and on Close the data end record, a
// summary (schemas, channels, statistics, chunk indexes), summary offsets
// and the footer.
//
// Crash safety: each chunk and its indexes go to the file with one writev
// (on Windows, one write after another), so a process killed at any moment
// leaves every earlier chunk whole; a reader that finds no footer scans the
// chunks.
//
// Limits: the writer keeps every limit of format.h, so each file it
// finishes is one the reader takes whole. A message over kMaxMessageRecord
// is refused on its own (Write returns false, Failed() stays false, the
// file is unchanged); a schema or channel over its limits fails the writer.
//
// Threads: one thread at a time; every call may block on the disk. After a
// failed write the writer refuses everything and Error() says why.
#pragma once

#include <zstd.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "recording/mcap/format.h"

namespace travik_mcap {

struct WriterOptions {
    bool zstd = true;              // false: stored chunks
    int zstdLevel = 1;             // fast: the recorder keeps up with camera rates
    size_t chunkBytes = 4u << 20;  // uncompressed bytes that close a chunk (at most kMaxMessageRecord)
    std::string library = "travik";
};

class Writer {
public:
    Writer() = default;
    ~Writer();  // closes an open file without its summary (as after a crash)
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Creates (truncates) `path` and writes the magic and header.
    bool Open(const std::string& path, const WriterOptions& options, std::string& error);
    // Writes a schema record at once; returns its id (1, 2, ...), 0 on failure.
    uint16_t AddSchema(const std::string& name, const std::string& encoding, const std::string& data);
    // Writes a channel record at once; returns its id (0, 1, ...).
    uint16_t AddChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding,
                        const std::map<std::string, std::string>& metadata);
    // Whether a message of `dataLen` bytes is within the limits.
    static bool MessageFits(uint64_t dataLen) { return dataLen <= kMaxMessageRecord - kRecordPrefix - kMessageFixed; }
    // Adds one message (data = head then body, so callers need not join
    // them) to the open chunk, writing the chunk once it is full. False
    // with Failed() false: the message is over the limit and not written.
    bool Write(uint16_t channel, uint64_t logTime, uint64_t publishTime, const uint8_t* head, size_t headLen,
               const uint8_t* body, size_t bodyLen);
    // Writes the open chunk now, if it holds anything.
    bool FlushChunk();
    // Writes the open chunk, the summary and the footer, and closes the file.
    bool Close();

    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }
    uint64_t BytesWritten() const { return m_offset; }
    uint64_t Messages() const { return m_messages; }
    uint64_t ChunksWritten() const { return m_chunkIndexes.size(); }
    bool ChunkOpen() const { return !m_chunk.empty(); }

private:
    struct ChunkIndex {
        uint64_t start = 0, end = 0, offset = 0, length = 0, indexLength = 0, compressed = 0, uncompressed = 0;
        bool zstd = false;
        std::vector<std::pair<uint16_t, uint64_t>> indexOffsets;
    };

    bool WriteAll(const Bytes& head, const uint8_t* payload, size_t payloadLen, const Bytes* tail);
    bool WriteBytes(const Bytes& bytes);
    void Fail(const std::string& what, int err);
    void Refuse(const std::string& what);  // fails the writer: a record over a limit
    // The summary: schemas, channels, statistics and, when given, chunk indexes, then their offsets.
    Bytes Summary(uint64_t summaryStart, bool chunkIndexes, uint64_t& offsetStart) const;

    int m_fd = -1;
    std::string m_path;
    WriterOptions m_options;
    std::string m_error;
    uint64_t m_offset = 0;
    uint32_t m_dataCrc = 0;  // of every byte up to the data end record

    Bytes m_schemas;   // copies of the schema records, for the summary
    Bytes m_channels;  // and of the channel records
    uint16_t m_nextSchema = 1;
    uint16_t m_nextChannel = 0;
    uint64_t m_keptBytes = 0;              // of schemas and channels, as a reader counts them (KeptCost)
    std::vector<uint32_t> m_sequence;      // per channel
    std::vector<uint64_t> m_channelCount;  // messages per channel

    Bytes m_chunk;  // uncompressed records of the open chunk
    uint64_t m_chunkStart = 0, m_chunkEnd = 0;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> m_index;  // channel -> (time, offset)
    Bytes m_compressed;
    ZSTD_CCtx* m_zstd = nullptr;

    std::vector<ChunkIndex> m_chunkIndexes;
    uint64_t m_messages = 0;
    uint64_t m_firstTime = 0, m_lastTime = 0;
};

}  // namespace travik_mcap
