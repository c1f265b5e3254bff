// The Foxglove endpoint's server on the wire with a Beast WebSocket client:
// the handshake checks (subprotocol, Origin, strict Host), latest-wins with
// a warning status under a client that does not read, hostile client
// messages answered with an error status while the connection stays usable,
// and unfinished handshakes that cannot keep a client out.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foxglove_endpoint/foxglove_server.h"
#include "support/raw_socket.h"
#include "support/wait.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using nlohmann::json;
using namespace travik_tool;
using travik_test::WaitUntil;

constexpr uint32_t kImage = 3;
constexpr uint32_t kEcho = 7;

// How long a client waits for the server's next bytes before giving up.
int ReadTimeoutMs() { return static_cast<int>(travik_test::Scaled(std::chrono::seconds(10)).count()); }

struct Client {
    asio::io_context ioc;
    websocket::stream<tcp::socket> ws{ioc};
    std::string subprotocol;

    bool Open(int port, const std::string& offered, const std::string& origin = "",
              const std::string& host = "127.0.0.1", int receiveBuffer = 0) {
        tcp::socket& s = ws.next_layer();
        s.open(tcp::v4());
        if (receiveBuffer > 0) s.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        travik_test::SetReceiveTimeout(static_cast<int>(s.native_handle()), ReadTimeoutMs());
        s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        ws.set_option(websocket::stream_base::decorator([=](websocket::request_type& req) {
            if (!offered.empty()) req.set(http::field::sec_websocket_protocol, offered);
            if (!origin.empty()) req.set(http::field::origin, origin);
        }));
        websocket::response_type res;
        beast::error_code ec;
        ws.handshake(res, host, "/", ec);
        subprotocol = std::string(res[http::field::sec_websocket_protocol]);
        return !ec;
    }
    // The next message; false on a read error or timeout.
    bool Read(std::string& out) {
        beast::flat_buffer buffer;
        beast::error_code ec;
        ws.read(buffer, ec);
        out = beast::buffers_to_string(buffer.data());
        return !ec;
    }
    // Reads until a text message with this "op" arrives.
    json Next(const std::string& op) {
        std::string message;
        while (Read(message)) {
            if (!ws.got_text()) continue;
            json j = json::parse(message, nullptr, false);
            if (j.is_object() && j.value("op", "") == op) return j;
        }
        return json();
    }
};

class FoxgloveServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        FoxgloveChannel image;
        image.id = kImage;
        image.topic = "/image";
        image.encoding = image.schemaEncoding = "protobuf";
        image.schemaName = "test.Image";
        image.schema = std::string("\x0a\x00\xff", 3);
        server.SetChannels({image});
        FoxgloveService echo;
        echo.id = kEcho;
        echo.name = "/echo";
        echo.type = "test.Echo";
        server.SetServices({echo}, [this](uint32_t, const std::string& request, std::string& reply) {
            ++handled;
            reply = request;
            return true;
        });
        FoxgloveServerConfig config;
        config.port = 0;
        config.allowedOrigins = {"https://app.example"};
        std::string error;
        ASSERT_TRUE(server.Start(config, error)) << error;
        port = server.Port();
    }
    std::atomic<int> handled{0};
    FoxgloveServer server;
    int port = 0;
};

TEST_F(FoxgloveServerTest, HandshakeNeedsTheSubprotocolAndAnAllowedOriginAndHost) {
    Client plain, sdk, both, foreign, allowed, rebound;
    EXPECT_FALSE(plain.Open(port, ""));
    ASSERT_TRUE(sdk.Open(port, "foxglove.sdk.v1"));
    EXPECT_EQ(sdk.subprotocol, "foxglove.sdk.v1");
    ASSERT_TRUE(both.Open(port, "foxglove.sdk.v1, foxglove.websocket.v1"));
    EXPECT_EQ(both.subprotocol, "foxglove.websocket.v1");
    EXPECT_FALSE(foreign.Open(port, "foxglove.websocket.v1", "https://evil.example"));
    EXPECT_TRUE(allowed.Open(port, "foxglove.websocket.v1", "https://app.example"));
    EXPECT_FALSE(rebound.Open(port, "foxglove.websocket.v1", "", "attacker.example"));
    // What a client gets first: serverInfo, then the channels with the
    // schema base64-encoded, then the services.
    EXPECT_EQ(both.Next("serverInfo")["capabilities"], json::array({"services"}));
    const json advertise = both.Next("advertise");
    ASSERT_EQ(advertise["channels"].size(), 1u);
    EXPECT_EQ(advertise["channels"][0]["schema"], "CgD/");
    EXPECT_EQ(both.Next("advertiseServices")["services"][0]["name"], "/echo");
    EXPECT_EQ(server.TakeStats().refusedUpgrades, 3u);
}

