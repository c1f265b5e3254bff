// The live page's server on the wire, without a browser: a WebSocket client
// on loopback against WebServer. Latest-wins under a tab that does not
// read, the snapshot a late tab gets, the upgrade checks and the strict
// Host, bad messages and channels, a header over the limit (431), two
// Hosts or Origins and an endless chunk header (400), the connection cap,
// the handshake cap (idle keep-alive sockets too), the first-request deadline,
// running out of descriptors, and a handler that throws. Video tabs, and
// the relay that encodes JPEG only for tabs that show it.
#if !defined(_WIN32)  // running out of descriptors
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server/server.h"
#include "support/raw_socket.h"
#include "support/wait.h"
#include "web/protocol.h"
#include "web/relay.h"
#include "web/server.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace travik_tool;

using travik_test::CloseSocket;
using travik_test::RecvBytes;
using travik_test::WaitReadable;
using travik_test::WaitUntil;

// How long a client waits for the server's next bytes before giving up.
int ReadTimeoutMs() { return static_cast<int>(travik_test::Scaled(std::chrono::seconds(10)).count()); }

// A blocking client; its reads give up after the scaled 10 s where the
// system lets them (travik_test::SetReceiveTimeout).
struct Client {
    asio::io_context ioc;
    websocket::stream<tcp::socket> ws{ioc};

    // Connects and upgrades; false when the upgrade is refused. `receiveBuffer` > 0 shrinks the socket's
    // receive buffer so that a client that does not read stalls the server soon.
    bool Open(int port, const std::string& host, const std::string& origin, int receiveBuffer = 0) {
        tcp::socket& s = ws.next_layer();
        s.open(tcp::v4());
        if (receiveBuffer > 0) s.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        travik_test::SetReceiveTimeout(static_cast<int>(s.native_handle()), ReadTimeoutMs());
        s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& req) {
            if (!origin.empty()) req.set(http::field::origin, origin);
        }));
        beast::error_code ec;
        ws.handshake(host, "/ws", ec);
        return !ec;
    }

    // The next message: true and the bytes; binary tells which kind.
    bool Read(std::string& out, bool& binary) {
        beast::flat_buffer buffer;
        beast::error_code ec;
        ws.read(buffer, ec);
        if (ec) return false;
        out = beast::buffers_to_string(buffer.data());
        binary = ws.got_binary();
        return true;
    }
};

// The status a plain HTTP upgrade request gets (no Origin when empty).
int UpgradeStatus(int port, const std::string& host, const std::string& origin) {
    asio::io_context ioc;
    tcp::socket socket(ioc);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    travik_test::SetReceiveTimeout(static_cast<int>(socket.native_handle()), ReadTimeoutMs());
    http::request<http::empty_body> req(http::verb::get, "/ws", 11);
    req.set(http::field::host, host);
    if (!origin.empty()) req.set(http::field::origin, origin);
    req.set(http::field::connection, "Upgrade");
    req.set(http::field::upgrade, "websocket");
    req.set(http::field::sec_websocket_version, "13");
    req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    http::write(socket, req);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    beast::error_code ec;
    http::read(socket, buffer, res, ec);
    return ec ? -1 : res.result_int();
}

// A plain TCP socket connected to the server.
int Connect(int port) { return travik_test::ConnectLoopback(port); }

