// The NATS bridge end to end: a device in this process, `travik bridge` on
// node 1 of a three-node nats-server cluster, a viewer on node 3; the image
// message's decoder against damaged and forged input; and on one node,
// forged messages to a viewer, `travik list`, and `view --out` of a NATS
// device when the disk refuses a write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <travik/travik.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <zlib.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <set>

#include "nats/client/link.h"
#include "nats/client/protocol.h"
#include "nats/client/source.h"
#include "nats/client/video_message.h"
#include "nats/fleet/picker.h"
#include "platform/clock.h"
#include "protocol/channel_rule.h"
#include "protocol/limits.h"
#include "support/bounded_io.h"
#include "support/process.h"
#include "support/wait.h"
#if TRAVIK_TEST_VIDEO
#include "support/h264_decode.h"
#include "video/h264_encoder.h"
#endif

namespace {

using namespace std::chrono_literals;
using travik_test::WaitUntil;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// The image the device sends with `tag` on `channel`: every byte depends on both.
std::vector<unsigned char> Pattern(uint64_t tag, int channel) {
    std::vector<unsigned char> image(kWidth * kHeight);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>((tag * 131 + i * (7 + channel) + (i >> 5) * tag) & 0xff);
    return image;
}

std::string TempDir() {
    char pattern[] = "/tmp/travik-nats-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "";
}

// One nats-server, its ports read from the file it writes (state, not log).
class Node {
public:
    bool Start(const std::string& dir, const std::string& name, const std::string& route,
               const std::string& extraConf = "") {
#ifdef TRAVIK_NATS_SERVER
        m_dir = dir + "/" + name;
        if (mkdir(m_dir.c_str(), 0700) != 0) return false;
        const std::string conf = m_dir + "/server.conf";
        std::ofstream out(conf);
        out << "listen: \"127.0.0.1:-1\"\nports_file_dir: \"" << m_dir << "\"\n"
            << "cluster { name: \"travik\", listen: \"127.0.0.1:-1\"";
        if (!route.empty()) out << ", routes: [\"nats-route://" << route << "\"]";
        out << " }\n" << extraConf << "\n";
        out.close();
        travik_proc::SpawnOptions options;
        options.outPath = m_dir + "/server.log";
        options.errPath = m_dir + "/server.log";
        if (!m_process.Start(TRAVIK_NATS_SERVER, {"nats-server", "-c", conf}, options)) return false;
        const std::string ports = m_dir + "/nats-server_" + std::to_string(m_process.pid()) + ".ports";
        return WaitUntil([&] {
            const std::string text = travik_proc::ReadText(ports);
            return Field(text, "\"nats\":[\"nats://", m_url) && Field(text, "\"cluster\":[\"nats://", m_cluster);
        });
#else
        (void)dir, (void)name, (void)route, (void)extraConf;
        return false;
#endif
    }
    std::string Url() const { return "nats://" + m_url; }
    const std::string& Cluster() const { return m_cluster; }
    void Kill() { m_process.Kill(); }

private:
    static bool Field(const std::string& text, const std::string& key, std::string& value) {
        const size_t at = text.find(key);
        if (at == std::string::npos) return false;
        const size_t end = text.find('"', at + key.size());
        if (end == std::string::npos) return false;
        value = text.substr(at + key.size(), end - at - key.size());
        return true;
    }
    std::string m_dir;
    std::string m_url;
    std::string m_cluster;
    travik_proc::Process m_process;
};

// True once a message published on `from` arrives at a subscriber on `to`.
bool RouteUp(const Node& from, const Node& to) {
    travik_nats::LinkOptions a, b;
    a.urls = {from.Url()};
    b.urls = {to.Url()};
    travik_nats::NatsLink sender, receiver;
    std::string error;
    std::atomic<int> got{0};
    if (!sender.Connect(a, error) || !receiver.Connect(b, error)) return false;
    if (!receiver.Subscribe(
            "probe", [&](const travik_nats::LinkMessage&) { ++got; }, 16, 1 << 16, error))
        return false;
    return WaitUntil(
        [&] {
            sender.Publish("probe", "x", 1);
            return got.load() > 0;
        },
        20s);
}

// Listens on a free port: the kernel's choice is taken, then reused at once;
// another process taking it in between only costs one more try.
int ListenAnywhere(TravikMgr& device) {
    std::mt19937 random(static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int port = 20000 + static_cast<int>(random() % 30000);
        if (device.Listen(port) == 0) return port;
    }
    return -1;
}

// The device's frames: Pattern images on channels 0..channels-1 every 10 ms
// until `stop`, 4000 at most (a bound, never reached).
std::thread PaceImages(TravikMgr& device, int channels, std::atomic<bool>& stop) {
    return std::thread([&device, channels, &stop] {
        for (uint64_t tag = 1; tag <= 4000 && !stop.load(); ++tag) {
            for (int channel = 0; channel < channels; ++channel) {
                int a1 = 0, a5 = 0;
                travik::ChannelAttrs(channel, a1, a5);
                auto image = Pattern(tag, channel);
                device.SendImageData(a1, 1, kWidth, kHeight, a5, image.data(), static_cast<int>(image.size()), tag);
            }
            std::this_thread::sleep_for(10ms);  // pacing of the device, not a wait on state
        }
    });
}

// Asks a tool process to stop (SIGTERM) and expects it to end cleanly.
void ExpectCleanStop(travik_proc::Process& tool) {
    tool.Signal(SIGTERM);
    EXPECT_EQ(0, tool.ExitCode(std::chrono::duration_cast<std::chrono::milliseconds>(travik_test::Scaled(20s))));
}

TEST(NatsImageMessage, RoundTripsAndRefusesDamagedMessages) {
    // A gray image of its size, and opaque bytes (attr2 2) of any length.
    const int grayAttrs[5] = {2, 1, kWidth, kHeight, 3}, opaqueAttrs[5] = {2, 2, 0, 0, 3};
    for (const auto& image : {Pattern(7, 1), std::vector<unsigned char>(5000, 9)}) {
        const int* attrs = image.size() == kWidth * kHeight ? grayAttrs : opaqueAttrs;
        travik_nats::ImageHeader header;
        std::copy(attrs, attrs + 5, header.attrs);
        header.tag = 0x0123456789abcdefULL;
        std::vector<unsigned char> message;
        ASSERT_TRUE(travik_nats::EncodeImage(header, image.data(), static_cast<uint32_t>(image.size()), 6, message));
        travik_nats::ImageHeader back;
        std::shared_ptr<unsigned char> restored;
        ASSERT_TRUE(travik_nats::DecodeImage(message.data(), message.size(), back, restored));
        EXPECT_EQ(0, std::memcmp(back.attrs, attrs, sizeof header.attrs));
        EXPECT_EQ(header.tag, back.tag);
        ASSERT_EQ(image.size(), back.rawLen);
        EXPECT_EQ(0, std::memcmp(image.data(), restored.get(), image.size()));

        // Cut short, a raw length that lies, an unknown codec: refused.
        EXPECT_FALSE(travik_nats::DecodeImage(message.data(), message.size() - 1, back, restored));
        EXPECT_FALSE(travik_nats::DecodeImage(message.data(), travik_nats::kImagePrefixLen - 1, back, restored));
        for (uint32_t lie : {static_cast<uint32_t>(image.size() + 1), 0xffffffffu}) {
            auto bad = message;
            for (int i = 0; i < 4; ++i) bad[32 + i] = static_cast<unsigned char>(lie >> (8 * i));
            EXPECT_FALSE(travik_nats::DecodeImage(bad.data(), bad.size(), back, restored));
        }
        auto bad = message;
        bad[3] = 7;
        EXPECT_FALSE(travik_nats::DecodeImage(bad.data(), bad.size(), back, restored));
    }
}

// A message claiming `rawLen` bytes: a zlib stream of that many zeros (made
// a MiB at a time, at `level`: 9 comes close to deflate's best ratio, 1 is
// quicker), or with `bodyLen` set, a body of zeros that is no stream at all,
// for judging the prefix alone.
std::vector<unsigned char> ForgedMessage(const int attrs[5], uint32_t rawLen, size_t bodyLen = 0, int level = 9) {
    std::vector<unsigned char> message(travik_nats::kImagePrefixLen);
    const unsigned char head[4] = {'T', 'V', 1, 1};
    std::memcpy(message.data(), head, 4);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) message[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    for (int i = 0; i < 5; ++i) put32(4 + 4 * i, static_cast<uint32_t>(attrs[i]));
    put32(32, rawLen);
    if (bodyLen > 0) {
        message.resize(message.size() + bodyLen);
        return message;
    }
    z_stream z{};
    if (deflateInit(&z, level) != Z_OK) return {};
    std::vector<unsigned char> zeros(1 << 20), out(1 << 16);
    uint32_t left = rawLen;
    int rc = Z_OK;
    do {
        const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(zeros.size()));
        left -= n;
        z.next_in = zeros.data();
        z.avail_in = n;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            message.insert(message.end(), out.data(), out.data() + (out.size() - z.avail_out));
        } while (z.avail_out == 0);
    } while (left > 0);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? message : std::vector<unsigned char>();
}