TEST_F(FoxgloveServerTest, ClientThatDoesNotReadGetsTheNewestAndAWarning) {
    Client client;
    ASSERT_TRUE(client.Open(port, "foxglove.websocket.v1", "", "127.0.0.1", 4096));
    client.ws.write(asio::buffer(std::string(R"({"op":"subscribe","subscriptions":[{"id":9,"channelId":3}]})")));
    ASSERT_TRUE(WaitUntil([&] { return server.Subscribers(kImage) == 1; }));
    constexpr uint64_t kMessages = 200;
    for (uint64_t i = 1; i <= kMessages; ++i) {
        server.Publish(kImage, i, std::make_shared<const std::string>(256 * 1024, 'x'), 0);
        // In the client's queue before the next: any replacing is the client's.
        ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().messagesQueued >= i; })) << i;
    }
    EXPECT_GT(server.TakeStats().messagesReplaced, 0u);
    uint64_t last = 0, received = 0;
    bool warned = false;
    std::string message;
    while (last < kMessages && client.Read(message)) {
        if (client.ws.got_text()) {
            warned = warned || json::parse(message, nullptr, false).value("level", -1) == 1;
            continue;
        }
        ASSERT_EQ(message.size(), 13u + 256 * 1024);
        ASSERT_EQ(message[0], 1);
        EXPECT_EQ(message[1], 9);  // the subscription id, little-endian
        uint64_t time = 0;
        for (int b = 7; b >= 0; --b) time = time << 8 | static_cast<unsigned char>(message[5 + b]);
        EXPECT_GT(time, last);  // never an older one after a newer one
        last = time;
        ++received;
    }
    EXPECT_EQ(last, kMessages);
    EXPECT_LT(received, kMessages / 2) << "the client was sent a backlog";
    EXPECT_TRUE(warned) << "no warning status";
    client.ws.write(asio::buffer(std::string(R"({"op":"unsubscribe","subscriptionIds":[9]})")));
    EXPECT_TRUE(WaitUntil([&] { return server.Subscribers(kImage) == 0; }));
}

TEST_F(FoxgloveServerTest, HostileMessagesGetAnErrorStatusAndTheConnectionStays) {
    Client client;
    ASSERT_TRUE(client.Open(port, "foxglove.websocket.v1"));
    auto sendBinary = [&](const std::string& bytes) {
        client.ws.binary(true);
        client.ws.write(asio::buffer(bytes));
    };
    for (const std::string text :
         {"{", R"({"op":"advertise","channels":[]})", R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":99}]})",
          R"({"op":"subscribe","subscriptions":[{"id":-1,"channelId":3}]})"}) {
        client.ws.text(true);
        client.ws.write(asio::buffer(text));
        EXPECT_EQ(client.Next("status")["level"], 2) << text;
    }
    // A service call whose encoding length runs past the frame, then a
    // client-publish frame: both refused.
    sendBinary(std::string("\x02\x07\0\0\0\x01\0\0\0\xff\xff\0\0json", 17));
    EXPECT_EQ(client.Next("status")["level"], 2);
    sendBinary(std::string("\x01\x01\0\0\0", 5));
    EXPECT_EQ(client.Next("status")["level"], 2);
    sendBinary(std::string("\x02\x63\0\0\0\x05\0\0\0\x04\0\0\0json{}", 19));
    EXPECT_EQ(client.Next("serviceCallFailure")["callId"], 5);
    // And a good call is still answered (op 3, same ids, the handler's reply).
    sendBinary(std::string("\x02\x07\0\0\0\x06\0\0\0\x04\0\0\0json{\"a\":1}", 24));
    std::string message;
    while (client.Read(message) && !client.ws.got_binary()) {
    }
    EXPECT_EQ(message, std::string("\x03\x07\0\0\0\x06\0\0\0\x04\0\0\0json{\"a\":1}", 24));
    EXPECT_EQ(server.TakeStats().badMessages, 7u);
}

