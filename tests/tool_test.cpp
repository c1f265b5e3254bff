// The `travik` tool and the example hosts, run as separate processes on
// loopback: what a user sees from the command line. The binaries' paths
// come from the tools/ and examples/ builds; without them the tests skip.
// On Windows the same cases run against travik.exe and the example hosts.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/channel_rule.h"
#include "support/child_process.h"
#include "support/test_certs.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using travik_test::ReadText;
using travik_test::WaitUntil;

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

using Process = travik_test::Child;

#if defined(_WIN32)
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
#else
using Socket = int;
const Socket kNoSocket = -1;
void CloseSocket(Socket s) { close(s); }
#endif

struct IndexRow {
    long long time = 0;
    int channel = -1;
    int attrs[5] = {};
    unsigned long long tag = 0;
    long long length = 0;
    std::string latency;
    std::string file;
};

std::vector<std::string> Split(const std::string& line, char sep) {
    std::vector<std::string> parts;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, sep)) parts.push_back(part);
    if (!line.empty() && line.back() == sep) parts.push_back("");
    return parts;
}

// Parses index.csv; fails the test on a malformed line.
std::vector<IndexRow> ReadIndex(const fs::path& path) {
    std::vector<IndexRow> rows;
    std::ifstream in(path);
    std::string line;
    EXPECT_TRUE(std::getline(in, line)) << "no header in " << path;
    EXPECT_EQ(line, "time_us,channel,attr1,attr2,attr3,attr4,attr5,tag,length,latency_us,file");
    while (std::getline(in, line)) {
        std::vector<std::string> f = Split(line, ',');
        EXPECT_EQ(f.size(), 11u) << line;
        if (f.size() != 11) continue;
        IndexRow r;
        r.time = std::stoll(f[0]);
        r.channel = std::stoi(f[1]);
        for (int i = 0; i < 5; ++i) r.attrs[i] = std::stoi(f[2 + i]);
        r.tag = std::stoull(f[7]);
        r.length = std::stoll(f[8]);
        r.latency = f[9];
        r.file = f[10];
        rows.push_back(r);
    }
    return rows;
}

struct Pnm {
    bool ok = false;
    char kind = 0;  // '5' gray, '6' RGB
    int width = 0, height = 0, maxval = 0;
    std::string pixels;
};

// An independent reader of binary PGM/PPM files.
Pnm ParsePnm(const std::string& bytes) {
    Pnm p;
    std::istringstream in(bytes);
    std::string magic;
    in >> magic >> p.width >> p.height >> p.maxval;
    if (!in || (magic != "P5" && magic != "P6")) return p;
    in.get();  // the single whitespace byte after maxval
    p.kind = magic[1];
    p.pixels = bytes.substr(static_cast<size_t>(in.tellg()));
    p.ok = true;
    return p;
}

// Saved image files (the tool's chN_*.ext names) in `dir`.
std::set<std::string> ImageFiles(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name.rfind("ch", 0) == 0) names.insert(name);
    }
    return names;
}

// Checks every index row against its file: the file exists, its name
// carries the row's channel, a PGM/PPM has the header that the attributes
// give and exactly `length` pixel bytes, and no file lacks a row.
void CheckRowsMatchFiles(const fs::path& dir, const std::vector<IndexRow>& rows) {
    std::set<std::string> listed;
    for (const IndexRow& r : rows) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(r.channel, travik::ChannelOf(r.attrs[0], r.attrs[4]));
        EXPECT_EQ(r.file.substr(0, 4), "ch" + std::to_string(r.channel) + "_");
        ASSERT_TRUE(fs::exists(dir / r.file));
        listed.insert(r.file);
        std::string bytes = ReadText((dir / r.file).string());
        std::string ext = r.file.substr(r.file.size() - 4);
        if (ext == ".bin") {
            EXPECT_EQ(static_cast<long long>(bytes.size()), r.length);
            continue;
        }
        Pnm pnm = ParsePnm(bytes);
        ASSERT_TRUE(pnm.ok);
        EXPECT_EQ(pnm.kind, ext == ".pgm" ? '5' : '6');
        EXPECT_EQ(r.attrs[1], ext == ".pgm" ? 1 : 3);
        EXPECT_EQ(pnm.width, r.attrs[2]);
        EXPECT_EQ(pnm.height, r.attrs[3]);
        EXPECT_EQ(pnm.maxval, 255);
        long long expected = static_cast<long long>(r.attrs[2]) * r.attrs[3] * (pnm.kind == '5' ? 1 : 3);
        EXPECT_EQ(r.length, expected);
        EXPECT_EQ(static_cast<long long>(pnm.pixels.size()), expected);
    }
    EXPECT_EQ(ImageFiles(dir), listed);
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TRAVIK_TOOL_PATH
        GTEST_SKIP() << "the travik tool is not part of this build";