// What the direct link would refuse, or a size unlike the image's own
// shape, is refused on the prefix: before anything is allocated or
// inflated. A real image of the same sizes still passes.
TEST(NatsImageMessage, RefusesClaimsPastTheDirectLinksLimitOrUnlikeTheirShape) {
    using travik_nats::DecodeImage;
    using travik_nats::ReadImagePrefix;
    const uint32_t limit = static_cast<uint32_t>(travik::kMaxRawLen);
    const size_t bodyFor = (limit - 64) / static_cast<size_t>(travik::kMaxInflateRatio) + 1;
    const int opaque[5] = {1, 2, 0, 0, 1};
    travik_nats::ImageHeader header;
    std::shared_ptr<unsigned char> image;

    // The reproduction: 256 MiB of zeros in a quarter of a MiB, a ratio deflate
    // can reach, and 261 KB in the fields of a gray image of 16384 x 16384.
    const int huge[5] = {1, 1, 16384, 16384, 1};
    const auto forged = ForgedMessage(huge, 256u << 20);
    ASSERT_FALSE(forged.empty());
    EXPECT_LT(forged.size(), 300u * 1000u);
    EXPECT_FALSE(DecodeImage(forged.data(), forged.size(), header, image));
    // One byte past the direct link's limit, as opaque bytes: refused; at it: judged fit.
    const auto past = ForgedMessage(opaque, limit + 1, 0, 1);
    ASSERT_FALSE(past.empty());
    EXPECT_FALSE(DecodeImage(past.data(), past.size(), header, image));
    auto at = ForgedMessage(opaque, limit, bodyFor);
    EXPECT_TRUE(ReadImagePrefix(at.data(), at.size(), header));
    EXPECT_EQ(limit, header.rawLen);

    // A gray or RGB claim must be exactly its pixels; opaque bytes need not.
    struct Case {
        int attr2, width, height;
        uint32_t rawLen;
        bool fits;
    };
    for (const Case& c : {Case{1, 8000, 8000, 64000000u, true}, Case{1, 8000, 8000, 64000001u, false},
                          Case{3, 5000, 6000, 90000000u, true}, Case{3, 5000, 6000, 30000000u, false},
                          Case{1, -8000, -8000, 64000000u, false}, Case{1, 65536, 65536, 0u, false},
                          Case{3, 0, 0, 3u, false}, Case{2, 16384, 16384, 12345u, true}}) {
        SCOPED_TRACE(std::to_string(c.attr2) + " " + std::to_string(c.width) + "x" + std::to_string(c.height) + " " +
                     std::to_string(c.rawLen));
        const int attrs[5] = {1, c.attr2, c.width, c.height, 1};
        const auto message = ForgedMessage(attrs, c.rawLen, c.rawLen / travik::kMaxInflateRatio + 1);
        EXPECT_EQ(c.fits, ReadImagePrefix(message.data(), message.size(), header));
    }
    // A real stream of a wrong shape is refused too, and the bridge never makes one.
    const int small[5] = {1, 1, 100, 100, 1};
    auto wrong = ForgedMessage(small, 10001);
    EXPECT_FALSE(DecodeImage(wrong.data(), wrong.size(), header, image));
    const auto right = ForgedMessage(small, 10000);
    EXPECT_TRUE(DecodeImage(right.data(), right.size(), header, image));
    std::copy(small, small + 5, header.attrs);
    std::vector<unsigned char> pixels(10001), message;
    EXPECT_FALSE(travik_nats::EncodeImage(header, pixels.data(), 10001, 1, message));
    EXPECT_TRUE(travik_nats::EncodeImage(header, pixels.data(), 10000, 1, message));
}

TEST(NatsLogText, SplitsIntoPiecesTheServerTakesAtLineEndsAndNeverInsideACharacter) {
    const std::string lines = "first line\nsecond\n\xc3\xa9t\xc3\xa9 \xc3\xa9t\xc3\xa9 \xc3\xa9t\xc3\xa9\n";
    // From 4 bytes, the longest UTF-8 character, up.
    for (size_t max : {4, 5, 7, 12, 1000}) {
        std::string joined;
        for (const auto& piece : travik_nats::SplitText(lines, max)) {
            ASSERT_GT(piece.second, 0u);
            EXPECT_LE(piece.second, max);
            EXPECT_EQ(joined.size(), piece.first);
            const std::string text = lines.substr(piece.first, piece.second);
            // No piece starts inside a character.
            EXPECT_NE(0x80, static_cast<unsigned char>(text[0]) & 0xC0) << max;
            joined += text;
        }
        EXPECT_EQ(lines, joined) << max;
    }
    // Room for a whole line: pieces end at line ends.
    const auto pieces = travik_nats::SplitText(lines, 20);
    ASSERT_GE(pieces.size(), 2u);
    EXPECT_EQ(0u, pieces[0].first);
    EXPECT_EQ(18u, pieces[0].second);
}

TEST(NatsAddress, KeepsTheUserForTheClientAndNeverPrintsIt) {
    std::string url, name;
    ASSERT_TRUE(travik_nats::ParseNatsTarget("nats://ann:p@ss@127.0.0.1:4333/cam-1", url, name));
    EXPECT_EQ("nats://ann:p@ss@127.0.0.1:4333", url);
    EXPECT_EQ("cam-1", name);
    EXPECT_EQ("nats://127.0.0.1:4333", travik_nats::Redacted(url));
    EXPECT_FALSE(travik_nats::ParseNatsTarget("nats://@127.0.0.1/cam", url, name));
    EXPECT_FALSE(travik_nats::ParseNatsTarget("nats://ann:pw@/cam", url, name));
    EXPECT_FALSE(travik_nats::ParseNatsTarget("nats://ann:pw@127.0.0.1/a.*", url, name));
}

TEST(NatsBridge, ClusterCarriesImagesExactlyThroughANodeFailureAndSwitchesUnwatchedChannelsOff) {
#ifndef TRAVIK_NATS_SERVER
    GTEST_SKIP() << "nats-server not installed";
#endif
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    Node n1, n2, n3;
    ASSERT_TRUE(n1.Start(dir, "n1", ""));
    ASSERT_TRUE(n2.Start(dir, "n2", n1.Cluster()));
    ASSERT_TRUE(n3.Start(dir, "n3", n1.Cluster()));
    // Full mesh, so node 2 and node 3 still reach each other without node 1.
    ASSERT_TRUE(RouteUp(n1, n3));
    ASSERT_TRUE(RouteUp(n2, n3));

    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    const int port = ListenAnywhere(device);
    ASSERT_GT(port, 0);
    std::atomic<bool> stopDevice{false};
    // Channels 0 and 1 offered.
    std::thread sender = PaceImages(device, 2, stopDevice);

    travik_proc::Process bridge;
    travik_proc::SpawnOptions options;
    options.errPath = dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(TRAVIK_TOOL_PATH,
                             {"travik", "bridge", "127.0.0.1:" + std::to_string(port), "--nats",
                              n1.Url() + "," + n2.Url() + "," + n3.Url(), "--name", "cam-1", "--interval", "5"},
                             options));

    std::mutex mutex;
    uint64_t exact = 0, wrong = 0, otherChannel = 0;
    travik_nats::NatsViewer viewer(n3.Url(), "cam-1");
    travik_tool::SourceWish wish;
    wish.channels[1] = wish.channels[2] = wish.channels[3] = false;
    wish.intervalMs = 5;
    ASSERT_EQ(0, viewer.Connect(
                     wish, [](std::string&) {},
                     [&](int a1, int, int, int, int a5, std::shared_ptr<unsigned char>& data, int len,
                         unsigned long long tag) {
                         const int channel = travik::ChannelOf(a1, a5);
                         const auto expected = Pattern(tag, channel);
                         std::lock_guard<std::mutex> lock(mutex);
                         if (channel != 0) {
                             ++otherChannel;
                         } else if (len == static_cast<int>(expected.size()) &&
                                    std::memcmp(data.get(), expected.data(), expected.size()) == 0) {
                             ++exact;
                         } else {
                             ++wrong;
                         }
                     }));
    auto exactCount = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return exact;
    };

    EXPECT_TRUE(WaitUntil([&] { return exactCount() >= 20; }, 30s)) << travik_proc::ReadText(dir + "/bridge.log");
    // Nobody watches channel 1: the device has it switched off, channel 0 on.
    EXPECT_TRUE(WaitUntil([&] { return device.m_sendImagesOnOff[1].load() == 0; }, 15s));
    EXPECT_EQ(1, device.m_sendImagesOnOff[0].load());
    EXPECT_TRUE(WaitUntil([&] { return viewer.LastReply().find("channels=0 ") != std::string::npos; }, 15s))
        << viewer.LastReply();

    // The bridge's node dies: it reconnects to another, and images go on.
    n1.Kill();
    const uint64_t before = exactCount();
    EXPECT_TRUE(WaitUntil([&] { return exactCount() >= before + 20; }, 60s))
        << travik_proc::ReadText(dir + "/bridge.log");

    viewer.Release();
    // The viewer gone, its lease withdrawn: the device stops sending channel 0 too.
    EXPECT_TRUE(WaitUntil([&] { return device.m_sendImagesOnOff[0].load() == 0; }, 15s));
    ExpectCleanStop(bridge);
    stopDevice = true;
    sender.join();
    device.Release();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(0u, wrong);
    EXPECT_EQ(0u, otherChannel);
    EXPECT_EQ(0u, viewer.BadMessages());
    n2.Kill();
    n3.Kill();
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(NatsBridge, LogBurstsPastTheServersMaxPayloadArriveAsWholeLines) {
#ifndef TRAVIK_NATS_SERVER
    GTEST_SKIP() << "nats-server not installed";
#endif
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    Node node;
    ASSERT_TRUE(node.Start(dir, "n1", "", "max_payload: 1024"));

    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    const int port = ListenAnywhere(device);
    ASSERT_GT(port, 0);
    travik_proc::Process bridge;
    travik_proc::SpawnOptions options;
    options.errPath = dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(
        TRAVIK_TOOL_PATH,
        {"travik", "bridge", "127.0.0.1:" + std::to_string(port), "--nats", node.Url(), "--name", "talk", "--logs"},
        options));

    std::mutex mutex;
    std::string received;
    travik_nats::NatsViewer viewer(node.Url(), "talk");
    travik_tool::SourceWish wish;
    for (bool& c : wish.channels) c = false;
    wish.logs = true;
    ASSERT_EQ(0, viewer.Connect(
                     wish,
                     [&](std::string& text) {
                         std::lock_guard<std::mutex> lock(mutex);
                         if (received.size() < (1u << 20)) received += text;
                     },
                     [](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) {}));
    auto receivedBytes = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    };
    // Bursts of 8 KB, far past max_payload per bridge tick, until 64 KB came through.
    std::atomic<bool> stopDevice{false};
    std::thread sender([&] {
        uint64_t n = 0;
        for (int burst = 0; burst < 20000 && !stopDevice.load(); ++burst) {
            for (int i = 0; i < 200; ++i, ++n) {
                char line[64];
                std::snprintf(line, sizeof line, "line %08llu of a log burst\n", static_cast<unsigned long long>(n));
                device.SendLogInfo(line, static_cast<int>(std::strlen(line)));
            }
            std::this_thread::sleep_for(10ms);  // pacing of the device, not a wait on state
        }
    });
    EXPECT_TRUE(WaitUntil([&] { return receivedBytes() >= 64u * 1024; }, 60s))
        << travik_proc::ReadText(dir + "/bridge.log");
    stopDevice = true;
    sender.join();
    viewer.Release();
    ExpectCleanStop(bridge);
    device.Release();
    node.Kill();

    // Every piece ends at a line end: no line is cut.
    std::lock_guard<std::mutex> lock(mutex);
    size_t start = 0, lines = 0;
    while (start < received.size()) {
        const size_t end = received.find('\n', start);
        ASSERT_NE(std::string::npos, end);
        const std::string line = received.substr(start, end - start);
        EXPECT_EQ(std::string("line 00000000 of a log burst").size(), line.size()) << line;
        EXPECT_EQ(0u, line.find("line ")) << line;
        start = end + 1;
        ++lines;
    }
    EXPECT_GT(lines, 1000u);
    std::system(("rm -rf '" + dir + "'").c_str());
}

