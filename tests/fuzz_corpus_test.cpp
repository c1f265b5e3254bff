// Replays the fuzzers' committed corpus through the same entry functions the
// fuzz targets call, so that every build checks those inputs, sanitizers
// included, even without clang.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/frame_writer.h"
#include "receive_path_driver.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<std::string> CorpusFiles(const std::string& sub) {
    const std::string dir = std::string(TRAVIK_FUZZ_CORPUS_DIR) + "/" + sub;
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(FuzzCorpus, ReceivePathInputsKeepTheirInvariants) {
    const std::vector<std::string> files = CorpusFiles("receive_path");
    ASSERT_GE(files.size(), 5u);
    travik_test::StdoutCapture quiet;  // command frames print their effects
    int soundWithDeliveries = 0;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const Bytes in = ReadFile(f);
        ASSERT_FALSE(in.empty());
        travik_fuzz::DriveResult r;
        EXPECT_TRUE(travik_fuzz::DriveReceivePath(in.data(), in.size(), &r));
        if (r.wellFormed && r.deliveries > 0) ++soundWithDeliveries;
    }
    EXPECT_GE(soundWithDeliveries, 5) << "the seeds must exercise delivery, not only rejection";
}

TEST(FuzzCorpus, CommandInputsMatchTheModel) {
    const std::vector<std::string> files = CorpusFiles("command");
    ASSERT_GE(files.size(), 3u);
    travik_test::StdoutCapture quiet;
    int applied = 0;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const Bytes in = ReadFile(f);
        travik_fuzz::DriveResult r;
        EXPECT_TRUE(travik_fuzz::DriveCommandStream(in.data(), in.size(), &r));
        EXPECT_TRUE(r.wellFormed);
        applied += static_cast<int>(r.deliveries);
    }
    EXPECT_GE(applied, 5);
}

TEST(FuzzCorpus, DriverTellsSoundStreamsFromBrokenOnes) {
    // Only a stream whose frame headers are all sound is held to the
    // same-result-for-every-chunking rule.
    const travik::ByteBuffer a = travik::WriteLogFrame("one");
    Bytes sound = {3, 1, 2, 3};  // three cut bytes
    sound.insert(sound.end(), a.data.get(), a.data.get() + a.len);
    travik_fuzz::DriveResult r;
    EXPECT_TRUE(travik_fuzz::DriveReceivePath(sound.data(), sound.size(), &r));
    EXPECT_TRUE(r.wellFormed);
    EXPECT_EQ(1u, r.deliveries);

    Bytes bad = sound;
    bad[4] = 9;  // msgType 9
    EXPECT_TRUE(travik_fuzz::DriveReceivePath(bad.data(), bad.size(), &r));
    EXPECT_FALSE(r.wellFormed);
    EXPECT_EQ(0u, r.deliveries);
}