#else
        m_tool = TRAVIK_TOOL_PATH;
#endif
        m_dir = travik_test::MakeTempDir("travik_tool_test.");
        ASSERT_FALSE(m_dir.empty());
        m_port = m_reserved.port();
        ASSERT_GT(m_port, 0);
    }
    void TearDown() override {
        if (!m_dir.empty()) {
            std::error_code ec;
            fs::remove_all(m_dir, ec);
        }
    }

    // Runs `travik args...`, output in files named after `name`.
    std::unique_ptr<Process> Run(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), m_tool);
        auto p =
            std::make_unique<Process>(args, (m_dir / (name + ".out")).string(), (m_dir / (name + ".err")).string());
        EXPECT_TRUE(p->Started()) << "cannot start " << m_tool;
        return p;
    }
    // A device on m_port, up and listening.
    std::unique_ptr<Process> StartDevice(std::vector<std::string> args) {
        args.insert(args.begin(), {"device", "--port", std::to_string(m_port)});
        auto device = Run("device", args);
        EXPECT_TRUE(device->WaitForErr("listening on port")) << device->Err();
        return device;
    }
    std::string Target() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Ends a device with Ctrl-C and checks that it stops cleanly and promptly,
    // with its own handling rather than the library's delayed exit.
    void StopDevice(Process& device) {
        ASSERT_TRUE(device.Interrupt());
        EXPECT_EQ(device.Wait(seconds(10)), 0) << device.Err();
        EXPECT_NE(device.Err().find("travik device: stopped"), std::string::npos) << device.Err();
        EXPECT_EQ(device.Err().find("Caught an interrupt signal"), std::string::npos);
    }

    std::string m_tool;
    fs::path m_dir;
    // Held for the whole test: the device started later listens on it (the
    // library sets SO_REUSEADDR), nobody else gets it, and before the device
    // is up a view is refused.
    travik_test::ReservedPort m_reserved;
    int m_port = 0;
};

const char kDeviceLogMark[] = "device log line";

TEST_F(ToolTest, ViewerWithLogsGetsLogLinesAndOnlyTheListedChannelsAsValidPgmFiles) {
    auto device = StartDevice({"--fps", "20", "--size", "64x48", "--format", "gray", "--log-rate", "20"});
    fs::path out = m_dir / "out";
    auto view = Run("view", {"view", Target(), "--logs", "--channels", "0,2", "--interval", "20", "--out", out.string(),
                             "--count", "16", "--duration", "30"});
    ASSERT_EQ(view->Wait(seconds(30)), 0) << view->Err();
    StopDevice(*device);

    // Standard output carries the device's log texts and nothing of the library's own lines.
    std::string text = view->Out();
    EXPECT_NE(text.find(kDeviceLogMark), std::string::npos) << text;
    EXPECT_EQ(text.find("connect done"), std::string::npos) << text;

    std::vector<IndexRow> rows = ReadIndex(out / "index.csv");
    ASSERT_EQ(rows.size(), 16u);
    std::set<int> channels;
    for (const IndexRow& r : rows) {
        channels.insert(r.channel);
        EXPECT_EQ(r.attrs[2], 64);
        EXPECT_EQ(r.attrs[3], 48);
        // The tag is the capture time, so the viewer computes a latency.
        ASSERT_FALSE(r.latency.empty());
        long long latency = std::stoll(r.latency);
        EXPECT_GE(latency, 0);
        EXPECT_LT(latency, 10'000'000);
        EXPECT_EQ(static_cast<long long>(r.tag) + latency, r.time);
    }
    EXPECT_EQ(channels, (std::set<int>{0, 2}));
    CheckRowsMatchFiles(out, rows);
}