// The names the picker offers the page, from the very text the page gets;
// empty when that text is not a devices message.
std::set<std::string> ListedNames(travik_nats::PickerSource& picker) {
    const nlohmann::json msg = nlohmann::json::parse(picker.DevicesJson(), nullptr, false);
    std::set<std::string> names;
    if (!msg.is_object() || msg.value("type", std::string()) != "devices" || !msg["devices"].is_array()) return names;
    for (const auto& d : msg["devices"])
        if (d.is_object() && d["name"].is_string()) names.insert(d["name"].get<std::string>());
    return names;
}

void NoLogs(std::string&) {}
void NoImages(int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) {}

// A status in the bridges' format, for `name` on `subject`, dated `timeMs`.
std::string ForgedStatus(const std::string& name, const std::string& device, uint64_t timeMs) {
    return "v=1 name=" + name + " device=" + device +
           " up=1 channels=0 interval=100 logs=0 leases=0 t=" + std::to_string(timeMs);
}

// One nats-server and a publisher on it: anyone who may publish on the
// cluster, for the tests of what viewers and `travik list` make of it.
class NatsOneNode : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TRAVIK_NATS_SERVER
        GTEST_SKIP() << "nats-server not installed";
#endif
        m_dir = TempDir();
        ASSERT_FALSE(m_dir.empty());
        ASSERT_TRUE(m_node.Start(m_dir, "n1", ""));
        travik_nats::LinkOptions link;
        link.urls = {m_node.Url()};
        std::string error;
        ASSERT_TRUE(m_publisher.Connect(link, error)) << error;
    }
    void TearDown() override {
        m_publisher.Close();
        m_node.Kill();
        if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
    }
    std::string m_dir;
    Node m_node;
    travik_nats::NatsLink m_publisher;
};

// The picker of `travik web nats://HOST` on a node; the publisher forges
// status messages.
class NatsPicker : public NatsOneNode {
protected:
    void SetUp() override {
        NatsOneNode::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_picker = std::make_unique<travik_nats::PickerSource>(m_node.Url(), travik_nats::LinkOptions(), "");
        ASSERT_EQ(0, m_picker->Connect(travik_tool::SourceWish(), NoLogs, NoImages));
    }
    void TearDown() override {
        if (m_picker) m_picker->Release();
        NatsOneNode::TearDown();
    }
    void Forge(const std::string& name, const std::string& text) {
        m_publisher.Publish("travik.v1." + name + ".status", text.data(), static_cast<int>(text.size()));
    }
    std::set<std::string> Listed() { return ListedNames(*m_picker); }

    std::unique_ptr<travik_nats::PickerSource> m_picker;
};

TEST_F(NatsPicker, AFloodOfFutureDatedStatusesCannotKeepANewBridgeOffTheList) {
    // Dated ten years ahead, the list filled to its capacity, in batches the
    // subscription's queue takes whole.
    const uint64_t future = static_cast<uint64_t>(travik::NowMicros() / 1000) + 10ull * 365 * 24 * 3600 * 1000;
    const size_t capacity = travik_nats::PickerSource::kMaxDevices;
    // The picker subscribes on a connection of its own: a status forged
    // before its subscription reached the server would be lost, so a probe
    // (the first to leave the full list) is forged until it is listed.
    ASSERT_TRUE(WaitUntil(
        [&] {
            Forge("probe", ForgedStatus("probe", "10.0.0.2:7000", future));
            return Listed().count("probe") == 1;
        },
        30s));
    for (size_t sent = 0; sent < capacity;) {
        for (size_t end = sent + 100; sent < end && sent < capacity; ++sent) {
            char name[32];
            std::snprintf(name, sizeof name, "forged-%04zu", sent);
            Forge(name, ForgedStatus(name, "10.0.0.1:7000", future));
        }
        const size_t want = sent;
        ASSERT_TRUE(WaitUntil([&] { return Listed().size() >= want; }, 30s)) << want;
    }
    EXPECT_EQ(capacity, Listed().size());

    // A real bridge (its device away) starts afterwards and is listed.
    travik_proc::Process bridge;
    travik_proc::SpawnOptions options;
    options.errPath = m_dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(
        TRAVIK_TOOL_PATH, {"travik", "bridge", "127.0.0.1:1", "--nats", m_node.Url(), "--name", "real-cam"}, options));
    EXPECT_TRUE(WaitUntil([&] { return Listed().count("real-cam") == 1; }, 30s))
        << travik_proc::ReadText(m_dir + "/bridge.log");
    EXPECT_LE(Listed().size(), capacity);

    // `travik list` shows it too.
    travik_proc::Process list;
    travik_proc::SpawnOptions listOptions;
    listOptions.outPath = m_dir + "/list.out";
    listOptions.errPath = m_dir + "/list.err";
    ASSERT_TRUE(list.Start(TRAVIK_TOOL_PATH, {"travik", "list", m_node.Url(), "--wait", "3"}, listOptions));
    EXPECT_EQ(0, list.ExitCode(std::chrono::duration_cast<std::chrono::milliseconds>(travik_test::Scaled(30s))));
    const std::string listed = travik_proc::ReadText(m_dir + "/list.out");
    EXPECT_NE(std::string::npos, listed.find("real-cam")) << listed << travik_proc::ReadText(m_dir + "/list.err");

    ExpectCleanStop(bridge);
}

TEST_F(NatsPicker, NamesHoldingHtmlOrQuotesAreNeitherListedNorPicked) {
    // One subject token each (NATS forbids only spaces, dots and wildcards).
    const std::vector<std::string> hostile = {"<img/src=x/onerror=alert(1)", "\"quoted\"", "it's", "a&amp;b",
                                              "</script><script"};
    const uint64_t now = static_cast<uint64_t>(travik::NowMicros() / 1000);
    // A well-formed device whose address field holds markup is still one
    // device: the page gets its name only.
    const std::string fine = ForgedStatus("cam-fine", "<b>\"'&", now);
    WaitUntil(
        [&] {
            for (const std::string& name : hostile) Forge(name, ForgedStatus(name, "10.0.0.1:7000", now));
            Forge("cam-fine", fine);
            return Listed().count("cam-fine") == 1;
        },
        30s);
    EXPECT_EQ(std::set<std::string>{"cam-fine"}, Listed()) << m_picker->DevicesJson();
    for (const std::string& name : hostile) {
        std::string refusal;
        EXPECT_FALSE(m_picker->Pick(name, refusal)) << name;
        EXPECT_FALSE(refusal.empty());
    }
    std::string refusal;
    EXPECT_TRUE(m_picker->Pick("cam-fine", refusal)) << refusal;
    EXPECT_NE(std::string::npos, m_picker->DevicesJson().find("\"selected\":\"cam-fine\""));
}

