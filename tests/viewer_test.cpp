// Viewer end to end: a device manager and a viewer manager in one process,
// talking over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "manager/manager_internal.h"
#include "support/raw_socket.h"
#include "support/test_support.h"
#include "transport/travik_transport.h"
#include "travik/travik.h"

using namespace std::chrono_literals;
using travik_test::ListenOnAnyPort;
using travik_test::ReservedPort;
using travik_test::StdoutCapture;
using travik_test::WaitUntil;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ImageBytes(unsigned long long tag) {
    Bytes b(100 + tag % 50);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 3 + tag);
    return b;
}

struct Received {
    int attr[5];
    unsigned long long tag;
    Bytes bytes;
};

// What the viewer's callbacks saw; they run on the viewer's loop thread.
class Inbox {
public:
    TravikLogCb LogCb() {
        return [this](std::string& text) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_log += text;
        };
    }
    TravikImageCb ImageCb() {
        return [this](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                      unsigned long long tag) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_images.push_back({{a1, a2, a3, a4, a5}, tag, Bytes(data.get(), data.get() + len)});
        };
    }
    std::string Log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }
    std::vector<Received> Images() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_images;
    }
    bool HasTag(unsigned long long tag) {
        for (const Received& r : Images()) {
            if (r.tag == tag) return true;
        }
        return false;
    }

private:
    std::mutex m_mutex;
    std::string m_log;
    std::vector<Received> m_images;
};

char g_loopback[] = "127.0.0.1";

// Stages one image on channel 0 (attr1 0, attr5 0) or 1 (attr1 1, attr5 3).
void Stage(TravikMgr& device, int channel, unsigned long long tag, int attr2) {
    Bytes b = ImageBytes(tag);
    const int attr1 = channel == 0 ? 0 : 1;
    const int attr5 = channel == 0 ? 0 : 3;
    EXPECT_EQ(0, device.SendImageData(attr1, attr2, 640 + channel, 480 + channel, attr5, b.data(),
                                      static_cast<int>(b.size()), tag));
}

// A device with one viewer whose image interval is 1 ms.
struct ImagePair {
    ImagePair() {
        port = ListenOnAnyPort(device);
        EXPECT_GT(port, 0);
        EXPECT_EQ(0, viewer.Connect(g_loopback, port));
        viewer.SetImageCb(inbox.ImageCb());
        EXPECT_TRUE(WaitUntil([&] { return device.IsConnected() == 1; }));
        viewer.SendCmd(0, 0, nullptr, 1);
        EXPECT_TRUE(WaitUntil([&] { return device.m_sendInterval.load() == 1; }));
    }
    ~ImagePair() {
        viewer.Release();
        device.Release();
    }
    Inbox inbox;
    TravikMgr device;
    TravikMgr viewer;
    int port = 0;
};

}  // namespace

TEST(Viewer, ConnectFailsForBadAddressAndClosedPort) {
    const ReservedPort closed;  // bound, never listening: connecting is refused
    {
        StdoutCapture out;
        TravikMgr viewer;
        char bad[] = "not-an-ip";
        EXPECT_EQ(-1, viewer.Connect(bad, closed.port()));
        EXPECT_EQ("inet_pton failed\n", out.Text());
        EXPECT_EQ(0, viewer.IsConnected());
    }
    TravikMgr viewer;
    EXPECT_EQ(-1, viewer.Connect(g_loopback, closed.port()));
    EXPECT_EQ(0, viewer.IsConnected());
    viewer.Release();
}

TEST(Viewer, LogsArriveOnlyAfterACommandOpensThemOnTheAllOnesConnectionId) {
    StdoutCapture out;
    TravikMgr device;
    const int port = ListenOnAnyPort(device);
    ASSERT_GT(port, 0);
    TravikMgr viewer;
    ASSERT_EQ(0, viewer.Connect(g_loopback, port));
    Inbox inbox;
    viewer.SetLogCb(inbox.LogCb());
    ASSERT_TRUE(WaitUntil([&] { return device.IsConnected() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return out.Text().find("accept connect fd = ") != std::string::npos; })) << out.Text();

    // Interpose on the viewer transport's delivery to see the connection id.
    std::atomic<unsigned long long> seenId{0};
    std::atomic<int> chunks{0};
    viewer.m_client->SetReadCb([&](unsigned long long id, std::shared_ptr<unsigned char>& data, int len) {
        seenId = id;
        ++chunks;
        viewer.ReadCallback(id, data, len);
    });

    char early[] = "early ";
    EXPECT_EQ(-1, device.SendLogInfo(early, 6)) << "the log stream starts closed";
    viewer.SendCmd(1, 0, nullptr, 0);
    char hello[] = "hello ";
    ASSERT_TRUE(WaitUntil([&] { return device.SendLogInfo(hello, 6) == 0; }));
    char world[] = "world";
    EXPECT_EQ(0, device.SendLogInfo(world, 5));
    ASSERT_TRUE(WaitUntil([&] { return inbox.Log() == "hello world"; })) << inbox.Log();
    EXPECT_GT(chunks.load(), 0);
    EXPECT_EQ(18446744073709551615ull, seenId.load());

    viewer.Release();
    device.Release();
}