TEST_F(ToolTest, ViewerWithoutLogsGetsNoLogTextAndRgbChannelsAsPpmFiles) {
    // Frames of several compression pieces, compressed by two threads at level 1.
    auto device = StartDevice({"--fps", "20", "--size", "320x240", "--format", "rgb", "--log-rate", "20", "--level",
                               "1", "--compress-threads", "2"});
    fs::path out = m_dir / "out";
    auto view = Run("view", {"view", Target(), "--channels", "1,3", "--interval", "20", "--out", out.string(),
                             "--count", "12", "--duration", "30"});
    ASSERT_EQ(view->Wait(seconds(30)), 0) << view->Err();
    StopDevice(*device);

    EXPECT_EQ(view->Out().find(kDeviceLogMark), std::string::npos) << view->Out();
    // The device kept writing log lines; with the stream closed the library refused every one.
    EXPECT_NE(device->Err().find(" 0 log lines staged"), std::string::npos) << device->Err();
    std::vector<IndexRow> rows = ReadIndex(out / "index.csv");
    ASSERT_EQ(rows.size(), 12u);
    std::set<int> channels;
    for (const IndexRow& r : rows) {
        channels.insert(r.channel);
        EXPECT_EQ(r.file.substr(r.file.size() - 4), ".ppm");
    }
    EXPECT_EQ(channels, (std::set<int>{1, 3}));
    CheckRowsMatchFiles(out, rows);
}

TEST_F(ToolTest, DeviceStreamsAnImageDirectoryAndTheViewerSavesTheSameBytes) {
    fs::path images = m_dir / "images";
    fs::create_directories(images);
    // A PGM with a comment in its header, a PPM and a file that is no image.
    std::string gray = {'\x00', '\x10', '\x20', '\x30', '\x40', '\x50', '\x60', '\x70',
                        '\x80', '\x90', '\xa0', '\xb0', '\xc0', '\xd0', '\xe0'};
    WriteFile(images / "a.pgm", "P5\n# five by three\n5 3\n255\n" + gray);
    std::string rgb;
    for (int i = 0; i < 4 * 2 * 3; ++i) rgb.push_back(static_cast<char>(i * 10));
    WriteFile(images / "b.ppm", "P6 4 2 255\n" + rgb);
    std::string blob = "not an image\n\x01\x02";
    WriteFile(images / "c.dat", blob);

    auto device = StartDevice({"--images", images.string(), "--channels", "0", "--fps", "20", "--log-rate", "0"});
    fs::path out = m_dir / "out";
    auto view = Run("view", {"view", Target(), "--channels", "0", "--interval", "1", "--out", out.string(), "--count",
                             "9", "--duration", "30"});
    ASSERT_EQ(view->Wait(seconds(30)), 0) << view->Err();
    StopDevice(*device);

    std::vector<IndexRow> rows = ReadIndex(out / "index.csv");
    ASSERT_EQ(rows.size(), 9u);
    CheckRowsMatchFiles(out, rows);
    std::set<std::string> kinds;
    for (const IndexRow& r : rows) {
        SCOPED_TRACE(r.file);
        std::string ext = r.file.substr(r.file.size() - 4);
        kinds.insert(ext);
        std::string bytes = ReadText((out / r.file).string());
        if (ext == ".pgm") {
            EXPECT_EQ(ParsePnm(bytes).pixels, gray);
            EXPECT_EQ(r.attrs[2], 5);
            EXPECT_EQ(r.attrs[3], 3);
        } else if (ext == ".ppm") {
            EXPECT_EQ(ParsePnm(bytes).pixels, rgb);
        } else {
            EXPECT_EQ(bytes, blob);
            EXPECT_EQ(r.attrs[1], 2);  // opaque bytes
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{".pgm", ".ppm", ".bin"}));
}