// `travik web nats://HOST` end to end: the page gets the device list (valid
// JSON, hostile names left out) and shows the device it picks.
TEST_F(NatsPicker, TheWebPageListsTheBridgesAndShowsTheOneItPicks) {
    travik_proc::Process bridge, web;
    travik_proc::SpawnOptions options;
    options.errPath = m_dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(
        TRAVIK_TOOL_PATH, {"travik", "bridge", "127.0.0.1:1", "--nats", m_node.Url(), "--name", "cam-real"}, options));
    options.outPath = m_dir + "/web.out";
    options.errPath = m_dir + "/web.err";
    ASSERT_TRUE(web.Start(TRAVIK_TOOL_PATH, {"travik", "web", m_node.Url(), "--http", "127.0.0.1:0"}, options));
    int port = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const std::string out = travik_proc::ReadText(m_dir + "/web.out");
        const size_t at = out.find("http://127.0.0.1:");
        return at != std::string::npos && std::sscanf(out.c_str() + at, "http://127.0.0.1:%d/", &port) == 1;
    })) << travik_proc::ReadText(m_dir + "/web.err");

    namespace beast = boost::beast;
    boost::asio::io_context ioc;
    beast::websocket::stream<boost::asio::ip::tcp::socket> ws(ioc);
    const std::string host = "127.0.0.1:" + std::to_string(port);
    ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    ws.set_option(beast::websocket::stream_base::decorator(
        [host](beast::websocket::request_type& req) { req.set(beast::http::field::origin, "http://" + host); }));
    ws.handshake(host, "/ws");
    // The next text message of `type` that `accept` takes; bounded by a message
    // count, each read by 10 s.
    auto next = [&](const std::string& type, const std::function<bool(const nlohmann::json&)>& accept) {
        for (int i = 0; i < 2000; ++i) {
            beast::flat_buffer buffer;
            if (travik_test::RunBounded(ioc, ws.next_layer(), std::chrono::seconds(10),
                                        [&](auto handler) { ws.async_read(buffer, std::move(handler)); }))
                return false;
            if (ws.got_binary()) continue;
            const nlohmann::json msg = nlohmann::json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
            EXPECT_FALSE(msg.is_discarded()) << beast::buffers_to_string(buffer.data());
            if (msg.is_object() && msg.value("type", std::string()) == type && accept(msg)) return true;
            const uint64_t now = static_cast<uint64_t>(travik::NowMicros() / 1000);
            Forge("<img/src=x/onerror=alert(1)", ForgedStatus("<img/src=x/onerror=alert(1)", "x:1", now));
            Forge("cam-fine", ForgedStatus("cam-fine", "<b>\"'&", now));
        }
        return false;
    };
    auto names = [](const nlohmann::json& msg) {
        std::set<std::string> out;
        for (const auto& d : msg["devices"]) out.insert(d.value("name", std::string()));
        return out;
    };
    EXPECT_TRUE(next("devices", [&](const nlohmann::json& msg) {
        return names(msg) == std::set<std::string>{"cam-fine", "cam-real"};
    })) << travik_proc::ReadText(m_dir + "/web.err");

    ws.write(boost::asio::buffer(std::string(R"({"type":"select","name":"cam-real"})")));
    EXPECT_TRUE(next("state", [](const nlohmann::json& msg) {
        return msg.value("device", std::string()).find("/cam-real") != std::string::npos;
    })) << travik_proc::ReadText(m_dir + "/web.err");
    EXPECT_TRUE(next("devices", [](const nlohmann::json& msg) { return msg.value("selected", "") == "cam-real"; }));

    boost::beast::error_code ignored;
    ws.next_layer().close(ignored);
    ExpectCleanStop(web);
    ExpectCleanStop(bridge);
}

TEST(NatsBridge, ABridgeTakesAnotherBridgeAsItsSource) {
#ifndef TRAVIK_NATS_SERVER
    GTEST_SKIP() << "nats-server not installed";
#endif
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    Node node;
    ASSERT_TRUE(node.Start(dir, "n1", ""));
    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    const int port = ListenAnywhere(device);
    ASSERT_GT(port, 0);
    std::atomic<bool> stopDevice{false};
    std::thread sender = PaceImages(device, 1, stopDevice);
    // The first bridge views the device, the second views the first.
    travik_proc::Process first, second;
    travik_proc::SpawnOptions options;
    options.errPath = dir + "/first.log";
    ASSERT_TRUE(first.Start(TRAVIK_TOOL_PATH,
                            {"travik", "bridge", "127.0.0.1:" + std::to_string(port), "--nats", node.Url(), "--name",
                             "cam-1", "--interval", "5"},
                            options));
    options.errPath = dir + "/second.log";
    ASSERT_TRUE(second.Start(
        TRAVIK_TOOL_PATH,
        {"travik", "bridge", node.Url() + "/cam-1", "--nats", node.Url(), "--name", "cam-2", "--interval", "5"},
        options));

    std::mutex mutex;
    uint64_t exact = 0, wrong = 0;
    travik_nats::NatsViewer viewer(node.Url(), "cam-2");
    travik_tool::SourceWish wish;
    wish.channels[1] = wish.channels[2] = wish.channels[3] = false;
    wish.intervalMs = 5;
    ASSERT_EQ(0, viewer.Connect(wish, NoLogs,
                                [&](int a1, int, int, int, int a5, std::shared_ptr<unsigned char>& data, int len,
                                    unsigned long long tag) {
                                    const auto expected = Pattern(tag, travik::ChannelOf(a1, a5));
                                    std::lock_guard<std::mutex> lock(mutex);
                                    const bool same = len == static_cast<int>(expected.size()) &&
                                                      std::memcmp(data.get(), expected.data(), expected.size()) == 0;
                                    ++(same ? exact : wrong);
                                }));
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return exact >= 20;
        },
        30s))
        << travik_proc::ReadText(dir + "/first.log") << travik_proc::ReadText(dir + "/second.log");
    viewer.Release();
    // The last viewer gone, the leases run out along the chain: the device stops sending.
    EXPECT_TRUE(WaitUntil([&] { return device.m_sendImagesOnOff[0].load() == 0; }, 20s));
    second.Signal(SIGTERM);
    first.Signal(SIGTERM);
    EXPECT_EQ(0, second.ExitCode(std::chrono::duration_cast<std::chrono::milliseconds>(travik_test::Scaled(20s))));
    EXPECT_EQ(0, first.ExitCode(std::chrono::duration_cast<std::chrono::milliseconds>(travik_test::Scaled(20s))));
    stopDevice = true;
    sender.join();
    device.Release();
    node.Kill();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(0u, wrong);
    std::system(("rm -rf '" + dir + "'").c_str());
}

// Anyone who may publish on the cluster: forged image messages are refused
// on arrival (counted, never handed to the callback), and a real image
// published after them still arrives.
TEST_F(NatsOneNode, ForgedImagesAreRefusedOnArrivalAndRealOnesStillArrive) {
    std::mutex mutex;
    std::vector<std::pair<int, unsigned long long>> delivered;  // length, tag
    travik_nats::NatsViewer viewer(m_node.Url(), "cam");
    travik_tool::SourceWish wish;
    wish.channels[1] = wish.channels[2] = wish.channels[3] = false;
    ASSERT_EQ(0, viewer.Connect(
                     wish, [](std::string&) {},
                     [&](int, int, int, int, int, std::shared_ptr<unsigned char>&, int len, unsigned long long tag) {
                         std::lock_guard<std::mutex> lock(mutex);
                         delivered.emplace_back(len, tag);
                     }));
    auto deliveredTag = [&](unsigned long long tag) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& d : delivered)
            if (d.second == tag) return true;
        return false;
    };
    const std::string subject = travik_nats::ImageSubject("cam", 0);
    auto publishReal = [&](uint64_t tag) {
        travik_nats::ImageHeader header;
        const int attrs[5] = {1, 1, kWidth, kHeight, 1};
        std::copy(attrs, attrs + 5, header.attrs);
        header.tag = tag;
        const auto image = Pattern(tag, 0);
        std::vector<unsigned char> message;
        return travik_nats::EncodeImage(header, image.data(), static_cast<uint32_t>(image.size()), 6, message) &&
               m_publisher.Publish(subject, message.data(), static_cast<int>(message.size()));
    };
    // Until the viewer's subscription is in place, a real image may go unheard.
    ASSERT_TRUE(WaitUntil([&] { return publishReal(1) && WaitUntil([&] { return deliveredTag(1); }, 100ms); }, 30s));

    const int gray[5] = {1, 1, 16384, 16384, 1}, small[5] = {1, 1, 100, 100, 1}, otherChannel[5] = {2, 1, 100, 100, 3};
    const std::vector<std::vector<unsigned char>> forged = {
        ForgedMessage(gray, 256u << 20),     // the reproduction: 256 MiB in 261 KB
        ForgedMessage(small, 10001),         // not its shape
        ForgedMessage(otherChannel, 10000),  // channel 3's attributes on image.0
    };
    uint64_t refused = 0;
    for (const auto& message : forged) {
        ASSERT_FALSE(message.empty());
        ASSERT_TRUE(m_publisher.Publish(subject, message.data(), static_cast<int>(message.size())));
        ++refused;
        EXPECT_TRUE(WaitUntil([&] { return viewer.BadMessages() >= refused; }, 30s)) << refused;
    }
    ASSERT_TRUE(publishReal(2));
    EXPECT_TRUE(WaitUntil([&] { return deliveredTag(2); }, 30s));
    viewer.Release();
    EXPECT_EQ(forged.size(), viewer.BadMessages());
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& d : delivered) {
        EXPECT_EQ(kWidth * kHeight, d.first);
        EXPECT_TRUE(d.second == 1 || d.second == 2) << d.second;
    }
}