// Sends `req` on `fd` and returns the response's status line ("" on none).
std::string StatusLine(int fd, const std::string& req) {
    if (travik_test::SendBytes(fd, req.data(), req.size()) != static_cast<long>(req.size())) return "";
    std::string got;
    char buf[512];
    while (got.find("\r\n") == std::string::npos && got.size() < 64 * 1024) {
        if (!WaitReadable(fd, ReadTimeoutMs())) break;
        const long n = RecvBytes(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got.substr(0, got.find("\r\n"));
}

// Sends GET / on `fd` and returns the response's status line ("" on none).
std::string GetStatusLine(int fd, int port) {
    return StatusLine(fd,
                      "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n");
}

// Whether the server closes `fd` (a read sees the end, not a timeout).
bool ClosedByServer(int fd) {
    char byte;
    return WaitReadable(fd, ReadTimeoutMs()) && RecvBytes(fd, &byte, 1) == 0;
}

std::shared_ptr<const std::string> ImageMessage(int channel, uint32_t sequence, size_t payload) {
    ImageHeader h;
    h.channel = channel;
    h.encoding = WebEncoding::Jpeg;
    h.sequence = sequence;
    h.width = 4;
    h.height = 4;
    h.attr2 = 1;
    auto message = std::make_shared<std::string>(kImageHeaderBytes + payload, 'x');
    WriteImageHeader(h, *message);
    return message;
}

void Publish(WebServer& server, int channel, uint32_t sequence, size_t payload = 16) {
    WebImage image;
    image.channel = channel;
    image.message = ImageMessage(channel, sequence, payload);
    EXPECT_TRUE(server.PublishImage(image));
}

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.SetCommandHandler([this](const std::string& text) {
            PageCommand command;
            std::string error;
            if (!ParsePageCommand(text, command, error)) return error;
            std::lock_guard<std::mutex> lock(mutex);
            applied.push_back(command);
            return std::string();
        });
        WebServerConfig config;
        config.port = 0;
        config.video = true;  // units come from the tests themselves
        std::string error;
        ASSERT_TRUE(server.Start(config, error)) << error;
        port = server.Port();
        host = "127.0.0.1:" + std::to_string(port);
    }

    WebServer server;
    int port = 0;
    std::string host;
    std::mutex mutex;
    std::vector<PageCommand> applied;
};

// A tab that stops reading holds at most what the sockets buffer plus one
// image per channel: the server replaces unsent images instead of queueing
// them, and once the tab reads again the newest image is there.
TEST_F(WebServerTest, TabThatDoesNotReadGetsTheNewestImageNotABacklog) {
    Client client;
    ASSERT_TRUE(client.Open(port, host, "", 4096));
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().tabs == 1; }));
    constexpr uint32_t kImages = 300;
    constexpr size_t kPayload = 256 * 1024;  // 75 MiB in all: far more than loopback buffers hold
    for (uint32_t seq = 1; seq <= kImages; ++seq) {
        Publish(server, 0, seq, kPayload);
        // Each image reaches the tab's queue before the next is published,
        // so any dropping is the tab's, not the inbox's.
        ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().imagesQueued >= seq; })) << seq;
    }
    uint32_t last = 0, received = 0;
    while (last < kImages) {
        std::string message;
        bool binary = false;
        ASSERT_TRUE(client.Read(message, binary)) << "after " << received << " images, last " << last;
        if (!binary) continue;
        ImageHeader h;
        ASSERT_TRUE(ReadImageHeader(reinterpret_cast<const unsigned char*>(message.data()), message.size(), h));
        ASSERT_EQ(message.size(), kImageHeaderBytes + kPayload);
        EXPECT_GT(h.sequence, last);  // never an older image after a newer one
        last = h.sequence;
        ++received;
    }
    EXPECT_EQ(last, kImages);
    EXPECT_LT(received, kImages / 2) << "the tab was sent a backlog";
    EXPECT_GT(server.TakeStats().imagesReplaced, 0u);
}

std::shared_ptr<const AccessUnit> Unit(uint64_t sequence, bool keyframe, size_t bytes = 64) {
    auto unit = std::make_shared<AccessUnit>();
    unit->annexB.assign(bytes, keyframe ? 'k' : 'd');
    unit->keyframe = keyframe;
    unit->width = 4;
    unit->height = 4;
    unit->sequence = sequence;
    return unit;
}

// The next H.264 message's header; false on a read error or timeout.
bool ReadVideo(Client& client, ImageHeader& h) {
    for (int i = 0; i < 100; ++i) {  // texts (errors) may come in between
        std::string message;
        bool binary = false;
        if (!client.Read(message, binary)) return false;
        if (binary && ReadImageHeader(reinterpret_cast<const unsigned char*>(message.data()), message.size(), h))
            return true;
    }
    return false;
}

