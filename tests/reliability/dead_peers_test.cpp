// Viewers that go silent without closing. The wire has no heartbeat, so the
// device has two ways to notice:
//  - a viewer whose output stops moving is cut by the no-progress deadline
//    (a stopped process, a frozen host with data in flight);
//  - an idle connection whose host has vanished is found by TCP keepalive
//    (10 s idle, then 3 probes 5 s apart).
// A stopped process on the same host is NOT found by keepalive: its kernel
// still answers the probes. That case is only caught once data is in
// flight, which the first test shows, and the third test documents.
#include <gtest/gtest.h>

#include <string>

#include "manager/manager_internal.h"
#include "reliability.h"
#include "support/test_support.h"
#include "transport/backlog_limits.h"

using namespace travik_rel;
using travik_test::StdoutCapture;
using Clock = std::chrono::steady_clock;

TEST(DeadPeers, StoppedViewerIsCutByTheNoProgressDeadline) {
    const int imageBytes = 64 * 1024;
    const double deadline = static_cast<double>(travik::kNoProgressMicros) / 1e6;
    std::string error, text;
    double detectedAfter = -1;
    LockstepStream::Stats stats;
    {
        StdoutCapture capture;
        TravikMgr device;
        int port = travik_test::ListenOnAnyPort(device);
        LockstepStream stream(device, port, imageBytes);
        Child viewer;
        std::string line;
        std::vector<int> before;
        if (port < 0 || !stream.Start()) {
            error = "setup: " + stream.Error();
        } else if ((before = travik_test::AcceptedFds(port)).size() != 1 ||
                   !viewer.Spawn({"viewer", std::to_string(port)}) ||
                   !viewer.WaitForLine("receiving", line, std::chrono::seconds(30)) ||
                   !travik_test::WaitForViewers(device, 2)) {
            error = "the viewer process did not receive images";
        } else {
            // The device's end of the process's connection: the one accepted
            // socket that is not the in-process viewer's.
            int fd = -1;
            for (int accepted : travik_test::AcceptedFds(port))
                if (accepted != before[0]) fd = accepted;
            std::string cut = "slow connection fd = " + std::to_string(fd) + " closed";
            const bool stopped = viewer.Suspend();
            if (!stopped) error = "the viewer process could not be stopped";
            auto start = Clock::now();
            // Bounded: 60 s.
            while (stopped && SecondsSince(start) < 60) {
                if (travik::ViewerCount(device) < 2) {
                    detectedAfter = SecondsSince(start);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            // Cut for the deadline, and said so.
            if (detectedAfter > 0 &&
                !travik_test::WaitUntil([&] { return capture.Text().find(cut) != std::string::npos; }))
                error = "the stopped viewer left without \"" + cut + "\"";
            viewer.Kill();
        }
        if (error.empty() && !stream.WaitForMore(10, std::chrono::seconds(10))) error = "the stream stopped";
        stream.Stop();
        stats = stream.Snapshot();
        device.Release();
        text = capture.Text();
    }
    ASSERT_EQ(error, "");
    Figure("dead_peers.stopped_streaming_viewer_cut_after_s", detectedAfter, 1);
    Figure("dead_peers.healthy_misses", static_cast<long long>(stats.misses));
    ASSERT_GT(detectedAfter, 0) << "the stopped viewer was not cut within 60 s";
    // The deadline counts from when the kernel buffers were full, a moment
    // after the stop; the flush timer may add up to its period.
    EXPECT_GE(detectedAfter, deadline - 0.5);
    EXPECT_LE(detectedAfter, deadline + travik::kFlushPeriodSeconds + (Sanitized() ? 30 : 10));
    EXPECT_EQ(stats.misses, 0u);
    EXPECT_EQ(stats.orderErrors + stats.corrupt, 0u);
}

// A host that vanishes (cable pulled, power lost) under an idle connection:
// simulated in a private network namespace whose loopback link goes down, so
// no packet, not even a reset, comes back. Keepalive must drop it after
// idle + interval * count seconds.
TEST(DeadPeers, VanishedHostIsDroppedByKeepalive) {
    const double expected = travik::kKeepAliveIdleSeconds +
                            static_cast<double>(travik::kKeepAliveIntervalSeconds) * travik::kKeepAliveCount;
    Child netns;
    ASSERT_TRUE(netns.Spawn({"netns-vanish"}));
    std::string line;
    ASSERT_TRUE(netns.ReadLine(line, std::chrono::seconds(static_cast<long long>(expected) + 120)));
    if (line.rfind("skip", 0) == 0) GTEST_SKIP() << "no private network namespace here: " << line;
    ASSERT_EQ(line.rfind("detected ", 0), 0u) << line;
    double seconds = std::atof(line.c_str() + 9) / 1000.0;
    Figure("dead_peers.vanished_idle_host_dropped_after_s", seconds, 1);
    EXPECT_GE(seconds, expected - travik::kKeepAliveIntervalSeconds);
    EXPECT_LE(seconds, expected + 5);
    EXPECT_EQ(netns.Wait(std::chrono::seconds(30)), 0);
}

// The limit of keepalive, measured: a stopped viewer process on the same
// host with nothing in flight stays connected, because its kernel answers
// the probes. Long mode only (it waits past the keepalive budget).
TEST(DeadPeers, StoppedIdleViewerOnTheSameHostOutlivesKeepalive) {
    if (!LongMode()) GTEST_SKIP() << "long mode only (TRAVIK_RELIABILITY_MODE=long)";
    const int hold = travik::kKeepAliveIdleSeconds + travik::kKeepAliveIntervalSeconds * travik::kKeepAliveCount + 15;
    std::string error, text;
    int connectedAfter = -1;
    {
        StdoutCapture capture;
        TravikMgr device;
        int port = travik_test::ListenOnAnyPort(device);
        Child viewer;
        std::string line;
        if (port < 0 || !viewer.Spawn({"viewer", std::to_string(port)}) ||
            !viewer.WaitForLine("connected", line, std::chrono::seconds(30)) ||
            !travik_test::WaitUntil([&] { return device.IsConnected() == 1; })) {
            error = "setup";
        } else {
            const bool stopped = viewer.Suspend();
            if (!stopped) error = "the viewer process could not be stopped";
            // Watches the connection for the whole hold; a drop ends it early.
            auto start = Clock::now();
            while (stopped && SecondsSince(start) < hold && device.IsConnected() == 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            connectedAfter = device.IsConnected();
            viewer.Kill();
        }
        device.Release();
        text = capture.Text();
    }
    ASSERT_EQ(error, "");
    Figure("dead_peers.stopped_idle_viewer_still_connected_after_s", connectedAfter == 1 ? hold : -1);
    // Nothing to send, nothing stuck: the device has no reason to drop it,
    // and keepalive cannot tell a stopped process from a quiet one.
    EXPECT_EQ(connectedAfter, 1);
    EXPECT_EQ(text.find("slow connection"), std::string::npos);
}