// `travik list`: each bridge heard on the server with its device and state,
// a status published by anyone shown as text (HTML and quotes included),
// and a status whose name is not its subject's left out.
TEST_F(NatsOneNode, ListShowsEachBridgeWithItsDeviceAndState) {
    auto list = [&](const std::vector<std::string>& extra, std::string& out) {
        travik_proc::Process process;
        travik_proc::SpawnOptions options;
        options.outPath = m_dir + "/list.out";
        options.errPath = m_dir + "/list.err";
        std::vector<std::string> argv = {"travik", "list"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!process.Start(TRAVIK_TOOL_PATH, argv, options)) return -3;
        const int code =
            process.ExitCode(std::chrono::duration_cast<std::chrono::milliseconds>(travik_test::Scaled(30s)));
        out = travik_proc::ReadText(m_dir + "/list.out") + travik_proc::ReadText(m_dir + "/list.err");
        return code;
    };
    std::string out;
    EXPECT_EQ(2, list({"nats://127.0.0.1:4222/cam"}, out));
    EXPECT_NE(std::string::npos, out.find("bad address")) << out;
    EXPECT_EQ(0, list({m_node.Url(), "--wait", "0.2"}, out));
    EXPECT_NE(std::string::npos, out.find("no bridge published a status")) << out;
    {
        // Ctrl-C before the server has answered ends it as it ends `view`:
        // quietly, exit 0, not as a failure to connect.
        boost::asio::io_context ioc;
        boost::asio::ip::tcp::acceptor silent(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
        silent.non_blocking(true);
        travik_proc::Process process;
        travik_proc::SpawnOptions options;
        options.errPath = m_dir + "/list-interrupted.err";
        ASSERT_TRUE(process.Start(
            TRAVIK_TOOL_PATH,
            {"travik", "list", "nats://127.0.0.1:" + std::to_string(silent.local_endpoint().port()), "--wait", "60"},
            options));
        boost::asio::ip::tcp::socket peer(ioc);
        ASSERT_TRUE(WaitUntil([&] {
            boost::system::error_code ec;
            silent.accept(peer, ec);
            return !ec;
        }));
        ASSERT_TRUE(process.Interrupt());
        EXPECT_EQ(0, process.ExitCode(std::chrono::duration_cast<std::chrono::milliseconds>(travik_test::Scaled(30s))));
        EXPECT_EQ("", travik_proc::ReadText(m_dir + "/list-interrupted.err"));
    }

    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    const int port = ListenAnywhere(device);
    ASSERT_GT(port, 0);
    travik_proc::Process bridge;
    travik_proc::SpawnOptions options;
    options.errPath = m_dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(
        TRAVIK_TOOL_PATH,
        {"travik", "bridge", "127.0.0.1:" + std::to_string(port), "--nats", m_node.Url(), "--name", "cam-1"}, options));
    // Statuses from someone else: one whose device holds HTML and quotes,
    // one that claims another name than its subject's.
    std::atomic<bool> stopPublishing{false};
    std::thread statuses([&] {
        const std::string html =
            "v=1 name=odd device=<b>\"x\"</b>&amp;' up=0 channels=- interval=7 logs=1 leases=3 t=1";
        const std::string liar = "v=1 name=cam-1 device=1.2.3.4:5 up=0 channels=- interval=9 logs=0 leases=0 t=1";
        for (int i = 0; i < 6000 && !stopPublishing.load(); ++i) {
            m_publisher.Publish(travik_nats::Subject("odd", "status"), html.data(), static_cast<int>(html.size()));
            m_publisher.Publish(travik_nats::Subject("liar", "status"), liar.data(), static_cast<int>(liar.size()));
            std::this_thread::sleep_for(10ms);  // pacing of the publisher, not a wait on state
        }
    });
    const std::string device1 = "127.0.0.1:" + std::to_string(port);
    auto row = [&](const std::string& name) {
        const size_t at = out.find("\n" + name + " ");
        return at == std::string::npos ? std::string() : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    };
    // A status each second: a few listens of a second and a half hear both,
    // the bridge once it is connected to its device.
    const bool heard = WaitUntil(
        [&] {
            return list({m_node.Url(), "--wait", "1.5"}, out) == 0 && row("cam-1").find(" up ") != std::string::npos &&
                   !row("odd").empty();
        },
        60s);
    stopPublishing = true;
    statuses.join();
    EXPECT_TRUE(heard) << out << travik_proc::ReadText(m_dir + "/bridge.log");
    const std::string cam = row("cam-1");
    EXPECT_NE(std::string::npos, cam.find(device1)) << cam;
    const std::string odd = row("odd");
    EXPECT_NE(std::string::npos, odd.find("<b>\"x\"</b>&amp;'")) << odd;
    EXPECT_NE(std::string::npos, odd.find(" down ")) << odd;
    EXPECT_EQ(std::string::npos, out.find("1.2.3.4:5")) << out;
    EXPECT_TRUE(row("liar").empty()) << out;

    ExpectCleanStop(bridge);
    device.Release();
}

// `view --out` of a NATS device whose images outgrow the disk (a file size
// limit of 64 KiB, images of 128 KiB): the first failed write ends the run
// with exit 1 and the file's name and reason, and leaves no cut file.
TEST_F(NatsOneNode, ViewOutStopsAtTheFirstFailedWriteWithAClearError) {
    const std::string out = m_dir + "/out";
    travik_proc::Process view;
    travik_proc::SpawnOptions options;
    options.errPath = m_dir + "/view.err";
    ASSERT_TRUE(view.Start("/bin/bash",
                           {"bash", "-c", "ulimit -f 64 && exec \"$0\" \"$@\"", TRAVIK_TOOL_PATH, "view",
                            m_node.Url() + "/cam", "--channels", "0", "--out", out, "--duration", "60"},
                           options));
    travik_nats::ImageHeader header;
    const int attrs[5] = {1, 1, 512, 256, 1};
    std::copy(attrs, attrs + 5, header.attrs);
    std::vector<unsigned char> image(512 * 256), message;
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    ASSERT_TRUE(travik_nats::EncodeImage(header, image.data(), static_cast<uint32_t>(image.size()), 1, message));
    // Published until the viewer has ended (it hears nothing before it subscribed).
    EXPECT_TRUE(WaitUntil(
        [&] {
            m_publisher.Publish(travik_nats::ImageSubject("cam", 0), message.data(), static_cast<int>(message.size()));
            return !view.Running();
        },
        60s));
    EXPECT_EQ(1, view.ExitCode(std::chrono::duration_cast<std::chrono::milliseconds>(travik_test::Scaled(20s))));
    const std::string err = travik_proc::ReadText(m_dir + "/view.err");
    EXPECT_NE(std::string::npos, err.find(out + "/ch0_000001.pgm: write failed: File too large")) << err;
    struct stat st;
    EXPECT_NE(0, stat((out + "/ch0_000001.pgm").c_str(), &st));
}

#if TRAVIK_TEST_VIDEO
// Video: units of Pattern images of channel 0 from the tool's encoder, the
// first a keyframe, the rest deltas.
std::vector<travik_tool::AccessUnit> EncodedUnits(int count) {
    travik_tool::H264Encoder encoder;
    std::vector<travik_tool::AccessUnit> units;
    for (int i = 0; i < count * 4 && static_cast<int>(units.size()) < count; ++i) {
        const auto image = Pattern(static_cast<uint64_t>(i + 1), 0);
        travik_tool::AccessUnit unit;
        std::string error;
        if (encoder.Encode(image.data(), image.size(), 1, kWidth, kHeight, 1000u * static_cast<uint64_t>(i),
                           static_cast<uint64_t>(i + 1), unit, error) == travik_tool::H264Encoder::Result::kEncoded)
            units.push_back(unit);
    }
    return units;
}

std::vector<unsigned char> VideoMessage(const travik_tool::AccessUnit& unit, int channel = 0) {
    travik_nats::VideoHeader header;
    header.keyframe = unit.keyframe;
    header.channel = channel;
    header.width = unit.width;
    header.height = unit.height;
    header.sequence = unit.sequence;
    header.stagedMicros = unit.stagedMicros;
    std::vector<unsigned char> message;
    travik_nats::EncodeVideoMessage(header, unit.annexB.data(), unit.annexB.size(), message);
    return message;
}