// A tab that turns video on is a watcher of that channel, asks for a
// keyframe and gets nothing before one; its JPEGs stop meanwhile; turning
// it off ends the watch.
TEST_F(WebServerTest, VideoTabStartsAtAKeyframeInsteadOfJpeg) {
    Client client;
    ASSERT_TRUE(client.Open(port, host, "http://" + host));
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().tabs == 1; }));
    EXPECT_FALSE(server.VideoWatched(0));
    client.ws.text(true);
    client.ws.write(asio::buffer(std::string(R"({"type":"video","channel":0,"on":true})")));
    ASSERT_TRUE(WaitUntil([&] { return server.VideoWatched(0); }));
    EXPECT_TRUE(server.TakeKeyframeWanted(0));
    EXPECT_FALSE(server.TakeKeyframeWanted(0));  // once per request
    EXPECT_FALSE(server.VideoWatched(1));
    server.OfferVideo(0, Unit(1, false));
    Publish(server, 0, 2);  // a JPEG of the same channel: not for this tab now
    server.OfferVideo(0, Unit(3, true));
    server.OfferVideo(0, Unit(4, false));
    ImageHeader h;
    ASSERT_TRUE(ReadVideo(client, h));
    EXPECT_EQ(h.encoding, WebEncoding::H264);
    EXPECT_TRUE(h.keyframe);
    EXPECT_EQ(h.sequence, 3u);
    ASSERT_TRUE(ReadVideo(client, h));
    EXPECT_EQ(h.sequence, 4u);
    EXPECT_FALSE(h.keyframe);
    client.ws.write(asio::buffer(std::string(R"({"type":"video","channel":0,"on":false})")));
    ASSERT_TRUE(WaitUntil([&] { return !server.VideoWatched(0); }));
    Publish(server, 0, 5);
    ASSERT_TRUE(ReadVideo(client, h));
    EXPECT_EQ(h.encoding, WebEncoding::Jpeg);  // back to JPEG: the snapshot, then the new one
}

// A video tab that stops reading loses units, but never gets a gap: it
// skips to the next keyframe (asked for), and it is never sent a backlog.
TEST_F(WebServerTest, StalledVideoTabSkipsToTheNextKeyframe) {
    Client client;
    ASSERT_TRUE(client.Open(port, host, "", 4096));
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().tabs == 1; }));
    client.ws.text(true);
    client.ws.write(asio::buffer(std::string(R"({"type":"video","channel":0,"on":true})")));
    ASSERT_TRUE(WaitUntil([&] { return server.VideoWatched(0); }));
    ASSERT_TRUE(server.TakeKeyframeWanted(0));
    constexpr uint64_t kUnits = 300;
    constexpr size_t kBytes = 256 * 1024;  // 75 MiB in all: far more than loopback buffers hold
    server.OfferVideo(0, Unit(1, true, kBytes));
    for (uint64_t seq = 2; seq <= kUnits; ++seq) server.OfferVideo(0, Unit(seq, false, kBytes));
    // Somewhere the stream broke: a keyframe is wanted.
    ASSERT_TRUE(WaitUntil([&] { return server.TakeKeyframeWanted(0); }));
    server.OfferVideo(0, Unit(kUnits + 1, true, kBytes));
    uint64_t last = 0, received = 0;
    ImageHeader h;
    while (last != kUnits + 1) {
        ASSERT_TRUE(ReadVideo(client, h)) << "after " << received << " units, last " << last;
        ASSERT_LE(++received, kUnits + 1);
        // In order with no gap, or a keyframe.
        EXPECT_TRUE(h.keyframe || h.sequence == last + 1) << last << " -> " << h.sequence;
        last = h.sequence;
    }
    EXPECT_LT(received, kUnits / 2) << "the tab was sent a backlog";
    server.OfferVideo(0, Unit(kUnits + 2, false));
    ASSERT_TRUE(ReadVideo(client, h));
    EXPECT_EQ(h.sequence, kUnits + 2);  // the stream goes on from the keyframe
}

