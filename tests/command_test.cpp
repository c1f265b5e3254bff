// Control commands: the exact bytes SendCmd puts on the wire, and how a
// listening device applies and announces them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/raw_socket.h"
#include "support/test_support.h"
#include "travik/travik.h"

using namespace std::chrono_literals;
using travik_test::ListenOnAnyPort;
using travik_test::PutLE32;
using travik_test::RawClient;
using travik_test::StdoutCapture;
using travik_test::WaitUntil;

namespace {

using Bytes = std::vector<unsigned char>;

// A plain listening socket on 127.0.0.1 standing in for a device, so that
// the viewer's bytes can be read exactly as sent.
class RawListener {
public:
    RawListener() {
        m_fd = travik_test::ListenOnLoopback(&port);
        if (m_fd < 0) ADD_FAILURE() << "cannot listen on loopback";
    }
    ~RawListener() {
        travik_test::CloseSocket(m_peer);
        travik_test::CloseSocket(m_fd);
    }
    bool Accept() {
        if (!travik_test::WaitReadable(m_fd,
                                       static_cast<int>(travik_test::Scaled(std::chrono::milliseconds(5000)).count())))
            return false;
        m_peer = travik_test::AcceptOn(m_fd);
        return m_peer >= 0;
    }
    // Reads exactly `n` bytes within `timeout`.
    bool Read(Bytes& out, size_t n, std::chrono::milliseconds timeout) {
        out.assign(n, 0);
        size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + travik_test::Scaled(timeout);
        while (got < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !travik_test::WaitReadable(m_peer, static_cast<int>(left.count()))) return false;
            long r = travik_test::RecvBytes(m_peer, out.data() + got, n - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    // True when the peer closes within `timeout` without sending anything.
    bool ClosesWithoutData(std::chrono::milliseconds timeout) {
        if (!travik_test::WaitReadable(m_peer, static_cast<int>(travik_test::Scaled(timeout).count()))) return false;
        char c;
        return travik_test::RecvBytes(m_peer, &c, 1) == 0;
    }

    int port = 0;

private:
    int m_fd = -1;
    int m_peer = -1;
};

Bytes CmdBytes(std::initializer_list<int32_t> fields) {
    Bytes out;
    for (int32_t v : fields) PutLE32(out, v);
    return out;
}

// The lines the command handling printed, in order.
std::string CommandLines(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 2, "m_") == 0) out += text.substr(at, end - at);
        at = end;
    }
    return out;
}

// A listening device and a viewer connected to it, both in this process.
struct Pair {
    Pair() {
        port = ListenOnAnyPort(device);
        EXPECT_GT(port, 0);
        char ip[] = "127.0.0.1";
        EXPECT_EQ(0, viewer.Connect(ip, port));
        EXPECT_TRUE(WaitUntil([&] { return device.IsConnected() == 1; }));
    }
    ~Pair() {
        viewer.Release();
        device.Release();
    }
    // Sends a command that only sets the interval, and waits until the
    // device has announced it: everything sent before it has been handled.
    bool Marker(int interval) {
        viewer.SendCmd(0, 0, nullptr, interval);
        const std::string line = "m_sendInterval = " + std::to_string(interval) + "\n";
        return WaitUntil([&] { return out.Text().find(line) != std::string::npos; }, 5s);
    }

    StdoutCapture out;
    TravikMgr device;
    TravikMgr viewer;
    int port = 0;
};

}  // namespace

TEST(Command, SendCmdWritesOneFortyEightByteFrame) {
    TravikMgr viewer;
    int channels[4] = {1, 2, 0, 3};
    EXPECT_EQ(0, viewer.SendCmd(1, 1, channels, 77)) << "before Connect nothing is sent, and 0 is returned";

    RawListener device;
    char ip[] = "127.0.0.1";
    ASSERT_EQ(0, viewer.Connect(ip, device.port));
    ASSERT_TRUE(device.Accept());

    // Well within the viewer's 5-second flush period: a queued command is
    // written at once.
    EXPECT_EQ(0, viewer.SendCmd(1, 2, channels, 500));
    Bytes got;
    ASSERT_TRUE(device.Read(got, 48, 3s));
    EXPECT_EQ(CmdBytes({3, 0, 32, 0, 1, 1, 2, 1, 2, 0, 3, 500}), got)
        << "the first bytes on the wire must be this command, not the one before Connect";

    // Values pass unvalidated; a null channel array keeps all four.
    EXPECT_EQ(0, viewer.SendCmd(7, -3, nullptr, -1));
    ASSERT_TRUE(device.Read(got, 48, 3s));
    EXPECT_EQ(CmdBytes({3, 0, 32, 0, 1, 7, -3, 0, 0, 0, 0, -1}), got);

    viewer.Release();
    EXPECT_EQ(0, viewer.SendCmd(1, 1, channels, 5));
    EXPECT_TRUE(device.ClosesWithoutData(5s)) << "nothing may be sent after Release";
}

