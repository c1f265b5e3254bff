// Anyone can connect to a device's port. Thousands of connections that send
// random bytes must not take the device down, grow it, leak descriptors or
// disturb a healthy viewer; any command state they manage to change is
// counted and reported.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "reliability.h"
#include "support/test_support.h"

using namespace travik_rel;
using travik_test::RawClient;
using travik_test::StdoutCapture;
using Clock = std::chrono::steady_clock;

namespace {

struct GarbageTotals {
    std::atomic<long long> bytes{0};
    std::atomic<long long> chunks{0};
    std::atomic<int> plausibleHeaders{0};
    std::atomic<int> failures{0};
};

// Connection `index`: 1..4096 random bytes in random chunks, each chunk its
// own segment. One connection in four starts with a header that passes the
// first checks (known kind, small size) so that the reassembly and decoders
// see garbage too, not only the header check. One in four ends with a reset.
void SendGarbage(int port, int index, GarbageTotals& totals) {
    std::mt19937 rng(0xC0FFEEu + static_cast<unsigned>(index));
    int len = std::uniform_int_distribution<int>(1, 4096)(rng);
    std::vector<unsigned char> bytes(static_cast<size_t>(len));
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(rng());
    if (index % 4 == 1 && len >= 16) {
        std::vector<unsigned char> header;
        travik_test::PutLE32(header, std::uniform_int_distribution<int>(1, 3)(rng));
        travik_test::PutLE32(header, std::uniform_int_distribution<int>(0, 1)(rng));
        travik_test::PutLE32(header, std::uniform_int_distribution<int>(0, 8192)(rng));
        travik_test::PutLE32(header, static_cast<int32_t>(rng()));
        std::copy(header.begin(), header.end(), bytes.begin());
        ++totals.plausibleHeaders;
    }
    RawClient client;
    if (!client.Connect(port)) {
        ++totals.failures;
        return;
    }
    NoDelay(client.fd());
    size_t sent = 0;
    while (sent < bytes.size()) {
        size_t chunk = std::uniform_int_distribution<size_t>(1, std::min<size_t>(512, bytes.size() - sent))(rng);
        if (!client.Send(bytes.data() + sent, chunk)) {
            ++totals.failures;
            return;
        }
        sent += chunk;
        ++totals.chunks;
    }
    totals.bytes += static_cast<long long>(sent);
    if (index % 4 == 3) {
        ResetOnClose(client.fd());
    }
}

}  // namespace