// The relay encodes a channel's JPEG only while some tab shows it as JPEG:
// with no tab, or every tab on video, images are kept unencoded, and the
// newest of them is encoded once a tab wants JPEG again (it opens, or
// turns video off) even when the device sends nothing more.
TEST_F(WebServerTest, JpegIsEncodedOnlyForTabsThatShowIt) {
    ImageRelay relay(server, 85, false);
    uint64_t encoded = 0, parked = 0;
    auto take = [&] {
        const RelayCounts counts = relay.TakeWindow();
        encoded += counts.encoded;
        parked += counts.parked;
    };
    const int w = 16, h = 8;
    auto offer = [&](int channel, uint64_t tag) {
        std::shared_ptr<unsigned char> pixels(new unsigned char[w * h], std::default_delete<unsigned char[]>());
        std::fill(pixels.get(), pixels.get() + w * h, static_cast<unsigned char>(tag));
        relay.Offer(channel, 1, w, h, pixels, w * h, tag);
    };
    // The JPEG of `channel` tagged `tag` reaches the tab (others are skipped).
    auto receives = [](Client& client, int channel, uint64_t tag) {
        ImageHeader header;
        for (int i = 0; i < 20; ++i) {
            if (!ReadVideo(client, header)) return false;
            if (header.channel == channel && header.encoding == WebEncoding::Jpeg && header.tag == tag) return true;
        }
        return false;
    };

    for (uint64_t tag = 1; tag <= 3; ++tag) offer(0, tag);  // nobody watches
    take();
    EXPECT_EQ(parked, 3u);
    EXPECT_EQ(encoded, 0u);

    Client client;
    ASSERT_TRUE(client.Open(port, host, ""));
    ASSERT_TRUE(WaitUntil([&] { return server.JpegWatched(0); }));
    relay.Refresh();
    ASSERT_TRUE(receives(client, 0, 3)) << "the newest kept image was not sent to the new tab";
    ASSERT_TRUE(WaitUntil([&] {  // counted just after it was published
        take();
        return encoded == 1;
    }));

    client.ws.text(true);
    client.ws.write(asio::buffer(std::string(R"({"type":"video","channel":0,"on":true})")));
    ASSERT_TRUE(WaitUntil([&] { return server.VideoWatched(0); }));
    EXPECT_FALSE(server.JpegWatched(0));
    EXPECT_TRUE(server.JpegWatched(1));
    encoded = parked = 0;
    for (uint64_t tag = 10; tag <= 14; ++tag) offer(0, tag);
    offer(1, 20);
    ASSERT_TRUE(receives(client, 1, 20));
    ASSERT_TRUE(WaitUntil([&] {
        take();
        return encoded >= 1;
    }));
    EXPECT_EQ(encoded, 1u) << "a channel every tab watches as video was encoded as JPEG";
    EXPECT_EQ(parked, 5u);

    client.ws.write(asio::buffer(std::string(R"({"type":"video","channel":0,"on":false})")));
    ASSERT_TRUE(WaitUntil([&] { return server.JpegWatched(0); }));
    relay.Refresh();
    EXPECT_TRUE(receives(client, 0, 14)) << "turning video off did not bring the newest image as JPEG";

    client.ws.close(websocket::close_code::normal);
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().tabs == 0 && !server.JpegWatched(1); }));
    take();
    encoded = parked = 0;
    offer(1, 21);
    take();
    EXPECT_EQ(parked, 1u) << "a closed tab still counts as watching";
}

// A tab that opens late gets the newest image of every channel, the state
// and the last log lines at once, without waiting for the next frame.
TEST_F(WebServerTest, LateTabGetsSnapshotAtOnce) {
    for (int c = 0; c < 4; ++c) {
        Publish(server, c, 10 + c);
        Publish(server, c, 20 + c);
    }
    server.PublishText("state", StateJson(DeviceLink::Connected, "127.0.0.1:7000", DeviceWish()));
    server.PublishLog("first line\nsecond line\n");
    server.PublishLog("third line");
    Client client;
    ASSERT_TRUE(client.Open(port, host, "http://" + host));
    uint32_t newest[4] = {};
    std::string texts;
    while (!(newest[0] && newest[1] && newest[2] && newest[3]) || texts.find("third line") == std::string::npos) {
        std::string message;
        bool binary = false;
        ASSERT_TRUE(client.Read(message, binary)) << texts;
        ImageHeader h;
        if (binary && ReadImageHeader(reinterpret_cast<const unsigned char*>(message.data()), message.size(), h)) {
            EXPECT_EQ(newest[h.channel], 0u) << "channel " << h.channel << " sent twice";
            newest[h.channel] = h.sequence;
        } else {
            texts += message;
        }
    }
    for (int c = 0; c < 4; ++c) EXPECT_EQ(newest[c], 20u + c);
    EXPECT_NE(texts.find("\"link\":\"connected\""), std::string::npos);
    EXPECT_NE(texts.find("first line"), std::string::npos);
    EXPECT_NE(texts.find("second line"), std::string::npos);
}

// Another site's page cannot open the socket (Origin), nor can a name
// rebound to 127.0.0.1 (Host); the page's own origin can.
TEST_F(WebServerTest, UpgradeOnlyFromThePagesOwnOrigin) {
    const std::string p = std::to_string(port);
    EXPECT_EQ(UpgradeStatus(port, host, "http://evil.example"), 403);
    EXPECT_EQ(UpgradeStatus(port, "evil.example:" + p, "http://evil.example:" + p), 403);
    EXPECT_EQ(UpgradeStatus(port, host, "http://" + host), 101);
    Client own;
    EXPECT_TRUE(own.Open(port, host, "http://" + host));
    Client localhost;
    EXPECT_TRUE(localhost.Open(port, "localhost:" + p, "http://localhost:" + p));
    EXPECT_EQ(server.TakeStats().refusedUpgrades, 2u);
}