TEST(Command, DeviceAppliesEachSwitchInOrderAndPrintsIt) {
    Pair p;
    EXPECT_EQ(1, p.device.m_logClosed.load());
    EXPECT_EQ(0, p.device.m_imageClosed.load());
    EXPECT_EQ(200, p.device.m_sendInterval.load());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(1, p.device.m_sendImagesOnOff[i].load());

    int channels[4] = {1, 2, 0, 3};
    EXPECT_EQ(0, p.viewer.SendCmd(1, 2, channels, 500));
    ASSERT_TRUE(WaitUntil([&] { return p.out.Text().find("m_sendInterval = 500\n") != std::string::npos; }, 5s));
    EXPECT_EQ(
        "m_logClosed = 0 \n"
        "m_imageClosed = 1 \n"
        "m_sendImagesOnOff[0] = 1\n"
        "m_sendImagesOnOff[1] = 0\n"
        "m_sendInterval = 500\n",
        CommandLines(p.out.Text()));
    EXPECT_EQ(0, p.device.m_logClosed.load());
    EXPECT_EQ(1, p.device.m_imageClosed.load());
    EXPECT_EQ(500, p.device.m_sendInterval.load());
    const int expect[4] = {1, 0, 1, 1};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(expect[i], p.device.m_sendImagesOnOff[i].load()) << "channel " << i;

    // The opposite switches print their own lines.
    int back[4] = {0, 1, 2, 0};
    p.viewer.SendCmd(2, 1, back, 0);
    ASSERT_TRUE(p.Marker(42));
    EXPECT_NE(std::string::npos, CommandLines(p.out.Text())
                                     .find("m_logClosed = 1 \n"
                                           "m_imageClosed = 0 \n"
                                           "m_sendImagesOnOff[1] = 1\n"
                                           "m_sendImagesOnOff[2] = 0\n"
                                           "m_sendInterval = 42\n"));
    EXPECT_EQ(1, p.device.m_logClosed.load());
    EXPECT_EQ(0, p.device.m_imageClosed.load());
    EXPECT_EQ(0, p.device.m_sendImagesOnOff[2].load());
}

TEST(Command, KeepValuesUnknownCodesAndShortFramesChangeNothing) {
    Pair p;
    int zeros[4] = {0, 0, 0, 0};
    int odd[4] = {3, -1, 0, 99};
    p.viewer.SendCmd(0, 0, zeros, 0);
    p.viewer.SendCmd(5, -2, odd, -5);
    ASSERT_TRUE(p.Marker(321));
    EXPECT_EQ("m_sendInterval = 321\n", CommandLines(p.out.Text()));

    // Frames a viewer's SendCmd never makes, from a raw peer: cmdType 2 with
    // every switch on, and a command frame too short for its body.
    RawClient raw;
    ASSERT_TRUE(raw.Connect(p.port));
    Bytes frames = CmdBytes({3, 0, 32, 0, 2, 1, 1, 1, 1, 1, 1, 900});
    const Bytes shortCmd = CmdBytes({3, 0, 16, 0, 1, 1, 1, 1});
    frames.insert(frames.end(), shortCmd.begin(), shortCmd.end());
    const Bytes marker = CmdBytes({3, 0, 32, 0, 1, 0, 0, 0, 0, 0, 0, 654});
    frames.insert(frames.end(), marker.begin(), marker.end());
    ASSERT_TRUE(raw.Send(frames));
    ASSERT_TRUE(WaitUntil([&] { return p.out.Text().find("m_sendInterval = 654\n") != std::string::npos; }, 5s));
    EXPECT_EQ("m_sendInterval = 321\nm_sendInterval = 654\n", CommandLines(p.out.Text()));
    EXPECT_EQ(1, p.device.m_logClosed.load());
    EXPECT_EQ(0, p.device.m_imageClosed.load());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(1, p.device.m_sendImagesOnOff[i].load());
    EXPECT_EQ(654, p.device.m_sendInterval.load());
}

TEST(Command, RepeatedSwitchIsAppliedAndPrintedAgain) {
    Pair p;
    int ch[4] = {0, 0, 0, 2};
    p.viewer.SendCmd(1, 0, ch, 0);
    p.viewer.SendCmd(1, 0, ch, 0);
    ASSERT_TRUE(p.Marker(9));
    EXPECT_EQ(
        "m_logClosed = 0 \nm_sendImagesOnOff[3] = 0\n"
        "m_logClosed = 0 \nm_sendImagesOnOff[3] = 0\n"
        "m_sendInterval = 9\n",
        CommandLines(p.out.Text()));
}

TEST(Command, CommandSentRightAfterConnectTakesEffectPromptly) {
    TravikMgr device;
    const int port = ListenOnAnyPort(device);
    ASSERT_GT(port, 0);
    char text[] = "opened";
    TravikMgr viewer;
    char ip[] = "127.0.0.1";
    ASSERT_EQ(0, viewer.Connect(ip, port));
    viewer.SendCmd(1, 0, nullptr, 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return device.m_logClosed.load() == 0; }, 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    ASSERT_TRUE(WaitUntil([&] { return device.IsConnected() == 1; }));
    EXPECT_EQ(0, device.SendLogInfo(text, 6));
    viewer.Release();
    device.Release();
}

TEST(Command, DeviceRefusesLargeFramesFromViewersAndKeepsListening) {
    // Viewers only ever send 48-byte commands. A peer announcing a large
    // frame must not make the device wait for (and hold) its bytes: the
    // header is dropped at once and the commands that follow are applied.
    TravikMgr device;
    const int port = ListenOnAnyPort(device);
    ASSERT_GT(port, 0);
    RawClient peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return device.IsConnected() == 1; }));
    Bytes hostile;
    for (int32_t v : {1, 0, 1 << 20, 0}) PutLE32(hostile, v);
    hostile.push_back('x');
    ASSERT_TRUE(peer.Send(hostile));
    // Sent apart from the header so that they are read as later chunks; a
    // device holding the announced megabyte would swallow every one of them.
    const Bytes openLogs = CmdBytes({3, 0, 32, 0, 1, 1, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(WaitUntil(
        [&] {
            peer.Send(openLogs);
            return device.m_logClosed.load() == 0;
        },
        5s));
    device.Release();
}