#if !defined(_WIN32)
// A device's log text is the device's to choose: on a terminal the viewer
// shows its control bytes as '?' rather than letting them drive the
// terminal (into a pipe it stays byte for byte, as the cases above check).
TEST_F(ToolTest, ViewOnATerminalShowsControlBytesOfLogTextAsQuestionMarks) {
    TravikMgr device;
    ASSERT_EQ(device.Listen("127.0.0.1", m_port), 0);
    // Made before the fork: the child only execs.
    const std::string target = Target();
    const char* argv[] = {m_tool.c_str(), "view", target.c_str(), "--logs", "--duration", "60", nullptr};
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    fcntl(terminal, F_SETFL, fcntl(terminal, F_GETFL) | O_NONBLOCK);
    char text[] =
        "a\x1b]0;retitled\x07"
        "b\x1b[2Jc\rd\r\nend-of-text";
    std::string shown;
    const bool arrived = WaitUntil(
        [&] {
            device.SendLogInfo(text, 0);
            char buffer[4096];
            ssize_t n = 0;
            while ((n = read(terminal, buffer, sizeof buffer)) > 0) shown.append(buffer, static_cast<size_t>(n));
            return shown.find("end-of-text") != std::string::npos;
        },
        seconds(30));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(terminal);
    device.Release();
    ASSERT_TRUE(arrived) << shown;
    EXPECT_NE(shown.find("a?]0;retitled?b?[2Jc?d"), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x07'), std::string::npos) << shown;
}
#endif

TEST_F(ToolTest, ViewAgainstAClosedPortExitsOneWithAMessage) {
    auto view = Run("view", {"view", Target(), "--duration", "5"});
    EXPECT_EQ(view->Wait(seconds(15)), 1);
    EXPECT_NE(view->Err().find("cannot connect to " + Target()), std::string::npos) << view->Err();
}

TEST_F(ToolTest, ViewExitsOneWhenTheDeviceGoesAway) {
    auto device = StartDevice({"--fps", "10", "--size", "32x32"});
    auto view = Run("view", {"view", Target(), "--interval", "20", "--duration", "60"});
    ASSERT_TRUE(view->WaitForErr("[view] images/s")) << view->Err();
    device->Kill();
    EXPECT_EQ(view->Wait(seconds(15)), 1) << view->Err();
    EXPECT_NE(view->Err().find("connection to " + Target() + " lost"), std::string::npos) << view->Err();
}

TEST_F(ToolTest, ReconnectingViewWaitsForTheDeviceAndThenReceives) {
    fs::path out = m_dir / "out";
    auto view = Run("view", {"view", Target(), "--reconnect", "--interval", "20", "--count", "3", "--out", out.string(),
                             "--duration", "40"});
    ASSERT_TRUE(view->WaitForErr("retrying every second")) << view->Err();
    // Let at least one attempt fail (the library reports it) before the device appears.
    ASSERT_TRUE(view->WaitForErr("Got an error on the connection: ")) << view->Err();
    {
        // With its reason: Windows keeps the socket's error apart from errno.
        const std::string err = view->Err();
        const size_t from = err.find("Got an error on the connection: ") + 32;
        const std::string reason = err.substr(from, err.find('\n', from) - from);
#if defined(_WIN32)
        EXPECT_EQ(reason.find("No error"), std::string::npos) << err;
        EXPECT_NE(reason, "Success") << err;
        EXPECT_FALSE(reason.empty()) << err;
#else
        EXPECT_EQ(reason, "Connection refused") << err;
#endif
    }
    auto device = StartDevice({"--fps", "20", "--size", "32x32"});
    EXPECT_EQ(view->Wait(seconds(30)), 0) << view->Err();
    StopDevice(*device);
    EXPECT_EQ(ReadIndex(out / "index.csv").size(), 3u);
}

TEST_F(ToolTest, BadArgumentsExitNonZeroWithAUsageLine) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"view"},
        {"view", "127.0.0.1:70000"},
        {"view", "127.0.0.1", "--channels", "4"},
        {"view", "127.0.0.1", "--interval", "0"},
        {"view", "127.0.0.1", "--no-such-flag"},
        {"device", "--fps", "0"},
        {"device", "--size", "640"},
        {"device", "--format", "yuv"},
        {"device", "--level", "0"},
        {"device", "--compress-threads", "33"},
        {"device", "--images", (m_dir / "missing").string()},
        {"demo", "--seconds", "-1"},
        {"demo", "--web", "localhost"},
        {"web"},
        {"web", "127.0.0.1", "--http", "nowhere:80"},
        {"web", "127.0.0.1", "--quality", "0"},
        {"web", "127.0.0.1", "--foxglove", "nowhere:8765"},
    };
    int i = 0;
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) joined += " " + a;
        SCOPED_TRACE("travik" + joined);
        std::vector<std::string> argv = args;
        auto p = Run("case" + std::to_string(i++), argv);
        EXPECT_EQ(p->Wait(seconds(10)), 2);
        EXPECT_NE(p->Err().find("usage: travik"), std::string::npos) << p->Err();
    }
    auto help = Run("help", {"view", "--help"});
    EXPECT_EQ(help->Wait(seconds(10)), 0);
    EXPECT_NE(help->Out().find("--interval"), std::string::npos) << help->Out();
}

