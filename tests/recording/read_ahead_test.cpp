// The replay's read-ahead through its public face: with a paused pacer (no
// Pop) it stops within its bounds, by items as well as by bytes and, when
// looping, by passes through the file, instead of re-reading a short
// recording and queueing without end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "recording/mcap/read_ahead.h"
#include "recording/mcap/recording.h"
#include "support/wait.h"

namespace {

using travik_mcap::ReadAhead;

class ReadAheadTest : public ::testing::Test {
protected:
    // A name of this case's own: ctest runs cases as parallel processes.
    void SetUp() override {
        m_path = ::testing::TempDir() + "travik_read_ahead_test_" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    void TearDown() override { std::remove(m_path.c_str()); }

    // `count` log texts of a few bytes each, one instant apart.
    void WriteLogs(int count) {
        travik_mcap::Writer writer;
        std::string error;
        ASSERT_TRUE(writer.Open(m_path, travik_mcap::WriterOptions(), error)) << error;
        travik_mcap::RecordingChannels ids;
        ASSERT_TRUE(travik_mcap::AddRecordingChannels(writer, ids));
        std::string scratch;
        for (int i = 0; i < count; ++i) {
            const std::string text = "l" + std::to_string(i % 10);
            ASSERT_TRUE(travik_mcap::WriteLog(writer, ids, 1000 + static_cast<uint64_t>(i),
                                              reinterpret_cast<const uint8_t*>(text.data()), text.size(), scratch));
        }
        ASSERT_TRUE(writer.Close()) << writer.Error();
    }

    // Waits, without popping, until the thread waits for room or has plainly
    // run past `passes` passes or `items` items; returns what it holds then.
    ReadAhead::Stats Settled(ReadAhead& ahead, uint64_t passes, size_t items) {
        ReadAhead::Stats s;
        EXPECT_TRUE(travik_test::WaitUntil(
            [&] {
                s = ahead.Snapshot();
                return s.waiting || s.passes > passes || s.items > items;
            },
            std::chrono::seconds(30)));
        return s;
    }

    std::string m_path;
};

TEST_F(ReadAheadTest, LoopingAShortRecordingWaitsForThePacerInsteadOfReReadingIt) {
    WriteLogs(1);
    travik_mcap::FileSource source;
    std::string error;
    ASSERT_TRUE(source.Open(m_path, error)) << error;
    travik_mcap::Reader reader(source);
    ReadAhead ahead(reader, true);
    const ReadAhead::Stats paused = Settled(ahead, 10 * travik_mcap::kReadAheadPasses, 100);
    EXPECT_TRUE(paused.waiting);
    EXPECT_LE(paused.passes, travik_mcap::kReadAheadPasses);
    EXPECT_LE(paused.items, 2 * travik_mcap::kReadAheadPasses);  // a message and an end per pass

    // Each item the pacer takes lets the thread go on by at most one pass.
    for (int i = 0; i < 6; ++i) {
        const travik_mcap::ReadAheadItem item = ahead.Pop();
        EXPECT_EQ(item.kind, i % 2 == 0 ? travik_mcap::ReadAheadItem::kLog : travik_mcap::ReadAheadItem::kEndOfPass);
        if (item.kind == travik_mcap::ReadAheadItem::kLog) {
            EXPECT_EQ(item.bytes, "l0");
        }
    }
    const ReadAhead::Stats later = Settled(ahead, 10 * travik_mcap::kReadAheadPasses + 3, 100);
    EXPECT_TRUE(later.waiting);
    EXPECT_LE(later.passes, travik_mcap::kReadAheadPasses + 3);
    ahead.Stop();
}

TEST_F(ReadAheadTest, TinyMessagesAreBoundedByTheirCountNotOnlyTheirBytes) {
    const int count = static_cast<int>(3 * travik_mcap::kReadAheadItems);
    WriteLogs(count);
    travik_mcap::FileSource source;
    std::string error;
    ASSERT_TRUE(source.Open(m_path, error)) << error;
    travik_mcap::Reader reader(source);
    {
        ReadAhead ahead(reader, false);
        const ReadAhead::Stats paused = Settled(ahead, 1, travik_mcap::kReadAheadItems);
        EXPECT_TRUE(paused.waiting);
        EXPECT_LE(paused.items, travik_mcap::kReadAheadItems);
        EXPECT_EQ(paused.passes, 1u);
        // Everything still arrives, in order, then the end.
        for (int i = 0; i < count; ++i) {
            const travik_mcap::ReadAheadItem item = ahead.Pop();
            ASSERT_EQ(item.kind, travik_mcap::ReadAheadItem::kLog) << i;
            ASSERT_EQ(item.bytes, "l" + std::to_string(i % 10));
        }
        EXPECT_EQ(ahead.Pop().kind, travik_mcap::ReadAheadItem::kEnd);
        EXPECT_EQ(ahead.Result().status, travik_mcap::ScanResult::kComplete);
        EXPECT_TRUE(ahead.Error().empty());
    }
}

}  // namespace
