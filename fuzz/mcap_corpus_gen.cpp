// Writes the MCAP reader's seeds for its limits, so that the fuzzer starts
// next to them: schema records at and over their size limit, more schemas
// and channels than are kept, a channel with too many metadata entries, and
// a file that reads whole with everything at its limit.
//   mcap_corpus_gen <corpus dir>   (writes <dir>/mcap_reader/limit_*.mcap)
#include <cstdio>
#include <string>
#include <vector>

#include "mcap_crafted.h"
#include "reader.h"

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
    return ok ? 0 : 1;
}