TEST_F(FoxgloveServerTest, EveryThirtyTwoBitSubscriptionIdWorksAndIsDroppedOnClose) {
    {
        Client client;
        ASSERT_TRUE(client.Open(port, "foxglove.websocket.v1"));
        client.ws.write(
            asio::buffer(std::string(R"({"op":"subscribe","subscriptions":[{"id":4294967295,"channelId":3}]})")));
        ASSERT_TRUE(WaitUntil([&] { return server.Subscribers(kImage) == 1; }));
        client.ws.write(asio::buffer(std::string(R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":3}]})")));
        EXPECT_EQ(client.Next("status")["level"], 2);  // already subscribed
        server.Publish(kImage, 5, std::make_shared<const std::string>("img"), 0);
        std::string message;
        while (client.Read(message) && !client.ws.got_binary()) {
        }
        EXPECT_EQ(message.substr(0, 5), std::string("\x01\xff\xff\xff\xff", 5));
        EXPECT_EQ(server.Subscribers(kImage), 1u);
    }
    EXPECT_TRUE(WaitUntil([&] { return server.Subscribers(kImage) == 0; }));
}

TEST_F(FoxgloveServerTest, ManyRefusedItemsGetOneStatusAndServiceFloodsAreCut) {
    Client client;
    ASSERT_TRUE(client.Open(port, "foxglove.websocket.v1"));
    json bad = {{"op", "subscribe"}, {"subscriptions", json::array()}};
    for (int i = 0; i < 64; ++i) bad["subscriptions"].push_back({{"id", i}, {"channelId", 99}});
    // Back to back: a status per item would overflow the control queue.
    for (int round = 0; round < 3; ++round) client.ws.write(asio::buffer(bad.dump()));
    for (int round = 0; round < 3; ++round) {
        const json status = client.Next("status");
        ASSERT_EQ(status["level"], 2);
        EXPECT_NE(status["message"].get<std::string>().find("and 60 more"), std::string::npos);
    }
    // Calls far faster than the budget: the excess fails without reaching
    // the handler, and the connection stays.
    constexpr int kCalls = 60;
    int answered = 0, refused = 0;
    client.ws.binary(true);
    for (int i = 0; i < kCalls; ++i) {
        client.ws.write(asio::buffer(std::string("\x02\x07\0\0\0\x01\0\0\0\x04\0\0\0json{}", 19)));
        std::string message;
        while (client.Read(message) && !client.ws.got_binary()) {
            const json j = json::parse(message, nullptr, false);
            if (j.value("op", "") != "serviceCallFailure") continue;
            EXPECT_NE(j["message"].get<std::string>().find("too many"), std::string::npos);
            ++refused;
            break;
        }
        if (client.ws.got_binary()) ++answered;
    }
    EXPECT_EQ(answered + refused, kCalls);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(handled.load(), answered);
}

// The Host header is parsed whole: a loopback name followed by anything but
// a port names another host.
TEST_F(FoxgloveServerTest, HostIsParsedStrictly) {
    for (const std::string bad : {"localhost:80@evil.com", "[::1]evil", "127.0.0.1:http"}) {
        Client client;
        EXPECT_FALSE(client.Open(port, "foxglove.websocket.v1", "", bad)) << bad;
    }
    for (const std::string good : {"127.0.0.1:8080", "localhost", "[::1]:80"}) {
        Client client;
        EXPECT_TRUE(client.Open(port, "foxglove.websocket.v1", "", good)) << good;
    }
}

// Sockets that connect and never finish their handshake, more than both
// caps, do not keep a client out: past the handshake cap each newcomer
// closes the oldest unfinished one, so idle sockets never fill the
// connection cap.
TEST(FoxgloveServerLimits, UnfinishedHandshakesDoNotKeepAClientOut) {
    FoxgloveServer server;
    FoxgloveServerConfig config;
    config.port = 0;
    config.maxConnections = 4;
    config.maxHandshakes = 2;
    config.firstRequestTimeout = std::chrono::minutes(5);  // only the cap closes them here
    std::string error;
    ASSERT_TRUE(server.Start(config, error)) << error;
    asio::io_context ioc;
    std::vector<std::unique_ptr<tcp::socket>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(std::make_unique<tcp::socket>(ioc));
        idle.back()->connect(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server.Port())));
        travik_test::SetReceiveTimeout(static_cast<int>(idle.back()->native_handle()), ReadTimeoutMs());
    }
    ASSERT_TRUE(WaitUntil([&] { return server.TakeStats().handshakesDropped == 6; }));
    for (int i = 0; i < 6; ++i) {
        char byte;
        beast::error_code ec;
        idle[static_cast<size_t>(i)]->read_some(asio::buffer(&byte, 1), ec);
        EXPECT_EQ(ec, asio::error::eof) << i;
    }
    Client client;
    ASSERT_TRUE(client.Open(server.Port(), "foxglove.websocket.v1"));
    EXPECT_FALSE(client.Next("serverInfo").is_null());
    EXPECT_EQ(server.TakeStats().clients, 1u);
}

}  // namespace
