// The live page's server on the wire, without a browser: a WebSocket client
// on loopback against WebServer. Latest-wins under a tab that does not
// read, the snapshot a late tab gets, the upgrade checks, and bad messages.
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/wait.h"
#include "web/protocol.h"
#include "web/server.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace travik_tool;

using travik_test::WaitUntil;

// A blocking client whose reads give up after 10 s instead of hanging.
struct Client {
    asio::io_context ioc;
    websocket::stream<tcp::socket> ws{ioc};

    // Connects and upgrades; false when the upgrade is refused. `receiveBuffer` > 0 shrinks the socket's
    // receive buffer so that a client that does not read stalls the server soon.
    bool Open(int port, const std::string& host, const std::string& origin, int receiveBuffer = 0) {
        tcp::socket& s = ws.next_layer();
        s.open(tcp::v4());
        if (receiveBuffer > 0) s.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        timeval tv{10, 0};
        setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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

// The status a plain HTTP upgrade request gets.
int UpgradeStatus(int port, const std::string& host, const std::string& origin) {
    asio::io_context ioc;
    tcp::socket socket(ioc);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    http::request<http::empty_body> req(http::verb::get, "/ws", 11);
    req.set(http::field::host, host);
    req.set(http::field::origin, origin);
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
    server.PublishImage(image);
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