bool ReadsAsVideo(const std::vector<unsigned char>& message) {
    travik_nats::VideoHeader header;
    size_t offset = 0;
    return travik_nats::ReadVideoMessage(message.data(), message.size(), header, offset);
}

TEST(NatsVideoMessage, RoundTripsAndRefusesForgedPrefixesAndUnits) {
    const auto units = EncodedUnits(2);
    ASSERT_EQ(units.size(), 2u);
    ASSERT_TRUE(units[0].keyframe);
    ASSERT_FALSE(units[1].keyframe);
    for (const auto& unit : units) {
        const auto message = VideoMessage(unit, 2);
        travik_nats::VideoHeader header;
        size_t offset = 0;
        ASSERT_TRUE(travik_nats::ReadVideoMessage(message.data(), message.size(), header, offset));
        EXPECT_EQ(header.keyframe, unit.keyframe);
        EXPECT_EQ(header.channel, 2);
        EXPECT_EQ(header.width, kWidth);
        EXPECT_EQ(header.height, kHeight);
        EXPECT_EQ(header.sequence, unit.sequence);
        EXPECT_EQ(header.stagedMicros, unit.stagedMicros);
        EXPECT_EQ(std::string(message.begin() + static_cast<long>(offset), message.end()), unit.annexB);
        // Every cut of the message is refused, none read past its end.
        for (size_t len = 0; len < message.size(); ++len) {
            travik_nats::VideoHeader cut;
            EXPECT_FALSE(travik_nats::ReadVideoMessage(message.data(), len, cut, offset)) << len;
        }
    }
    const auto key = VideoMessage(units[0]);
    const auto delta = VideoMessage(units[1]);
    // One forged field each.
    auto forged = [&](const std::vector<unsigned char>& base, size_t at, unsigned char value) {
        auto m = base;
        m[at] = value;
        return m;
    };
    auto putU32 = [](std::vector<unsigned char> m, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) m[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
        return m;
    };
    const size_t unitAt = travik_nats::kVideoPrefixLen;
    std::vector<std::pair<const char*, std::vector<unsigned char>>> refused = {
        {"magic", forged(key, 1, 'V')},
        {"version", forged(key, 2, 2)},
        {"codec", forged(key, 3, 2)},
        {"unknown flag", forged(key, 4, 3)},
        {"delta claiming a keyframe", forged(delta, 4, 1)},
        {"keyframe claiming a delta", forged(key, 4, 0)},
        {"channel 4", forged(key, 5, 4)},
        {"reserved byte", forged(key, 7, 1)},
        {"width 0", putU32(key, 8, 0)},
        {"height past the largest side", putU32(key, 12, travik_nats::kMaxVideoSide + 1)},
        {"length claim past the body", putU32(key, 32, 0xfffffff0u)},
        {"length claim short of the body", putU32(key, 32, static_cast<uint32_t>(key.size() - unitAt - 1))},
        {"no start code", forged(key, unitAt + 2, 7)},
        {"forbidden bit", forged(key, unitAt + 4, static_cast<unsigned char>(key[unitAt + 4] | 0x80))},
    };
    auto longer = key;
    longer.push_back(0);
    refused.emplace_back("a byte past the claim", longer);
    for (const auto& r : refused) EXPECT_FALSE(ReadsAsVideo(r.second)) << r.first;

    // The writer publishes nothing a reader refuses.
    travik_nats::VideoHeader header;
    std::vector<unsigned char> message;
    header.width = kWidth;
    header.height = kHeight;
    header.keyframe = true;
    EXPECT_FALSE(travik_nats::EncodeVideoMessage(header, units[1].annexB.data(), units[1].annexB.size(), message));
    header.keyframe = false;
    header.channel = 4;
    EXPECT_FALSE(travik_nats::EncodeVideoMessage(header, units[1].annexB.data(), units[1].annexB.size(), message));
    header.channel = 0;
    EXPECT_FALSE(travik_nats::EncodeVideoMessage(header, units[1].annexB.data(), 0, message));
    const std::string huge(travik_nats::kMaxVideoUnitLen + 1, '\0');
    EXPECT_FALSE(travik_nats::EncodeVideoMessage(header, huge.data(), huge.size(), message));
}

TEST(NatsVideoLease, VideoAndKeyframeFieldsAreOptionalAndChecked) {
    travik_nats::Wish wish;
    wish.channels[0] = true;
    wish.video[1] = wish.video[3] = true;
    const bool keys[travik_nats::kChannels] = {false, true, false, false};
    const std::string text = travik_nats::FormatLease("v1", wish, 3500, keys);
    std::string id;
    travik_nats::Wish read;
    int ttl = 0;
    bool readKeys[travik_nats::kChannels] = {};
    ASSERT_TRUE(travik_nats::ParseLease(text, id, read, ttl, readKeys)) << text;
    EXPECT_TRUE(read == wish) << text;
    EXPECT_TRUE(readKeys[1] && !readKeys[0] && !readKeys[2] && !readKeys[3]) << text;
    // A viewer that knows no video: none asked, none keyed.
    ASSERT_TRUE(travik_nats::ParseLease("id=old channels=0 interval=5 logs=0 ttl=100", id, read, ttl, readKeys));
    for (int c = 0; c < travik_nats::kChannels; ++c) EXPECT_FALSE(read.video[c] || readKeys[c]);
    EXPECT_FALSE(travik_nats::ParseLease("id=x channels=0 video=4 interval=5 logs=0 ttl=100", id, read, ttl));
    EXPECT_FALSE(travik_nats::ParseLease("id=x channels=0 key=a interval=5 logs=0 ttl=100", id, read, ttl));

    travik_nats::Status status;
    status.name = "cam";
    status.device = "127.0.0.1:1";
    status.video = "h264";
    status.sending.video[2] = true;
    travik_nats::Status back;
    ASSERT_TRUE(travik_nats::ParseStatus(travik_nats::FormatStatus(status), back));
    EXPECT_EQ(back.video, "h264");
    EXPECT_TRUE(back.sending.video[2] && !back.sending.video[0]);
    // A bridge of an older build: no video.
    ASSERT_TRUE(
        travik_nats::ParseStatus("v=1 name=cam device=h:1 up=1 channels=0 interval=5 logs=0 leases=1 t=1", back));
    EXPECT_EQ(back.video, "-");
    EXPECT_FALSE(travik_nats::ParseStatus(
        "v=1 name=cam device=h:1 up=1 channels=0 interval=5 logs=0 video=vp9 leases=1 t=1", back));
}

// A watcher of one channel's video: every unit it gets decoded in order.
struct VideoWatcher {
    std::mutex mutex;
    travik_test::H264Decoder decoder;
    uint64_t units = 0, decoded = 0, badSize = 0;
    bool firstIsKey = false;
    travik_tool::ViewSource::VideoCb Callback() {
        return [this](int channel, const std::shared_ptr<const travik_tool::AccessUnit>& unit) {
            std::lock_guard<std::mutex> lock(mutex);
            if (channel != 0) return;
            if (units++ == 0) firstIsKey = unit->keyframe;
            int w = 0, h = 0;
            if (decoder.Decode(reinterpret_cast<const uint8_t*>(unit->annexB.data()), unit->annexB.size(), w, h)) {
                ++decoded;
                if (w < kWidth || h < kHeight || unit->width != kWidth || unit->height != kHeight) ++badSize;
            }
        };
    }
    uint64_t Decoded() {
        std::lock_guard<std::mutex> lock(mutex);
        return decoded;
    }
};