// Whatever a page sends, the server answers bad input with an error
// message, applies nothing from it, and keeps serving.
TEST_F(WebServerTest, BadMessagesGetAnErrorAndApplyNothing) {
    Client client;
    ASSERT_TRUE(client.Open(port, host, "http://" + host));
    const std::vector<std::string> bad = {
        "not json",
        "[1,2,3]",
        "{\"type\":\"command\"}",
        "{\"type\":\"other\",\"logs\":true}",
        "{\"type\":\"command\",\"logs\":1}",
        "{\"type\":\"command\",\"bogus\":true}",
        "{\"type\":\"command\",\"interval\":0}",
        "{\"type\":\"command\",\"interval\":1.5}",
        "{\"type\":\"command\",\"interval\":99999999999999999999}",
        "{\"type\":\"command\",\"channel\":4,\"on\":true}",
        "{\"type\":\"command\",\"channel\":7,\"on\":true}",
        "{\"type\":\"command\",\"channel\":-1,\"on\":false}",
        "{\"type\":\"command\",\"channel\":1}",
        "{\"type\":\"command\",\"logs\":true,\"pad\":\"" + std::string(2000, 'a') + "\"}",
        std::string(400, '[') + std::string(400, ']'),
        "{\"type\":\"command\",\"logs\":\"\xc3\xa9\"}",
    };
    for (const std::string& text : bad) {
        client.ws.text(true);
        client.ws.write(asio::buffer(text));
        std::string reply;
        bool binary = true;
        // The state and hello may come first; the error answers this message.
        do {
            ASSERT_TRUE(client.Read(reply, binary)) << text.substr(0, 60);
        } while (binary || reply.find("\"type\":\"error\"") == std::string::npos);
    }
    client.ws.binary(true);
    client.ws.write(asio::buffer(std::string("\x01\x02")));
    std::string reply;
    bool binary = true;
    do {
        ASSERT_TRUE(client.Read(reply, binary));
    } while (binary || reply.find("\"type\":\"error\"") == std::string::npos);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(applied.empty());
    }
    client.ws.text(true);
    client.ws.write(asio::buffer(std::string("{\"type\":\"command\",\"channel\":2,\"on\":false}")));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return applied.size() == 1;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(applied[0].channel, 2);
    EXPECT_EQ(applied[0].on, 0);
    EXPECT_EQ(server.TakeStats().badMessages, bad.size() + 1);
}

}  // namespace

namespace {

// A channel the library does not have is refused everywhere, never folded
// onto one it has: by the server, the header codec and the command path.
TEST_F(WebServerTest, ChannelsWeDoNotHaveAreRefusedNotFolded) {
    for (int bad : {-1, travik::kImageChannels, 7}) {
        WebImage image;
        image.channel = bad;
        image.message = ImageMessage(0, 99, 16);
        EXPECT_FALSE(server.PublishImage(image)) << bad;
        ImageHeader h;
        h.channel = bad;
        std::string out;
        EXPECT_FALSE(WriteImageHeader(h, out)) << bad;
        if (bad != -1) {  // -1 in a PageCommand means "no channel"; the page's -1 is refused when parsed
            PageCommand command;
            command.channel = bad;
            command.on = 0;
            DeviceWish wish;
            EXPECT_FALSE(ApplyCommand(command, wish)) << bad;
            for (bool on : wish.channels) EXPECT_TRUE(on);
        }
    }
    std::string header = *ImageMessage(3, 1, 0);
    header[1] = 7;
    ImageHeader h;
    EXPECT_FALSE(ReadImageHeader(reinterpret_cast<const unsigned char*>(header.data()), header.size(), h));

    Publish(server, 0, 1);
    Client client;
    ASSERT_TRUE(client.Open(port, host, "http://" + host));
    std::string message;
    bool binary = false;
    do {
        ASSERT_TRUE(client.Read(message, binary));
    } while (!binary);
    ASSERT_TRUE(ReadImageHeader(reinterpret_cast<const unsigned char*>(message.data()), message.size(), h));
    EXPECT_EQ(h.channel, 0);
    EXPECT_EQ(server.TakeStats().imagesQueued, 1u);  // the snapshot holds nothing else
}

// Past maxConnections plain HTTP connections get 503 and nothing more; the
// server answers again once one has closed.
TEST(WebServerLimits, ConnectionsPastTheCapGet503) {
    WebServer server;
    WebServerConfig config;
    config.port = 0;
    config.maxConnections = 1;
    config.firstRequestTimeout = std::chrono::minutes(5);  // `held` sends nothing
    std::string error;
    ASSERT_TRUE(server.Start(config, error)) << error;
    const int port = server.Port();
    const int held = Connect(port);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().connections == 1; }));
    const int over = Connect(port);
    ASSERT_GE(over, 0);
    EXPECT_EQ(GetStatusLine(over, port), "HTTP/1.1 503 Service Unavailable");
    CloseSocket(over);
    EXPECT_EQ(server.TakeStats().refusedConnections, 1u);
    CloseSocket(held);
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().connections == 0; }));
    const int next = Connect(port);
    ASSERT_GE(next, 0);
    EXPECT_EQ(GetStatusLine(next, port), "HTTP/1.1 200 OK");
    CloseSocket(next);
}