// view, record, web and bridge make their source from the target the same
// way: a NATS credential beside a device address, or a nats:// address
// without a device name, is refused before anything connects.
TEST_F(ToolTest, EveryViewerSubcommandRefusesAMisplacedOrIncompleteSourceTheSameWay) {
    const fs::path creds = m_dir / "creds";
    WriteFile(creds, "not used");
    const fs::path mcap = m_dir / "out.mcap";
    const std::vector<std::vector<std::string>> viewers = {
        {"view"}, {"record", "-o", mcap.string()}, {"web", "--http", "127.0.0.1:0"}};
    int i = 0;
    for (const auto& viewer : viewers) {
        SCOPED_TRACE(viewer[0]);
        std::vector<std::string> args = viewer;
        args.insert(args.end(), {Target(), "--nats-creds", creds.string()});
        auto misplaced = Run("misplaced" + std::to_string(i), args);
        EXPECT_EQ(misplaced->Wait(seconds(10)), 2) << misplaced->Err();
        // (A build without the subcommand says so instead.)
        EXPECT_TRUE(misplaced->Err().find("go with a nats:// address") != std::string::npos ||
                    misplaced->Err().find("not available in this build") != std::string::npos)
            << misplaced->Err();

        args = viewer;
        args.push_back(viewer[0] == "web" ? "nats://127.0.0.1:1/not.a.name" : "nats://127.0.0.1:1");
        auto incomplete = Run("incomplete" + std::to_string(i++), args);
        EXPECT_EQ(incomplete->Wait(seconds(10)), 2) << incomplete->Err();
        const std::string err = incomplete->Err();
        EXPECT_TRUE(err.find("bad address") != std::string::npos ||
                    err.find("not available in this build") != std::string::npos)
            << err;
    }
}

TEST_F(ToolTest, DeviceOnABusyPortExitsOneWithAMessage) {
    const int fd = m_reserved.ListenToo();
    ASSERT_GE(fd, 0);
    auto device = Run("device", {"device", "--port", std::to_string(m_port)});
    EXPECT_EQ(device->Wait(seconds(10)), 1);
    EXPECT_NE(device->Err().find("cannot listen on port " + std::to_string(m_port)), std::string::npos)
        << device->Err();
    CloseSocket(static_cast<Socket>(fd));
}

TEST_F(ToolTest, DemoWritesViewableImagesAndASummary) {
    fs::path out = m_dir / "demo";
    auto demo = Run("demo", {"demo", "--seconds", "2", "--out", out.string()});
    ASSERT_EQ(demo->Wait(seconds(30)), 0) << demo->Err();
    std::string summary = demo->Out();
    EXPECT_NE(summary.find(kDeviceLogMark), std::string::npos);
    EXPECT_NE(summary.find("compression ratio"), std::string::npos) << summary;

    // One table row per channel: channel, format, size, offered, delivered, not delivered, ...
    std::istringstream lines(summary);
    std::string line;
    int channelRows = 0;
    while (std::getline(lines, line)) {
        std::istringstream row(line);
        std::string channel, format, size;
        long long offered = -1, delivered = -1, missing = -1;
        row >> channel >> format >> size >> offered >> delivered >> missing;
        if (!row || channel.size() != 1 || (format != "gray" && format != "rgb")) continue;
        SCOPED_TRACE(line);
        ++channelRows;
        EXPECT_GT(delivered, 0);
        EXPECT_GE(offered, delivered);
        EXPECT_EQ(offered - delivered, missing);
    }
    EXPECT_EQ(channelRows, 4) << summary;

    std::vector<IndexRow> rows = ReadIndex(out / "index.csv");
    ASSERT_FALSE(rows.empty());
    CheckRowsMatchFiles(out, rows);
    std::set<std::string> kinds;
    for (const IndexRow& r : rows) kinds.insert(r.file.substr(r.file.size() - 4));
    EXPECT_EQ(kinds, (std::set<std::string>{".pgm", ".ppm"}));
}

