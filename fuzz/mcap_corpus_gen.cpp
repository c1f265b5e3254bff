// Writes the MCAP reader's seeds for its limits, so that the fuzzer starts
// next to them: schema records at and over their size limit, more schemas
// and channels than are kept, a channel with too many metadata entries, and
// a file that reads whole with everything at its limit, and files that make
// a reader without the limits hold more than the fuzzer's memory limit.
//   mcap_corpus_gen <corpus dir>   (writes <dir>/mcap_reader/limit_*.mcap)
#include <cstdio>
#include <string>
#include <vector>

#include "mcap_crafted.h"
#include "recording/mcap/reader.h"

using namespace travik_fuzz;

namespace {

bool Write(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (ok) std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/mcap_reader/";
    const size_t nameAtLimit = travik_mcap::kMaxRecordBytes - kSchemaRecordFixed;
    const int level = 19;

    std::vector<Bytes> schemas;  // at the record limit, one more than the bytes kept allow
    for (uint16_t id = 1; id <= travik_mcap::kMaxKeptBytes / travik_mcap::kMaxRecordBytes + 1; ++id)
        schemas.push_back(SchemaRecord(id, nameAtLimit));
    std::vector<Bytes> channels;
    for (uint16_t id = 1; id <= travik_mcap::kMaxChannels + 1; ++id) channels.push_back(ChannelRecord(id, 2));

    bool ok = Write(dir + "limit_whole.mcap",
                    CraftedMcap({Concat({SchemaRecord(1, nameAtLimit),
                                         ChannelRecord(1, travik_mcap::kMaxMetadataEntries), MessageRecord(1)})},
                                level));
    ok = Write(dir + "limit_schema_over.mcap", CraftedMcap({SchemaRecord(1, nameAtLimit + 1)}, level)) && ok;
    ok = Write(dir + "limit_schemas_kept.mcap", CraftedMcap(schemas, level)) && ok;
    ok = Write(dir + "limit_channels.mcap", CraftedMcap({Concat(channels)}, level)) && ok;
    ok = Write(dir + "limit_metadata.mcap",
               CraftedMcap({Concat({ChannelRecord(1, travik_mcap::kMaxMetadataEntries + 1), MessageRecord(1)})},
                           level)) &&
         ok;
    // The shapes that took a reader without these limits past a gigabyte
    // from a small file: schema records of 60 MiB in 20 chunks, and 8192
    // channels with 1024 metadata entries each, 1024 to a chunk.
    std::vector<Bytes> huge;
    for (uint16_t id = 1; id <= 20; ++id) huge.push_back({SchemaRecord(id, 60u << 20)});
    ok = Write(dir + "limit_schemas_huge.mcap", CraftedMcap(huge, level)) && ok;
    std::vector<Bytes> heavy;
    for (uint16_t chunk = 0; chunk < 8; ++chunk) {
        std::vector<Bytes> records;
        for (uint16_t i = 1; i <= 1024; ++i)
            records.push_back(ChannelRecord(static_cast<uint16_t>(chunk * 1024 + i), travik_mcap::kMaxMetadataEntries));
        heavy.push_back(Concat(records));
    }
    ok = Write(dir + "limit_metadata_heavy.mcap", CraftedMcap(heavy, level)) && ok;
    return ok ? 0 : 1;
}
