// Replays the parser fuzz targets' seeds through the entry functions the
// targets call (fuzz/parser_drivers.h): every seed keeps its parser's
// invariants, and the seeds of each target get past its refusals.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "parser_drivers.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Entry = bool (*)(const uint8_t*, size_t, travik_fuzz::ParseResult*);

std::vector<Bytes> Seeds(const std::string& target) {
    const std::string dir = std::string(TRAVIK_FUZZ_CORPUS_DIR) + "/" + target;
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    std::vector<Bytes> seeds;
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return seeds;
}

struct Target {
    const char* name;
    Entry entry;
};

void PrintTo(const Target& target, std::ostream* os) { *os << target.name; }

class ParserCorpus : public ::testing::TestWithParam<Target> {};

TEST_P(ParserCorpus, SeedsKeepTheInvariantsAndReachPastRefusals) {
    const std::vector<Bytes> seeds = Seeds(GetParam().name);
    ASSERT_GE(seeds.size(), 5u);
    size_t accepting = 0;
    for (size_t i = 0; i < seeds.size(); ++i) {
        SCOPED_TRACE(i);
        travik_fuzz::ParseResult r;
        EXPECT_TRUE(GetParam().entry(seeds[i].data(), seeds[i].size(), &r));
        if (r.accepted > 0) ++accepting;
    }
    EXPECT_GE(accepting * 2, seeds.size()) << "most seeds must be well-formed, or the fuzzer starts at the door";
}

INSTANTIATE_TEST_SUITE_P(Targets, ParserCorpus,
                         ::testing::Values(Target{"nats", travik_fuzz::DriveNatsMessages},
                                           Target{"websocket", travik_fuzz::DriveWebSocketMessages},
                                           Target{"http", travik_fuzz::DriveHttpRequest},
                                           Target{"protobuf", travik_fuzz::DriveProtobuf},
                                           Target{"addresses", travik_fuzz::DriveAddresses},
                                           Target{"nats_wire", travik_fuzz::DriveNatsWire}),
                         [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

// Inputs the campaigns found, kept here so that the fault stays mended.
TEST(ParserFindings, ServeAddressIsALiteralTheServerCanBind) {
    for (const std::string text : {"0.0.0.0:.0.0.0:80", "abc:8080", "1.2.3:80", "[::1]x]:80"}) {
        SCOPED_TRACE(text);
        travik_fuzz::ParseResult r;
        EXPECT_TRUE(travik_fuzz::DriveAddresses(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &r));
    }
}

}  // namespace