// True when something listens on ip:port (a plain TCP connect succeeds).
bool Accepts(const char* ip, int port) {
    const Socket fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd == kNoSocket) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &addr.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    CloseSocket(fd);
    return ok;
}

TEST_F(ToolTest, DeviceListensOnlyOnItsBindAddressAndWarnsWhenExposedWithoutTls) {
    // The default and the demo stay on loopback: nothing answers on 127.0.0.2.
    auto device = StartDevice({"--fps", "20", "--size", "32x32"});
    EXPECT_FALSE(Accepts("127.0.0.2", m_port));
    StopDevice(*device);
    auto demo = Run("demo", {"demo", "--seconds", "0", "--port", std::to_string(m_port)});
    ASSERT_TRUE(demo->WaitForErr("viewer connected")) << demo->Err();
    EXPECT_FALSE(Accepts("127.0.0.2", m_port));
    ASSERT_TRUE(demo->Interrupt());
    EXPECT_EQ(demo->Wait(seconds(15)), 0) << demo->Err();

    device = StartDevice({"--bind", "127.0.0.2", "--fps", "20", "--size", "32x32"});
    auto view = Run("view", {"view", "127.0.0.2:" + std::to_string(m_port), "--interval", "20", "--count", "2",
                             "--duration", "30"});
    EXPECT_EQ(view->Wait(seconds(30)), 0) << view->Err();
    EXPECT_FALSE(Accepts("127.0.0.1", m_port));
    StopDevice(*device);
    EXPECT_EQ(device->Err().find("warning:"), std::string::npos) << device->Err();

    device = StartDevice({"--bind", "0.0.0.0", "--fps", "20", "--size", "32x32"});
    EXPECT_NE(device->Err().find("warning: listening on 0.0.0.0 without TLS"), std::string::npos) << device->Err();
    StopDevice(*device);
}

// tls:// and its files are checked while the command line is read, the same
// for every viewer subcommand; a device's TLS files go together.
TEST_F(ToolTest, TlsOptionsThatCannotWorkExitTwoWithTheReason) {
    const std::string pem = (m_dir / "some.pem").string();
    WriteFile(pem, "not used");
    const std::string tlsTarget = "tls://127.0.0.1:" + std::to_string(m_port);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"view", tlsTarget}, "needs --tls-ca"},
        {{"view", Target(), "--tls-ca", pem}, "go with a tls:// address"},
        {{"web", Target(), "--tls-ca", pem, "--tls-cert", pem, "--tls-key", pem}, "go with a tls:// address"},
        {{"view", tlsTarget, "--tls-ca", pem, "--tls-cert", pem}, "--tls-cert requires --tls-key"},
        {{"device", "--tls-cert", pem}, "--tls-cert requires --tls-key"},
        {{"device", "--tls-client-ca", pem}, "--tls-client-ca requires --tls-cert"},
        {{"device", "--bind", "localhost"}, "must be a local IPv4 or IPv6 address"},
    };
    int i = 0;
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.first) joined += " " + a;
        SCOPED_TRACE("travik" + joined);
        auto p = Run("tlscase" + std::to_string(i++), c.first);
        const int code = p->Wait(seconds(10));
        // (A build without the subcommand says so instead.)
        if (p->Err().find("not available in this build") != std::string::npos) continue;
        EXPECT_EQ(code, 2) << p->Err();
        EXPECT_NE(p->Err().find(c.second), std::string::npos) << p->Err();
    }
}