// `travik bridge --video h264`: no unit while nobody leases video (images
// flow to a raw watcher meanwhile); the first unit after a lease is a
// keyframe; two watchers, the second joining late, each start at a keyframe
// and decode every unit; when both leave, encoding stops while images
// still flow.
TEST_F(NatsOneNode, TheBridgeEncodesOnlyLeasedVideoAndEachWatcherStartsAtAKeyframe) {
    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    const int port = ListenAnywhere(device);
    ASSERT_GT(port, 0);
    std::atomic<bool> stopDevice{false};
    std::thread sender = PaceImages(device, 1, stopDevice);
    travik_proc::Process bridge;
    travik_proc::SpawnOptions options;
    options.errPath = m_dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(TRAVIK_TOOL_PATH,
                             {"travik", "bridge", "127.0.0.1:" + std::to_string(port), "--nats", m_node.Url(), "--name",
                              "cam", "--interval", "5", "--video", "h264"},
                             options));
    // One connection sees both subjects of channel 0 in the bridge's order:
    // a unit, then the image it was made of.
    std::mutex mutex;
    uint64_t images = 0, units = 0, imagesSinceUnit = 0;
    bool firstUnitIsKey = false;
    std::string lastStatus;
    std::string error;
    ASSERT_TRUE(m_publisher.Subscribe(
        travik_nats::ImageSubject("cam", 0),
        [&](const travik_nats::LinkMessage&) {
            std::lock_guard<std::mutex> lock(mutex);
            ++images;
            ++imagesSinceUnit;
        },
        1024, 64 << 20, error));
    ASSERT_TRUE(m_publisher.Subscribe(
        travik_nats::VideoSubject("cam", 0),
        [&](const travik_nats::LinkMessage& msg) {
            travik_nats::VideoHeader header;
            size_t offset = 0;
            const bool valid = travik_nats::ReadVideoMessage(reinterpret_cast<const unsigned char*>(msg.data),
                                                             static_cast<size_t>(msg.size), header, offset);
            std::lock_guard<std::mutex> lock(mutex);
            if (units++ == 0) firstUnitIsKey = valid && header.keyframe;
            imagesSinceUnit = 0;
        },
        1024, 64 << 20, error));
    ASSERT_TRUE(m_publisher.Subscribe(
        travik_nats::Subject("cam", "status"),
        [&](const travik_nats::LinkMessage& msg) {
            std::lock_guard<std::mutex> lock(mutex);
            lastStatus.assign(msg.data, static_cast<size_t>(msg.size));
        },
        64, 1 << 20, error));
    auto counts = [&](uint64_t& i, uint64_t& u, uint64_t& since) {
        std::lock_guard<std::mutex> lock(mutex);
        i = images;
        u = units;
        since = imagesSinceUnit;
    };
    auto statusHas = [&](const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return lastStatus.find(part) != std::string::npos;
    };

    // A raw watcher only: images, never a unit.
    travik_nats::NatsViewer raw(m_node.Url(), "cam");
    travik_tool::SourceWish rawWish;
    rawWish.channels[1] = rawWish.channels[2] = rawWish.channels[3] = false;
    rawWish.intervalMs = 5;
    ASSERT_EQ(0, raw.Connect(rawWish, NoLogs, NoImages));
    uint64_t i = 0, u = 0, since = 0;
    ASSERT_TRUE(WaitUntil([&] { return counts(i, u, since), i >= 20; }, 30s))
        << travik_proc::ReadText(m_dir + "/bridge.log");
    EXPECT_EQ(0u, u);
    EXPECT_TRUE(WaitUntil([&] { return statusHas("video=h264 encoding=-"); }, 30s));

    // Two video watchers, the second joining late.
    travik_tool::SourceWish videoWish;
    for (bool& on : videoWish.channels) on = false;
    videoWish.video[0] = true;
    videoWish.intervalMs = 5;
    VideoWatcher first, second;
    travik_nats::NatsViewer a(m_node.Url(), "cam"), b(m_node.Url(), "cam");
    ASSERT_TRUE(a.SetVideoCb(first.Callback()));
    ASSERT_EQ(0, a.Connect(videoWish, NoLogs, NoImages));
    ASSERT_TRUE(WaitUntil([&] { return first.Decoded() >= 20; }, 30s)) << travik_proc::ReadText(m_dir + "/bridge.log");
    EXPECT_TRUE(WaitUntil([&] { return a.VideoFlowing(); }, 30s));
    EXPECT_TRUE(WaitUntil([&] { return statusHas("encoding=0"); }, 30s));
    ASSERT_TRUE(b.SetVideoCb(second.Callback()));
    ASSERT_EQ(0, b.Connect(videoWish, NoLogs, NoImages));
    ASSERT_TRUE(WaitUntil([&] { return second.Decoded() >= 20; }, 30s));
    a.Release();
    b.Release();
    for (VideoWatcher* w : {&first, &second}) {
        std::lock_guard<std::mutex> lock(w->mutex);
        EXPECT_TRUE(w->firstIsKey);
        EXPECT_EQ(w->decoded, w->units);
        EXPECT_EQ(0u, w->badSize);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(firstUnitIsKey);
    }
    // Both gone: twenty images in a row without a unit, the raw watcher still served.
    EXPECT_TRUE(WaitUntil([&] { return counts(i, u, since), since >= 20; }, 30s)) << since;
    EXPECT_TRUE(WaitUntil([&] { return statusHas("encoding=-"); }, 30s));

    raw.Release();
    ExpectCleanStop(bridge);
    stopDevice = true;
    sender.join();
    device.Release();
}

// `travik web SOURCE` on any free port; its port read from its output.
bool StartWeb(travik_proc::Process& web, const std::string& dir, const std::string& source, int& httpPort) {
    travik_proc::SpawnOptions options;
    options.outPath = dir + "/web.out";
    options.errPath = dir + "/web.err";
    if (!web.Start(TRAVIK_TOOL_PATH, {"travik", "web", source, "--http", "127.0.0.1:0"}, options)) return false;
    return WaitUntil([&] {
        const std::string out = travik_proc::ReadText(dir + "/web.out");
        const size_t at = out.find("http://127.0.0.1:");
        return at != std::string::npos && std::sscanf(out.c_str() + at, "http://127.0.0.1:%d/", &httpPort) == 1;
    });
}

using Tab = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;

// A tab of the page on `port`.
bool OpenTab(Tab& ws, int port) {
    namespace beast = boost::beast;
    const std::string host = "127.0.0.1:" + std::to_string(port);
    beast::error_code ec;
    ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, ec);
    if (ec) return false;
    ws.set_option(beast::websocket::stream_base::decorator(
        [host](beast::websocket::request_type& req) { req.set(beast::http::field::origin, "http://" + host); }));
    ws.handshake(host, "/ws", ec);
    return !ec;
}

// The tab's next binary message (texts are skipped, at most 1000 of them),
// each read given 10 s; `ioc` is the tab's.
bool ReadTab(boost::asio::io_context& ioc, Tab& ws, std::string& msg) {
    for (int i = 0; i < 1000; ++i) {
        boost::beast::flat_buffer buffer;
        if (travik_test::RunBounded(ioc, ws.next_layer(), std::chrono::seconds(10),
                                    [&](auto handler) { ws.async_read(buffer, std::move(handler)); }))
            return false;
        if (!ws.got_binary()) continue;
        msg = boost::beast::buffers_to_string(buffer.data());
        return true;
    }
    return false;
}

// `travik web nats://HOST/NAME` of a bridge run with --video h264: a tab
// that turns video on gets the bridge's units byte for byte (no decode, no
// second encoder), starting with a keyframe.
TEST_F(NatsOneNode, TheWebPagePassesTheBridgesUnitsThroughUnchanged) {
    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    const int port = ListenAnywhere(device);
    ASSERT_GT(port, 0);
    std::atomic<bool> stopDevice{false};
    std::thread sender = PaceImages(device, 1, stopDevice);
    travik_proc::Process bridge, web;
    travik_proc::SpawnOptions options;
    options.errPath = m_dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(TRAVIK_TOOL_PATH,
                             {"travik", "bridge", "127.0.0.1:" + std::to_string(port), "--nats", m_node.Url(), "--name",
                              "cam", "--interval", "5", "--video", "h264"},
                             options));
    // Every unit the bridge publishes on channel 0 (bounded).
    std::mutex mutex;
    std::set<std::string> published;
    std::string error;
    ASSERT_TRUE(m_publisher.Subscribe(
        travik_nats::VideoSubject("cam", 0),
        [&](const travik_nats::LinkMessage& msg) {
            const auto* data = reinterpret_cast<const unsigned char*>(msg.data);
            const size_t size = static_cast<size_t>(msg.size);
            travik_nats::VideoHeader header;
            size_t offset = 0;
            if (!travik_nats::ReadVideoMessage(data, size, header, offset)) return;
            std::lock_guard<std::mutex> lock(mutex);
            if (published.size() < 5000)
                published.emplace(reinterpret_cast<const char*>(data) + offset, header.unitLen);
        },
        1024, 64 << 20, error));

    int httpPort = 0;
    ASSERT_TRUE(StartWeb(web, m_dir, m_node.Url() + "/cam", httpPort));
    boost::asio::io_context ioc;
    Tab ws(ioc);
    ASSERT_TRUE(OpenTab(ws, httpPort));
    ws.write(boost::asio::buffer(std::string(R"({"type":"video","channel":0,"on":true})")));

    // The tab's H.264 messages of channel 0 (header: 2 encoding, 3 flags).
    std::vector<std::string> units;
    bool firstIsKey = false;
    for (int i = 0; i < 20000 && units.size() < 10; ++i) {
        std::string msg;
        ASSERT_TRUE(ReadTab(ioc, ws, msg)) << travik_proc::ReadText(m_dir + "/web.err");
        if (msg.size() <= 40 || msg[1] != 0 || msg[2] != 3) continue;
        if (units.empty()) firstIsKey = (msg[3] & 1) != 0;
        units.push_back(msg.substr(40));
    }
    ASSERT_EQ(10u, units.size()) << travik_proc::ReadText(m_dir + "/web.err");
    EXPECT_TRUE(firstIsKey);
    // Until the bridge's status says it encodes (it comes every second),
    // the tool may start the tab on its own encoder; from then on every
    // unit is the bridge's.
    for (size_t i = units.size() / 2; i < units.size(); ++i) {
        EXPECT_TRUE(WaitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return published.count(units[i]) == 1;
        })) << "unit "
            << i << " of the page was not published by the bridge (" << published.size() << " were)\n"
            << travik_proc::ReadText(m_dir + "/web.err");
    }

    boost::beast::error_code ignored;
    ws.next_layer().close(ignored);
    ExpectCleanStop(web);
    ExpectCleanStop(bridge);
    stopDevice = true;
    sender.join();
    device.Release();
}

