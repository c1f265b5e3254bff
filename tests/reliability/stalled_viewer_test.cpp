// A viewer that stops reading must cost the device a bounded amount of
// memory, be cut once its output has made no progress for the deadline, and
// take nothing away from a healthy viewer on the same device.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "manager/manager_internal.h"
#include "reliability.h"
#include "support/test_support.h"
#include "transport/backlog_limits.h"

using namespace travik_rel;
using travik_test::RawClient;
using travik_test::StdoutCapture;
using Clock = std::chrono::steady_clock;

namespace {

// The number after `prefix` on the first line that starts with it, or -1.
long long NumberAfter(const std::string& text, const std::string& prefix) {
    size_t pos = text.find(prefix);
    if (pos == std::string::npos) return -1;
    return std::atoll(text.c_str() + pos + prefix.size());
}

}  // namespace

TEST(StalledViewer, BoundedMemoryDeadlineCutAndNoLossForTheHealthyViewer) {
    const int imageBytes = 64 * 1024;
    const long long holdSeconds = Pick(10, 60, 10);
    // The stalled viewer is cut 10 s after its output stopped moving; the
    // flush timer may add up to 5 s when nothing else wakes the loop.
    const double latestCut = static_cast<double>(travik::kNoProgressMicros) / 1e6 + travik::kFlushPeriodSeconds + 5;

    std::string error;
    std::string text;
    double cutAfter = -1;
    long long rssBase = 0, rssPeak = 0;
    LockstepStream::Stats stats;
    double streamSeconds = 0;
    {
        StdoutCapture capture;
        TravikMgr device;
        int port = travik_test::ListenOnAnyPort(device);
        RawClient stalled;
        LockstepStream stream(device, port, imageBytes);
        std::string acceptLine;
        // The stalled output can stop moving while the stream is still
        // starting (a loaded machine may take a second there): the cut is
        // timed from before, so that it is never early by the test's clock.
        const auto beforeStream = Clock::now();
        if (port < 0) {
            error = "device could not listen";
        } else if (!stalled.Connect(port, 1024)) {
            error = "stalled viewer could not connect";
        } else if (!travik_test::WaitForViewers(device, 1)) {
            error = "device did not accept the stalled viewer";
        } else if (!stream.Start()) {
            error = stream.Error();
        }
        if (error.empty()) {
            const int stalledFd = travik_test::DeviceSideFd(stalled.fd());
            std::string cutLine = "slow connection fd = " + std::to_string(stalledFd) + " closed";
            rssBase = travik_test::RssBytes();
            RssPeak peak;
            auto start = Clock::now();
            auto holdEnd = start + std::chrono::seconds(holdSeconds);
            auto giveUp = holdEnd + std::chrono::seconds(static_cast<long long>(latestCut) + 5);
            // Bounded by giveUp.
            while (Clock::now() < giveUp) {
                if (cutAfter < 0 && travik::ViewerCount(device) < 2) cutAfter = SecondsSince(beforeStream);
                if (cutAfter >= 0 && Clock::now() >= holdEnd) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            // Cut for its stalled output, and said so.
            if (cutAfter >= 0 &&
                !travik_test::WaitUntil([&] { return capture.Text().find(cutLine) != std::string::npos; }))
                error = "the stalled viewer left without \"" + cutLine + "\"";
            stream.Stop();
            streamSeconds = SecondsSince(start);
            peak.Stop();
            rssPeak = peak.Peak();
            stats = stream.Snapshot();
        }
        device.Release();
        text = capture.Text();
    }
    ASSERT_EQ(error, "");

    long long notTaken = NumberAfter(text, " closed: ");
    Figure("stalled_viewer.hold_s", holdSeconds);
    Figure("stalled_viewer.cut_after_s", cutAfter, 1);
    Figure("stalled_viewer.bytes_not_taken_MiB", MiB(notTaken), 1);
    Figure("stalled_viewer.device_rss_growth_MiB", MiB(rssPeak - rssBase), 1);
    Figure("stalled_viewer.healthy_images", static_cast<long long>(stats.delivered));
    Figure("stalled_viewer.healthy_images_per_s", static_cast<double>(stats.delivered) / streamSeconds, 0);
    Figure("stalled_viewer.healthy_misses", static_cast<long long>(stats.misses));
    Figure("stalled_viewer.healthy_max_latency_ms", stats.maxWaitMs, 1);

    EXPECT_GE(cutAfter, static_cast<double>(travik::kNoProgressMicros) / 1e6 - 0.5)
        << "the stalled viewer was cut before its output had been stuck for the deadline";
    EXPECT_GT(cutAfter, 0) << "the stalled viewer was never cut";
    EXPECT_LE(cutAfter, latestCut);
    EXPECT_NE(text.find("disconnect fd = "), std::string::npos);
    EXPECT_GT(stats.delivered, 100u) << "the healthy viewer hardly received anything";
    EXPECT_EQ(stats.misses, 0u);
    EXPECT_EQ(stats.orderErrors, 0u);
    EXPECT_EQ(stats.corrupt, 0u);
    if (MemoryJudged()) {
        // What the stalled connection may hold (images stop at the soft bound,
        // the frame that crossed it included), plus what the healthy viewer
        // and the allocator keep in flight.
        const long long bound = static_cast<long long>(travik::kSoftBacklogBytes) + 2LL * imageBytes + (16LL << 20);
        EXPECT_LE(rssPeak - rssBase, bound);
    }
}

// Log frames are never skipped, so a stalled viewer's backlog of log text
// grows to the hard bound, where the producer is refused until the
// no-progress deadline closes the viewer; the healthy viewer loses no line.
TEST(StalledViewer, LogFloodHitsTheHardBoundAndLosesNoLine) {
    const int lineBytes = 32 * 1024;
    const double floodSeconds = static_cast<double>(Pick(10, 30, 10));
    std::string error, text;
    double cutAfter = -1;
    long long rssBase = 0, rssPeak = 0, sentLines = 0, refused = 0;
    long long received = 0, gaps = 0;
    {
        StdoutCapture capture;
        TravikMgr device;
        TravikMgr viewer;
        int port = travik_test::ListenOnAnyPort(device);
        RawClient stalled;
        std::mutex mutex;
        std::condition_variable cond;
        long long next = 0;  // next line number the healthy viewer expects
        char ip[] = "127.0.0.1";
        if (port < 0 || !stalled.Connect(port, 1024) || !travik_test::WaitForViewers(device, 1)) {
            error = "setup";
        } else if (viewer.Connect(ip, port) != 0 || !travik_test::WaitForViewers(device, 2)) {
            error = "healthy viewer could not connect";
        } else {
            const int stalledFd = travik_test::DeviceSideFd(stalled.fd());
            std::string cutLine = "slow connection fd = " + std::to_string(stalledFd) + " closed";
            viewer.SetLogCb([&](std::string& chunk) {
                // Lines "#<n> xxxx...\n"; a frame carries one or more of them.
                std::lock_guard<std::mutex> lock(mutex);
                size_t pos = 0;
                while (pos < chunk.size()) {
                    size_t end = chunk.find('\n', pos);
                    if (end == std::string::npos) end = chunk.size();
                    long long n = std::atoll(chunk.c_str() + pos + 1);
                    if (chunk[pos] != '#' || n != next) ++gaps;
                    next = n + 1;
                    ++received;
                    pos = end + 1;
                }
                cond.notify_all();
            });
            viewer.SendCmd(1, 0, nullptr, 0);
            if (!travik_test::WaitUntil([&] { return device.m_logClosed.load() == 0; })) {
                error = "the log stream did not open";
            } else {
                rssBase = travik_test::RssBytes();
                RssPeak peak;
                auto start = Clock::now();
                std::string filler(static_cast<size_t>(lineBytes), 'x');
                // Bounded by floodSeconds (and at most 20 s past it for the cut).
                while (SecondsSince(start) < floodSeconds ||
                       (cutAfter < 0 && SecondsSince(start) < floodSeconds + 20)) {
                    std::string line = "#" + std::to_string(sentLines) + " " + filler + "\n";
                    if (device.SendLogInfo(line.data(), static_cast<int>(line.size())) == 0) {
                        ++sentLines;
                    } else {
                        ++refused;  // staging full: the same line again
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (cutAfter < 0 && travik::ViewerCount(device) < 2) cutAfter = SecondsSince(start);
                }
                if (cutAfter >= 0 &&
                    !travik_test::WaitUntil([&] { return capture.Text().find(cutLine) != std::string::npos; }))
                    error = "the stalled viewer left without \"" + cutLine + "\"";
                std::unique_lock<std::mutex> lock(mutex);
                cond.wait_for(lock, travik_test::Scaled(std::chrono::seconds(20)), [&] { return next >= sentLines; });
                peak.Stop();
                rssPeak = peak.Peak();
            }
        }
        viewer.Release();
        device.Release();
        text = capture.Text();
    }
    ASSERT_EQ(error, "");
    long long notTaken = NumberAfter(text, " closed: ");
    Figure("log_flood.lines_sent", sentLines);
    Figure("log_flood.MiB_per_s", MiB(sentLines * lineBytes) / floodSeconds, 1);
    Figure("log_flood.cut_after_s", cutAfter, 1);
    Figure("log_flood.bytes_not_taken_MiB", MiB(notTaken), 1);
    Figure("log_flood.device_rss_growth_MiB", MiB(rssPeak - rssBase), 1);
    Figure("log_flood.healthy_lines_missing", sentLines - received);
    ASSERT_GT(cutAfter, 0) << "the stalled viewer was never cut";
    EXPECT_LE(static_cast<size_t>(notTaken), travik::kHardBacklogBytes);
    EXPECT_EQ(received, sentLines);
    EXPECT_EQ(gaps, 0);
    if (!Sanitized()) {
        // At ~30 MiB/s the hard bound is reached long before the deadline,
        // which alone cuts the viewer.
        const double deadline = static_cast<double>(travik::kNoProgressMicros) / 1e6;
        EXPECT_GT(refused, 0);
        EXPECT_GE(cutAfter, deadline - 0.5);
        EXPECT_LT(cutAfter, deadline + 5);
    }
    if (MemoryJudged()) {
        // The stalled connection's backlog, the staged text and a constant.
        const long long bound = static_cast<long long>(travik::kHardBacklogBytes) + (16LL << 20) + (16LL << 20);
        EXPECT_LE(rssPeak - rssBase, bound);
    }
}