// A device that serves only viewers with a certificate of its CA, and
// viewers that check the device's certificate: the right files stream, any
// missing or foreign one gets nothing.
TEST_F(ToolTest, ViewOverTlsReceivesOnlyWithTheRightCertificates) {
    if (TravikMgr::TlsAvailable() == 0) GTEST_SKIP() << "the library was built without TLS";
    const travik_test::TestCerts certs;
    ASSERT_TRUE(certs.ok()) << certs.Why();
    auto file = [&](const char* name) { return certs.File(name); };
    auto device = StartDevice({"--fps", "20", "--size", "32x32", "--log-rate", "20", "--tls-cert", file("device.pem"),
                               "--tls-key", file("device.key"), "--tls-client-ca", file("ca.pem")});
    const std::vector<std::string> client = {"--tls-cert", file("viewer.pem"), "--tls-key", file("viewer.key")};
    const std::string port = std::to_string(m_port);

    // By name (resolved, and checked against the certificate) and by address.
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        const fs::path out = m_dir / ("out-" + host);
        std::vector<std::string> args = {"view",
                                         "tls://" + host + ":" + port,
                                         "--logs",
                                         "--tls-ca",
                                         file("ca.pem"),
                                         "--interval",
                                         "20",
                                         "--count",
                                         "3",
                                         "--duration",
                                         "30",
                                         "--out",
                                         out.string()};
        args.insert(args.end(), client.begin(), client.end());
        auto view = Run("view-" + host, args);
        EXPECT_EQ(view->Wait(seconds(30)), 0) << view->Err();
        EXPECT_EQ(ReadIndex(out / "index.csv").size(), 3u);
        EXPECT_NE(view->Out().find(kDeviceLogMark), std::string::npos) << view->Out();
    }

    std::vector<std::string> foreignCa = {"--tls-ca", file("other-ca.pem")};
    foreignCa.insert(foreignCa.end(), client.begin(), client.end());
    const std::vector<std::pair<std::string, std::vector<std::string>>> refused = {
        {"tls://127.0.0.1:" + port, {"--tls-ca", file("ca.pem")}},  // no client certificate
        {"tls://127.0.0.1:" + port, foreignCa},                     // the device's certificate unchecked
        {"127.0.0.1:" + port, {}},                                  // plain TCP to a TLS device
    };
    int i = 0;
    for (const auto& r : refused) {
        SCOPED_TRACE(r.first + " " + (r.second.empty() ? "" : r.second[1]));
        const fs::path out = m_dir / ("refused" + std::to_string(i));
        std::vector<std::string> args = {"view", r.first, "--count", "1", "--duration", "10", "--out", out.string()};
        args.insert(args.end(), r.second.begin(), r.second.end());
        auto view = Run("refused" + std::to_string(i++), args);
        EXPECT_EQ(view->Wait(seconds(30)), 1) << view->Err();
        EXPECT_TRUE(!fs::exists(out / "index.csv") || ReadIndex(out / "index.csv").empty());
    }
    StopDevice(*device);
}

TEST(ExampleHostsTest, DeviceAndViewerExamplesTalkOverLoopback) {
#if !defined(TRAVIK_DEVICE_HOST_PATH) || !defined(TRAVIK_VIEWER_HOST_PATH)
    GTEST_SKIP() << "the examples are not part of this build";
#else
    const fs::path dir = travik_test::MakeTempDir("travik_example_test.");
    ASSERT_FALSE(dir.empty());
    const travik_test::ReservedPort reserved;  // the device host listens on it
    std::string port = std::to_string(reserved.port());
    {
        Process device({TRAVIK_DEVICE_HOST_PATH, port, "4"}, (dir / "device.out").string(),
                       (dir / "device.err").string());
        Process viewer({TRAVIK_VIEWER_HOST_PATH, "127.0.0.1", port, "10"}, (dir / "viewer.out").string(),
                       (dir / "viewer.err").string());
        EXPECT_EQ(viewer.Wait(seconds(20)), 0) << viewer.Out() << viewer.Err();
        EXPECT_NE(viewer.Out().find("log: device: frame"), std::string::npos) << viewer.Out();
        EXPECT_NE(viewer.Out().find("image 320x240 format 1, 76800 bytes"), std::string::npos) << viewer.Out();
        EXPECT_EQ(device.Wait(seconds(20)), 0) << device.Err();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
#endif
}

}  // namespace