TEST(Garbage, RandomBytesFromThousandsOfConnections) {
    const int connections = static_cast<int>(Pick(1000, 10000, 300));
    const int workers = 4;
    const int imageBytes = 16 * 1024;

    std::string error, text;
    GarbageTotals totals;
    LockstepStream::Stats stats;
    long long rssBase = 0, rssPeak = 0;
    int fdsBase = 0, fdsAfter = 0;
    int linesBefore = 0, steeringSent = 0, steeringApplied = 0;
    bool servedAfter = false, fdsBack = false;
    double garbageSeconds = 0;
    int imageClosed = -1, interval = -1, channelsOn = -1;
    {
        StdoutCapture capture;
        TravikMgr device;
        int port = travik_test::ListenOnAnyPort(device);
        LockstepStream stream(device, port, imageBytes);
        if (port < 0) {
            error = "device could not listen";
        } else if (!stream.Start()) {
            error = stream.Error();
        } else {
            fdsBase = travik_test::OpenFdCount();
            rssBase = travik_test::RssBytes();
            RssPeak peak;
            linesBefore = CountLinesStartingWith(capture.Text(), "m_");

            std::atomic<bool> garbageDone{false};
            // The healthy viewer steers the device all along: it opens and
            // closes the log stream and checks that each command took effect.
            std::thread steering([&] {
                int logSwitch = 1;
                while (!garbageDone.load()) {
                    stream.Viewer().SendCmd(logSwitch, 0, nullptr, 0);
                    ++steeringSent;
                    int expected = logSwitch == 1 ? 0 : 1;
                    if (travik_test::WaitUntil([&] { return device.m_logClosed.load() == expected; },
                                               std::chrono::seconds(10))) {
                        ++steeringApplied;
                    }
                    logSwitch = logSwitch == 1 ? 2 : 1;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });

            auto start = Clock::now();
            std::atomic<int> next{0};
            std::vector<std::thread> pool;
            for (int w = 0; w < workers; ++w) {
                pool.emplace_back([&] {
                    for (int i = next++; i < connections; i = next++) SendGarbage(port, i, totals);
                });
            }
            for (std::thread& t : pool) t.join();
            garbageSeconds = SecondsSince(start);
            garbageDone = true;
            steering.join();

            fdsBack = travik_test::WaitUntil([&] { return travik_test::OpenFdCount() == fdsBase; });
            fdsAfter = travik_test::OpenFdCount();
            if (!stream.WaitForMore(10, std::chrono::seconds(10))) error = "the stream stopped after the garbage";
            RawClient newcomer;
            std::vector<unsigned char> frame;
            servedAfter = newcomer.Connect(port) && newcomer.ReadFrame(frame);
            newcomer.Close();
            stream.Stop();
            stats = stream.Snapshot();
            peak.Stop();
            rssPeak = peak.Peak();
            imageClosed = device.m_imageClosed.load();
            interval = device.m_sendInterval.load();
            channelsOn = 0;
            for (int i = 0; i < 4; ++i) channelsOn += device.m_sendImagesOnOff[i].load() == 1 ? 1 : 0;
        }
        device.Release();
        text = capture.Text();
    }
    ASSERT_EQ(error, "");

    // Every steering command prints exactly one "m_logClosed" line; any other
    // "m_..." line since the garbage started was caused by garbage.
    int stateLines = CountLinesStartingWith(text, "m_") - linesBefore;
    int changedByGarbage = stateLines - steeringSent;
    Figure("garbage.connections", connections);
    Figure("garbage.bytes", totals.bytes.load());
    Figure("garbage.chunks", totals.chunks.load());
    Figure("garbage.connections_with_plausible_header", totals.plausibleHeaders.load());
    Figure("garbage.seconds", garbageSeconds, 1);
    Figure("garbage.device_up", servedAfter ? "yes" : "no");
    Figure("garbage.device_rss_growth_MiB", MiB(rssPeak - rssBase), 1);
    Figure("garbage.fds_base_after", std::to_string(fdsBase) + " / " + std::to_string(fdsAfter));
    Figure("garbage.healthy_images", static_cast<long long>(stats.delivered));
    Figure("garbage.healthy_misses", static_cast<long long>(stats.misses));
    Figure("garbage.steering_commands_applied", std::to_string(steeringApplied) + " / " + std::to_string(steeringSent));
    Figure("garbage.command_state_changes_by_garbage", changedByGarbage);

    EXPECT_EQ(totals.failures.load(), 0);
    EXPECT_TRUE(servedAfter) << "the device did not serve a new viewer after the garbage";
    EXPECT_TRUE(fdsBack) << fdsAfter << " descriptors, " << fdsBase << " before";
    EXPECT_EQ(stats.misses, 0u);
    EXPECT_EQ(stats.orderErrors + stats.corrupt, 0u);
    EXPECT_EQ(steeringApplied, steeringSent);
    EXPECT_GT(steeringSent, 0);
    // Random bytes make a valid command with a chance of about 2^-64; a
    // change here means the device took garbage for a command.
    EXPECT_EQ(changedByGarbage, 0) << "garbage changed the device's command state";
    EXPECT_EQ(imageClosed, 0);
    EXPECT_EQ(interval, 1);
    EXPECT_EQ(channelsOn, 4);
    if (MemoryJudged()) {
        EXPECT_LT(rssPeak - rssBase, 16LL << 20);
    }
}
