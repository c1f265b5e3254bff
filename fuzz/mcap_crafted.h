// Hand-made MCAP files for the reader's limits, shared by the seed generator
// (mcap_corpus_gen.cpp) and the reader's tests: a header, chunks of the given
// records (zstd, so that megabytes of names cost a few bytes of file), and
// the data end record. Pure functions, any thread.
#pragma once

#include <zstd.h>

#include <string>
#include <vector>

#include "recording/mcap/format.h"

namespace travik_fuzz {

using travik_mcap::Bytes;

inline Bytes McapRecord(travik_mcap::Op op, const Bytes& content) {
    Bytes out;
    size_t at = travik_mcap::BeginRecord(out, op);
    out.insert(out.end(), content.begin(), content.end());
    travik_mcap::EndRecord(out, at);
    return out;
}

// A schema record whose name is `nameBytes` long (its content is 15 bytes more).
inline Bytes SchemaRecord(uint16_t id, size_t nameBytes) {
    Bytes c;
    travik_mcap::Put16(c, id);
    travik_mcap::PutString(c, std::string(nameBytes, 's'));
    travik_mcap::PutString(c, "e");
    travik_mcap::Put32(c, 0);
    return McapRecord(travik_mcap::kOpSchema, c);
}
constexpr size_t kSchemaRecordFixed = 2 + 4 + 4 + 1 + 4;

// A schemaless channel "/t<id>" with `metadataPairs` entries.
inline Bytes ChannelRecord(uint16_t id, size_t metadataPairs) {
    Bytes c, map;
    travik_mcap::Put16(c, id);
    travik_mcap::Put16(c, 0);
    travik_mcap::PutString(c, "/t" + std::to_string(id));
    travik_mcap::PutString(c, "text/plain");
    for (size_t i = 0; i < metadataPairs; ++i) {
        travik_mcap::PutString(map, std::to_string(i));
        travik_mcap::PutString(map, "");
    }
    travik_mcap::Put32(c, static_cast<uint32_t>(map.size()));
    c.insert(c.end(), map.begin(), map.end());
    return McapRecord(travik_mcap::kOpChannel, c);
}

inline Bytes MessageRecord(uint16_t channel) {
    Bytes c;
    travik_mcap::Put16(c, channel);
    travik_mcap::Put32(c, 0);
    travik_mcap::Put64(c, 1);
    travik_mcap::Put64(c, 1);
    c.push_back('x');
    return McapRecord(travik_mcap::kOpMessage, c);
}

inline Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A file of one zstd chunk per element of `chunks` (each the chunk's
// records), compressed at `level`.
inline Bytes CraftedMcap(const std::vector<Bytes>& chunks, int level = 1) {
    Bytes file(travik_mcap::kMagic, travik_mcap::kMagic + travik_mcap::kMagicSize);
    Bytes header;
    travik_mcap::PutString(header, "");
    travik_mcap::PutString(header, "crafted");
    Bytes out = McapRecord(travik_mcap::kOpHeader, header);
    file.insert(file.end(), out.begin(), out.end());
    for (const Bytes& records : chunks) {
        Bytes packed(ZSTD_compressBound(records.size()));
        packed.resize(ZSTD_compress(packed.data(), packed.size(), records.data(), records.size(), level));
        Bytes c;
        travik_mcap::Put64(c, 0);
        travik_mcap::Put64(c, 0);
        travik_mcap::Put64(c, records.size());
        travik_mcap::Put32(c, 0);
        travik_mcap::PutString(c, "zstd");
        travik_mcap::Put64(c, packed.size());
        c.insert(c.end(), packed.begin(), packed.end());
        out = McapRecord(travik_mcap::kOpChunk, c);
        file.insert(file.end(), out.begin(), out.end());
    }
    out = McapRecord(travik_mcap::kOpDataEnd, Bytes(4, 0));
    file.insert(file.end(), out.begin(), out.end());
    return file;
}

}  // namespace travik_fuzz