TEST(Viewer, ImagesArriveIntactAfterTheFirstOfEachChannel) {
    ImagePair p;
    // The first image of each channel only starts its timer.
    for (unsigned long long i = 0; i < 400; ++i) {
        Stage(p.device, 0, 1000 + i, i % 2 == 0 ? 0 : 5);
        Stage(p.device, 1, 2000 + i, 6);
        std::this_thread::sleep_for(5ms);
        int ch0 = 0, ch1 = 0;
        for (const Received& r : p.inbox.Images()) (r.tag < 2000 ? ch0 : ch1)++;
        if (ch0 >= 3 && ch1 >= 3) break;
    }
    const std::vector<Received> got = p.inbox.Images();
    ASSERT_FALSE(got.empty());
    unsigned long long last[2] = {0, 0};
    int perChannel[2] = {0, 0};
    for (const Received& r : got) {
        SCOPED_TRACE(r.tag);
        const int ch = r.tag < 2000 ? 0 : 1;
        ++perChannel[ch];
        EXPECT_NE(ch == 0 ? 1000u : 2000u, r.tag) << "the first image of a channel is dropped";
        EXPECT_GT(r.tag, last[ch]) << "images of one channel arrive in staging order";
        last[ch] = r.tag;
        EXPECT_EQ(ImageBytes(r.tag), r.bytes);
        const int attr2 = ch == 1 ? 6 : ((r.tag - 1000) % 2 == 0 ? 1 : 5);  // attr2 0 travels as 1
        const int expect[5] = {ch, attr2, 640 + ch, 480 + ch, ch == 0 ? 0 : 3};
        for (int k = 0; k < 5; ++k) EXPECT_EQ(expect[k], r.attr[k]) << "attr" << k + 1;
    }
    EXPECT_GE(perChannel[0], 3);
    EXPECT_GE(perChannel[1], 3);
}