// `travik web nats://` leases a channel's pixels only while something shows
// them: while its one tab watches channel 0 as video the bridge publishes
// units and no images; back to JPEG, images come again and the tab's first
// picture is newer than the last one published before video (never the
// stale one kept from then).
TEST_F(NatsOneNode, TheWebPageLeasesPixelsOnlyWhileATabShowsThemAsJpeg) {
    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    const int port = ListenAnywhere(device);
    ASSERT_GT(port, 0);
    std::atomic<bool> stopDevice{false};
    std::thread sender = PaceImages(device, 1, stopDevice);
    travik_proc::Process bridge, web;
    travik_proc::SpawnOptions options;
    options.errPath = m_dir + "/bridge.log";
    ASSERT_TRUE(bridge.Start(TRAVIK_TOOL_PATH,
                             {"travik", "bridge", "127.0.0.1:" + std::to_string(port), "--nats", m_node.Url(), "--name",
                              "cam", "--interval", "5", "--video", "h264"},
                             options));
    // One connection sees both subjects in the bridge's order: a unit, then
    // the image it was made of.
    std::mutex mutex;
    uint64_t images = 0, lastTag = 0, unitsWithoutImage = 0;
    std::string error;
    ASSERT_TRUE(m_publisher.Subscribe(
        travik_nats::ImageSubject("cam", 0),
        [&](const travik_nats::LinkMessage& msg) {
            travik_nats::ImageHeader header;
            const bool valid = travik_nats::ReadImagePrefix(reinterpret_cast<const unsigned char*>(msg.data),
                                                            static_cast<size_t>(msg.size), header);
            std::lock_guard<std::mutex> lock(mutex);
            ++images;
            unitsWithoutImage = 0;
            if (valid) lastTag = std::max<uint64_t>(lastTag, header.tag);
        },
        1024, 64 << 20, error));
    ASSERT_TRUE(m_publisher.Subscribe(
        travik_nats::VideoSubject("cam", 0),
        [&](const travik_nats::LinkMessage&) {
            std::lock_guard<std::mutex> lock(mutex);
            ++unitsWithoutImage;
        },
        1024, 64 << 20, error));
    auto counted = [&](uint64_t& i, uint64_t& tag, uint64_t& without) {
        std::lock_guard<std::mutex> lock(mutex);
        i = images;
        tag = lastTag;
        without = unitsWithoutImage;
    };

    int httpPort = 0;
    ASSERT_TRUE(StartWeb(web, m_dir, m_node.Url() + "/cam", httpPort));
    boost::asio::io_context ioc;
    Tab ws(ioc);
    ASSERT_TRUE(OpenTab(ws, httpPort));
    // The tab's next picture of channel 0: `encoding` 1 JPEG, 3 H.264 (bounded).
    auto nextPicture = [&](int encoding, uint64_t& tag) {
        for (int i = 0; i < 20000; ++i) {
            std::string msg;
            if (!ReadTab(ioc, ws, msg)) return false;
            if (msg.size() <= 40 || msg[1] != 0 || msg[2] != encoding) continue;
            tag = 0;
            for (int b = 7; b >= 0; --b) tag = tag << 8 | static_cast<unsigned char>(msg[24 + b]);
            return true;
        }
        return false;
    };
    uint64_t tag = 0, i = 0, published = 0, without = 0;
    ASSERT_TRUE(nextPicture(1, tag)) << travik_proc::ReadText(m_dir + "/web.err");

    ws.write(boost::asio::buffer(std::string(R"({"type":"video","channel":0,"on":true})")));
    // Thirty units in a row without an image: the bridge neither compresses
    // nor publishes pixels nobody shows (the tab's reads keep it flowing).
    // Failures below let the processes end: the device paces 40 s at most.
    const bool videoOnly = WaitUntil(
        [&] {
            uint64_t unit = 0;
            return nextPicture(3, unit) && (counted(i, published, without), without >= 30);
        },
        30s);
    EXPECT_TRUE(videoOnly) << without << " units in a row\n"
                           << travik_proc::ReadText(m_dir + "/web.err") << travik_proc::ReadText(m_dir + "/bridge.log");
    const uint64_t imagesDuringVideo = i;

    ws.write(boost::asio::buffer(std::string(R"({"type":"video","channel":0,"on":false})")));
    if (videoOnly) {
        EXPECT_TRUE(nextPicture(1, tag)) << travik_proc::ReadText(m_dir + "/web.err");
        EXPECT_GT(tag, published) << "the tab was shown the picture from before video";
        EXPECT_TRUE(WaitUntil([&] { return counted(i, published, without), i > imagesDuringVideo; }));
    }

    boost::beast::error_code ignored;
    ws.next_layer().close(ignored);
    ExpectCleanStop(web);
    ExpectCleanStop(bridge);
    stopDevice = true;
    sender.join();
    device.Release();
}

// Anyone who may publish on the cluster: forged video messages are refused
// on arrival; a delta before the first keyframe is dropped; a real
// keyframe and the deltas after it arrive in order.
TEST_F(NatsOneNode, ForgedVideoIsRefusedAndAWatcherStartsAtAKeyframe) {
    std::mutex mutex;
    std::vector<uint64_t> sequences;
    std::vector<bool> keys;
    travik_nats::NatsViewer viewer(m_node.Url(), "cam");
    ASSERT_TRUE(viewer.SetVideoCb([&](int, const std::shared_ptr<const travik_tool::AccessUnit>& unit) {
        std::lock_guard<std::mutex> lock(mutex);
        sequences.push_back(unit->sequence);
        keys.push_back(unit->keyframe);
    }));
    travik_tool::SourceWish wish;
    for (bool& on : wish.channels) on = false;
    wish.video[0] = true;
    ASSERT_EQ(0, viewer.Connect(wish, NoLogs, NoImages));
    const auto units = EncodedUnits(3);
    ASSERT_EQ(units.size(), 3u);
    const std::string subject = travik_nats::VideoSubject("cam", 0);
    auto publish = [&](const std::vector<unsigned char>& m) {
        return m_publisher.Publish(subject, m.data(), static_cast<int>(m.size()));
    };
    // Until the subscription is in place a delta may go unheard; once
    // heard, it is dropped: no keyframe came yet.
    ASSERT_TRUE(WaitUntil([&] { return publish(VideoMessage(units[1])) && viewer.SkippedUnits() > 0; }, 30s));
    auto key = VideoMessage(units[0]);
    auto lying = key;
    lying[4] = 0;  // a keyframe claiming to be a delta
    auto otherChannel = VideoMessage(units[0], 2);
    auto tooLong = key;
    for (int b = 0; b < 4; ++b) tooLong[32 + static_cast<size_t>(b)] = 0xff;
    uint64_t refused = 0;
    for (const auto& m : {lying, otherChannel, tooLong}) {
        ASSERT_TRUE(publish(m));
        ++refused;
        EXPECT_TRUE(WaitUntil([&] { return viewer.BadMessages() >= refused; }, 30s)) << refused;
    }
    ASSERT_TRUE(publish(key));
    ASSERT_TRUE(publish(VideoMessage(units[1])));
    ASSERT_TRUE(publish(VideoMessage(units[2])));
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return sequences.size() >= 3;
        },
        30s));
    viewer.Release();
    EXPECT_EQ(refused, viewer.BadMessages());
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(sequences.size(), 3u);
    EXPECT_TRUE(keys[0]);
    EXPECT_EQ(sequences, (std::vector<uint64_t>{units[0].sequence, units[1].sequence, units[2].sequence}));
}

// A publisher may send keyframes of up to 16 MB, 64 of which would be a
// gigabyte per channel: a viewer whose callback is slow holds a bounded
// number of bytes, not only of units, and skips to a later keyframe.
TEST_F(NatsOneNode, ASlowWatcherOfLargeUnitsHoldsBoundedBytes) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    size_t delivered = 0;
    travik_nats::NatsViewer viewer(m_node.Url(), "cam");
    ASSERT_TRUE(viewer.SetVideoCb([&](int, const std::shared_ptr<const travik_tool::AccessUnit>&) {
        std::unique_lock<std::mutex> lock(mutex);
        ++delivered;
        released.wait(lock, [&] { return release; });  // the first unit blocks until the end
    }));
    travik_tool::SourceWish wish;
    for (bool& on : wish.channels) on = false;
    wish.video[0] = true;
    ASSERT_EQ(0, viewer.Connect(wish, NoLogs, NoImages));
    const auto units = EncodedUnits(1);
    ASSERT_EQ(units.size(), 1u);
    // A keyframe grown to 900 KB (under the server's 1 MB max_payload) by a
    // filler NAL unit: still a valid keyframe.
    travik_tool::AccessUnit big = units[0];
    big.annexB += std::string("\0\0\0\x01\x0c", 5) + std::string(900 * 1024, '\xff') + '\x80';
    const auto message = VideoMessage(big);
    ASSERT_TRUE(ReadsAsVideo(message));
    const std::string subject = travik_nats::VideoSubject("cam", 0);
    auto publish = [&] { return m_publisher.Publish(subject, message.data(), static_cast<int>(message.size())); };
    // Until the subscription is in place a unit may go unheard.
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return publish() && delivered > 0;
        },
        30s));
    // 40 units of 900 KB are 36 MB: well under the count of units a viewer
    // keeps, past the bytes it may keep.
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(publish());
    EXPECT_TRUE(WaitUntil([&] { return viewer.SkippedUnits() > 0; }, 30s));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    viewer.Release();
}

#endif  // TRAVIK_TEST_VIDEO

}  // namespace