// Out of descriptors, a failed accept pauses accepting (about ten attempts
// a second) instead of retrying at once for ever; the waiting connection is
// served once descriptors are free again.
TEST(WebServerLimits, AcceptPausesWhileDescriptorsRunOut) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no descriptor limit a process can lower to make accept fail";
#else
    WebServer server;
    WebServerConfig config;
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server.Start(config, error)) << error;
    const int port = server.Port();
    const int client = socket(AF_INET, SOCK_STREAM, 0);  // made before the descriptors run out
    ASSERT_GE(client, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int i = 0; i < 512; ++i) {
        const int fd = dup(client);
        if (fd < 0) break;
        filler.push_back(fd);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    const bool failing = connected && WaitUntil([&] { return server.TakeStats().acceptFailures > 0; });
    // The attempts over a one-second window: a spin makes tens of thousands.
    const uint64_t before = server.TakeStats().acceptFailures;
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const uint64_t attempts = server.TakeStats().acceptFailures - before;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : filler) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(connected);
    ASSERT_TRUE(failing) << "accept never failed; " << filler.size() << " descriptors filled";
    EXPECT_LE(static_cast<double>(attempts), 30 * seconds + 5) << "accept retried at once";
    EXPECT_EQ(GetStatusLine(client, port), "HTTP/1.1 200 OK");
    close(client);
#endif
}

// An exception that escapes a handler is counted and printed, and the loop
// runs the handlers after it.
TEST(WebServerLimits, ServerLoopReportsWhatItCatchesAndCarriesOn) {
    asio::io_context ioc;
    ServerCounters counters;
    bool after = false;
    asio::post(ioc, [] { throw std::runtime_error("boom in a handler"); });
    asio::post(ioc, [&] { after = true; });
    testing::internal::CaptureStderr();
    RunServerLoop(ioc, counters.loopErrors);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(after);
    EXPECT_EQ(counters.loopErrors.load(), 1u);
    EXPECT_NE(err.find("boom in a handler"), std::string::npos) << err;
}

// The Host header is parsed whole: a loopback name followed by anything but
// a port is another host, refused for the page and for the upgrade alike.
TEST_F(WebServerTest, HostIsParsedStrictly) {
    for (const std::string bad : {"localhost:80@evil.com", "[::1]evil", "127.0.0.1:80:80", "localhost:", "[::1",
                                  "127.0.0.1.evil.com", "localhost :80", ""}) {
        EXPECT_EQ(UpgradeStatus(port, bad, ""), 403) << bad;
        const int fd = Connect(port);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(StatusLine(fd, "GET / HTTP/1.1\r\nHost: " + bad + "\r\nConnection: close\r\n\r\n"),
                  "HTTP/1.1 403 Forbidden")
            << bad;
        CloseSocket(fd);
    }
    for (const std::string good : {"127.0.0.1:8080", "localhost", "[::1]:80", "LOCALHOST:1"})
        EXPECT_EQ(UpgradeStatus(port, good, ""), 101) << good;
}

