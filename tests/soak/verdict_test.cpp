// The rules that pass or fail a soak: memory growth on noisy curves,
// descriptors and threads back at their baseline, and the table that
// reports them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report.h"
#include "verdict.h"

namespace {

using namespace travik_soak;

constexpr double kMiB = 1024.0 * 1024.0;

TEST(SoakVerdict, MemoryGrowthIgnoresNoiseAndCatchesALeak) {
    // 40 MiB with allocator noise and two single spikes of 60 MiB: no growth.
    std::vector<double> noisy;
    for (int i = 0; i < 36; ++i) noisy.push_back((40 + (i % 3) - 1) * kMiB);
    noisy[5] = noisy[30] = 100 * kMiB;
    GrowthVerdict v = JudgeGrowth(noisy);
    EXPECT_TRUE(v.judged);
    EXPECT_FALSE(v.grew);

    // A leak of 1 MiB a sample: 35 MiB over the run, past the 16 MiB floor.
    std::vector<double> leak;
    for (int i = 0; i < 36; ++i) leak.push_back((40 + i) * kMiB);
    v = JudgeGrowth(leak);
    EXPECT_TRUE(v.grew);
    EXPECT_GT(v.lateBytes, v.earlyBytes);

    // A large process is allowed a quarter of its size: 400 -> 480 MiB is
    // within it, 400 -> 520 MiB is not.
    std::vector<double> big(12, 400 * kMiB);
    for (int i = 8; i < 12; ++i) big[static_cast<size_t>(i)] = 480 * kMiB;
    EXPECT_FALSE(JudgeGrowth(big).grew);
    for (int i = 8; i < 12; ++i) big[static_cast<size_t>(i)] = 520 * kMiB;
    EXPECT_TRUE(JudgeGrowth(big).grew);

    // Too few samples to tell: not judged, never failed.
    EXPECT_FALSE(JudgeGrowth(std::vector<double>(kMinGrowthSamples - 1, 1.0)).judged);
    EXPECT_FALSE(
        JudgeGrowth({1 * kMiB, 1 * kMiB, 1 * kMiB, 1 * kMiB, 500 * kMiB, 500 * kMiB, 500 * kMiB, 500 * kMiB}).grew);
}

TEST(SoakVerdict, DescriptorsAndThreadsMustReturnToTheBaseline) {
    ProcStats base;
    base.rssBytes = 1;
    base.fds = 10;
    base.threads = 8;
    ProcStats now = base;
    EXPECT_TRUE(BackToBaseline(base, now));
    EXPECT_EQ(AboveBaseline(base, now), "");
    now.fds = 9;  // fewer is fine
    EXPECT_TRUE(BackToBaseline(base, now));
    now.fds = 12;
    now.threads = 9;
    EXPECT_FALSE(BackToBaseline(base, now));
    EXPECT_EQ(AboveBaseline(base, now), "fds 12 > 10, threads 9 > 8");
    EXPECT_FALSE(BackToBaseline(base, ProcStats()));  // the process has gone
}

TEST(SoakReport, TableKeepsFirstAndLastRowsWithinItsLimit) {
    std::vector<SampleRow> rows;
    for (int i = 0; i < 100; ++i) {
        SampleRow r;
        r.seconds = i * 10;
        r.phase = i == 99 ? "end" : "churn";
        r.procs.push_back(ProcStats{static_cast<long long>(i) << 20, i, 4});
        rows.push_back(r);
    }
    const std::string table = MarkdownTable({"device"}, rows, 25);
    int lines = 0;
    for (char c : table) lines += c == '\n';
    EXPECT_EQ(lines, 2 + 25);  // header, rule, rows
    EXPECT_NE(table.find("| 0.0 | churn | 0.0 | 0 | 4 |"), std::string::npos);
    EXPECT_NE(table.find("| 16.5 | end | 99.0 | 99 | 4 |"), std::string::npos);
    rows.resize(3);
    const std::string small = MarkdownTable({"device"}, rows, 25);
    lines = 0;
    for (char c : small) lines += c == '\n';
    EXPECT_EQ(lines, 2 + 3);
}

}  // namespace