TEST(Viewer, SwitchingAChannelOffStopsOnlyThatChannel) {
    ImagePair p;
    // A newer image replaces an unsent one of its channel, so which tags
    // arrive depends on the send thread's pace; any one will do.
    auto channel1Seen = [&] {
        for (const Received& r : p.inbox.Images()) {
            if (r.tag >= 2000 && r.tag < 3000) return true;
        }
        return false;
    };
    for (unsigned long long i = 0; i < 400 && !channel1Seen(); ++i) {
        Stage(p.device, 0, 1000 + i, 1);
        Stage(p.device, 1, 2000 + i, 1);
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(channel1Seen()) << "channel 1 flows before the switch";

    int off[4] = {0, 2, 0, 0};
    p.viewer.SendCmd(0, 0, off, 0);
    ASSERT_TRUE(WaitUntil([&] { return p.device.m_sendImagesOnOff[1].load() == 0; }));
    auto channel0SeenAfterSwitch = [&] {
        for (const Received& r : p.inbox.Images()) {
            if (r.tag >= 3000 && r.tag < 4000) return true;
        }
        return false;
    };
    for (unsigned long long i = 0; i < 400 && !channel0SeenAfterSwitch(); ++i) {
        Stage(p.device, 0, 3000 + i, 1);
        Stage(p.device, 1, 4000 + i, 1);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(channel0SeenAfterSwitch()) << "channel 0 goes on";
    // A last channel-0 image: once it is in, everything staged before it is.
    std::this_thread::sleep_for(10ms);
    Stage(p.device, 0, 5000, 1);
    ASSERT_TRUE(WaitUntil([&] { return p.inbox.HasTag(5000); }));
    for (const Received& r : p.inbox.Images()) {
        EXPECT_FALSE(r.tag >= 4000 && r.tag < 5000) << "channel 1 image " << r.tag << " sent after switching it off";
    }
}

TEST(Viewer, DeviceReleaseEndsTheConnectionAndTheViewerCanStartAgain) {
    const ReservedPort reserved;  // the same port across listens
    const int port = reserved.port();
    TravikMgr device;
    ASSERT_EQ(0, device.Listen(port));
    TravikMgr viewer;
    ASSERT_EQ(0, viewer.Connect(g_loopback, port));
    Inbox first;
    viewer.SetLogCb(first.LogCb());
    ASSERT_TRUE(WaitUntil([&] { return device.IsConnected() == 1 && viewer.IsConnected() == 1; }));

    std::string text;
    {
        StdoutCapture out;  // checked after the capture ends, so failures show
        device.Release();
        WaitUntil([&] { return out.Text().find("connect done\n") != std::string::npos; });
        text = out.Text();
    }
    // The device's own "listen done" may land anywhere among the viewer's lines.
    const std::string listenDone = "listen done\n";
    const size_t at = text.find(listenDone);
    if (at != std::string::npos) text.erase(at, listenDone.size());
    EXPECT_EQ("Connection closed.\nConnection closed.\ndisconnect fd = -1 \nconnect done\n", text);
    EXPECT_TRUE(WaitUntil([&] { return viewer.IsConnected() == 0; }));

    // Start over on both sides: the new connection needs its own read
    // callback, which the first SetLogCb after Connect installs.
    ASSERT_EQ(0, device.Listen(port));
    viewer.Release();
    ASSERT_EQ(0, viewer.Connect(g_loopback, port));
    Inbox second;
    viewer.SetLogCb(second.LogCb());
    ASSERT_TRUE(WaitUntil([&] { return device.IsConnected() == 1; }));
    viewer.SendCmd(1, 0, nullptr, 0);
    char again[] = "again";
    ASSERT_TRUE(WaitUntil([&] { return device.SendLogInfo(again, 5) == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return second.Log() == "again"; })) << second.Log();
    EXPECT_EQ("", first.Log());
    viewer.Release();
    device.Release();
}

TEST(Viewer, ReleaseFromItsOwnCallbackStopsDeliveryWithoutWaitingForItself) {
    TravikMgr device;
    ASSERT_EQ(0, device.Listen(0));
    TravikMgr viewer;
    ASSERT_EQ(0, viewer.Connect(g_loopback, travik::ListeningPort(device)));
    std::atomic<int> calls{0};
    std::atomic<int> released{-2};
    std::atomic<long long> releaseMs{-1};
    viewer.SetLogCb([&](std::string&) {
        if (calls++ > 0) return;
        const auto start = std::chrono::steady_clock::now();
        released = viewer.Release();
        releaseMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    });
    ASSERT_TRUE(WaitUntil([&] { return travik::ViewerCount(device) == 1; }));
    viewer.SendCmd(1, 0, nullptr, 0);
    ASSERT_TRUE(WaitUntil([&] { return device.m_logClosed.load() == 0; }));
    char line[] = "line\n";
    for (int i = 0; i < 100000 && released.load() == -2; ++i) {
        device.SendLogInfo(line, 0);
        if (i % 64 == 63) std::this_thread::yield();
    }
    ASSERT_TRUE(WaitUntil([&] { return released.load() != -2; }));
    EXPECT_EQ(0, released.load());
    // Waiting for its own thread would have taken the whole release wait.
    EXPECT_LT(releaseMs.load(), travik::kReleaseWaitMs);
    EXPECT_TRUE(WaitUntil([&] { return travik::ViewerCount(device) == 0; })) << "the viewer's loop did not end";
    EXPECT_EQ(1, calls.load()) << "a callback started after Release";
    EXPECT_EQ(0, viewer.IsConnected());
    device.Release();
}

// The socket holds more than one read's worth when the callback releases:
// the bytes after the first read of that wake-up must not reach the host.
TEST(Viewer, ReleaseFromItsOwnCallbackStopsDeliveryOfBytesAlreadyWaiting) {
    ReservedPort held;
    const int listener = held.ListenToo();
    ASSERT_GE(listener, 0);
    TravikMgr viewer;
    ASSERT_EQ(0, viewer.Connect(g_loopback, held.port()));
    const int peer = travik_test::AcceptOn(listener);
    ASSERT_GE(peer, 0);
    const int viewerFd = travik_test::DeviceSideFd(peer);
    ASSERT_GE(viewerFd, 0);
    travik_test::SetReceiveBuffer(viewerFd, 4 << 20);
    auto frame = [](const std::string& text) {
        Bytes f;
        for (int v : {1, 0, static_cast<int>(text.size()) + 1, static_cast<int>(text.size()) + 1})
            travik_test::PutLE32(f, v);
        f.insert(f.end(), text.begin(), text.end());
        f.push_back(0);
        return f;
    };
    // The frame that makes the callback release, then frames that end
    // exactly at the first read chunk's end (256 KiB) and go on past it.
    Bytes rest = frame("release");
    const Bytes line = frame(std::string(26195, 'x'));
    for (int i = 0; i < 13; ++i) rest.insert(rest.end(), line.begin(), line.end());
    std::atomic<int> calls{0};
    std::atomic<bool> gated{false};
    viewer.SetLogCb([&](std::string& text) {
        ++calls;
        if (text == "gate") {
            // Holds the loop until everything waits in the socket.
            gated = true;
            WaitUntil(
                [&] { return travik_test::BytesWaiting(viewerFd) >= static_cast<int>((256u << 10) + line.size()); });
        } else if (text == "release") {
            viewer.Release();
        }
    });
    const Bytes gate = frame("gate");
    ASSERT_EQ(static_cast<long>(gate.size()), travik_test::SendBytes(peer, gate.data(), gate.size()));
    ASSERT_TRUE(WaitUntil([&] { return gated.load(); }));
    ASSERT_EQ(static_cast<long>(rest.size()), travik_test::SendBytes(peer, rest.data(), rest.size()));
    EXPECT_TRUE(WaitUntil([&] { return viewer.IsConnected() == 0 && calls.load() >= 2; }));
    // The loop has ended once the peer sees the connection close.
    char byte;
    EXPECT_TRUE(WaitUntil([&] { return travik_test::RecvBytes(peer, &byte, 1, true) == 0; }));
    EXPECT_EQ(2, calls.load()) << "a callback started after Release";
    travik_test::CloseSocket(peer);
    travik_test::CloseSocket(listener);
}