// A request whose header is over the limit is answered 431 (not a reset),
// and the server goes on serving.
TEST_F(WebServerTest, HeaderOverTheLimitGets431) {
    const int fd = Connect(port);
    ASSERT_GE(fd, 0);
    const std::string big = "GET / HTTP/1.1\r\nHost: " + host + "\r\nX-Filler: " + std::string(40 * 1024, 'a') +
                            "\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(StatusLine(fd, big), "HTTP/1.1 431 Request Header Fields Too Large");
    CloseSocket(fd);
    EXPECT_EQ(server.TakeStats().badRequests, 1u);
    const int next = Connect(port);
    ASSERT_GE(next, 0);
    EXPECT_EQ(GetStatusLine(next, port), "HTTP/1.1 200 OK");
    CloseSocket(next);
}

// Hostile request forms get an answer, not a silent close: two Hosts or two
// Origins are refused whole (the checks would pass on one of them), and a
// chunk header whose extension never ends is refused once it outgrows the
// read buffer instead of growing it until the deadline.
TEST_F(WebServerTest, AmbiguousOrEndlessRequestsGet400) {
    const std::string upgrade =
        "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::string chunked =
        "POST / HTTP/1.1\r\nHost: " + host + "\r\nTransfer-Encoding: chunked\r\n\r\n1;" + std::string(128 * 1024, 'x');
    for (const std::string& req :
         {"GET / HTTP/1.1\r\nHost: " + host + "\r\nHost: evil.com\r\n\r\n",
          upgrade + "Host: " + host + "\r\nHost: evil.com\r\n\r\n",
          upgrade + "Host: " + host + "\r\nOrigin: http://" + host + "\r\nOrigin: http://evil.com\r\n\r\n", chunked}) {
        const int fd = Connect(port);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(StatusLine(fd, req), "HTTP/1.1 400 Bad Request") << req.substr(0, 200);
        CloseSocket(fd);
    }
    EXPECT_EQ(server.TakeStats().badRequests, 4u);
}

// A socket that sent one request and idles on keep-alive is no session: it
// gives way to newcomers like a silent one, so a few such sockets cannot
// hold every connection and keep the next client out.
TEST(WebServerLimits, IdleKeepAliveSocketsDoNotHoldTheConnectionCap) {
    WebServer server;
    WebServerConfig config;
    config.port = 0;
    config.maxConnections = 4;
    config.maxHandshakes = 2;
    std::string error;
    ASSERT_TRUE(server.Start(config, error)) << error;
    const int port = server.Port();
    const std::string keepAlive = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    std::vector<int> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(Connect(port));
        ASSERT_GE(idle.back(), 0);
        EXPECT_EQ(StatusLine(idle.back(), keepAlive), "HTTP/1.1 200 OK") << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().connections <= 2; }));
    const int client = Connect(port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(GetStatusLine(client, port), "HTTP/1.1 200 OK");
    CloseSocket(client);
    for (int fd : idle) CloseSocket(fd);
}

// Sockets that connect and send nothing cannot hold the server: past the
// handshake cap each newcomer closes the oldest, and each is closed at its
// first-request deadline anyway; a client that sends its request is served.
TEST(WebServerLimits, IdleSocketsDoNotKeepAClientOut) {
    WebServer server;
    WebServerConfig config;
    config.port = 0;
    config.maxConnections = 4;
    config.maxHandshakes = 2;
    config.firstRequestTimeout = std::chrono::minutes(5);  // only the cap closes them here
    std::string error;
    ASSERT_TRUE(server.Start(config, error)) << error;
    const int port = server.Port();
    std::vector<int> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(Connect(port));
        ASSERT_GE(idle.back(), 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().handshakesDropped == 6; }));
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(ClosedByServer(idle[static_cast<size_t>(i)])) << i;
    const int client = Connect(port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(GetStatusLine(client, port), "HTTP/1.1 200 OK");
    CloseSocket(client);
    for (int fd : idle) CloseSocket(fd);
}

// A socket that sends nothing is closed at the first-request deadline.
TEST(WebServerLimits, SilentSocketIsClosedAtTheFirstRequestDeadline) {
    WebServer server;
    WebServerConfig config;
    config.port = 0;
    config.firstRequestTimeout = std::chrono::milliseconds(50);
    std::string error;
    ASSERT_TRUE(server.Start(config, error)) << error;
    const int fd = Connect(server.Port());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(ClosedByServer(fd));
    CloseSocket(fd);
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().connections == 0; }));
}

}  // namespace
