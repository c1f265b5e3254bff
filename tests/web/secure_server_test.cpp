// The page's server and the Foxglove endpoint secured, on the wire: with a
// token set, a request without it (or with a wrong one of the same length)
// gets 401 and nothing else; the page's link sets the cookie and redirects,
// and the cookie, a Bearer header or the query then open the page, its
// WebSocket and the endpoint. Over TLS (a test CA made with the openssl
// command line, support/test_certs.h) the same works as https and wss, a plain request gets no
// answer, and a silent socket still gives way under the handshake cap.
// Bad certificate and key files are named; an address beyond loopback
// needs a token or the explicit opt-out.
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "foxglove_endpoint/foxglove_server.h"
#include "server/tls_context.h"
#include "support/bounded_io.h"
#include "support/test_certs.h"
#include "support/wait.h"
#include "web/server.h"

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using namespace travik_tool;

const std::string kToken = "test-token-0123456789abcdef";
const std::string kWrong = "test-token-0123456789abcdeX";  // same length, last byte differs

// A CA, a server certificate for 127.0.0.1 signed by it, and a key of
// another certificate; made once per run.
struct TestFiles {
    travik_test::TestCerts certs;
    fs::path ca = certs.File("ca.pem"), cert = certs.File("device.pem"), key = certs.File("device.key"),
             otherKey = certs.File("other-ca.key");
    bool made = certs.ok();
};

const TestFiles& Certs() {
    static const TestFiles files;
    return files;
}

// What one request got: the status (-1: no HTTP answer at all), a few
// headers, the body, and after an upgrade the bytes that came next.
struct Answer {
    int status = -1;
    std::string location, setCookie, body, after;
};

// Header lines of a WebSocket upgrade; `subprotocol` for the Foxglove endpoint.
std::string Upgrade(const std::string& more = "", bool foxglove = false) {
    return "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
           std::string(foxglove ? "Sec-WebSocket-Protocol: foxglove.websocket.v1\r\n" : "") + more;
}

// GET `target` with the header lines `headers`; after a 101, reads until
// `expect` arrives (the first message is small) or the peer stops.
// Each read is given 10 s (scaled); `ioc` is the stream's.
template <class Stream>
Answer AskOn(asio::io_context& ioc, Stream& stream, int port, const std::string& target, const std::string& headers,
             const std::string& expect) {
    Answer answer;
    const std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
                            (headers.empty() ? "Connection: close\r\n" : headers) + "\r\n";
    auto bounded = [&](auto start, size_t* bytes = nullptr) {
        return travik_test::RunBounded(ioc, beast::get_lowest_layer(stream),
                                       travik_test::Scaled(std::chrono::seconds(10)), start, bytes);
    };
    beast::error_code ec;
    asio::write(stream, asio::buffer(req), ec);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    if (!ec) ec = bounded([&](auto handler) { http::async_read(stream, buffer, res, std::move(handler)); });
    if (ec) return answer;
    answer.status = res.result_int();
    answer.location = std::string(res[http::field::location]);
    answer.setCookie = std::string(res[http::field::set_cookie]);
    answer.body = res.body();
    answer.after = beast::buffers_to_string(buffer.data());
    while (answer.status == 101 && answer.after.find(expect) == std::string::npos && answer.after.size() < 65536) {
        char chunk[4096];
        size_t n = 0;
        if (bounded([&](auto handler) { stream.async_read_some(asio::buffer(chunk), std::move(handler)); }, &n)) break;
        answer.after.append(chunk, n);
    }
    return answer;
}

// A plain TCP connection to loopback whose plain recv() calls give up after
// 10 s (scaled); Asio's own reads are bounded with RunBounded instead.
void ConnectWithTimeout(tcp::socket& socket, int port) {
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    const auto ms = travik_test::Scaled(std::chrono::seconds(10)).count();
#if defined(_WIN32)
    const DWORD timeout = static_cast<DWORD>(ms);
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
#else
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
#endif
}

// One request over a fresh connection: plain, or TLS verified against the test CA.
Answer Get(int port, bool tls, const std::string& target, const std::string& headers = "",
           const std::string& expect = "") {
    asio::io_context ioc;
    if (!tls) {
        tcp::socket socket(ioc);
        ConnectWithTimeout(socket, port);
        return AskOn(ioc, socket, port, target, headers, expect);
    }
    ssl::context context(ssl::context::tls_client);
    context.load_verify_file(Certs().ca.string());
    context.set_verify_mode(ssl::verify_peer);
    ssl::stream<tcp::socket> stream(ioc, context);
    stream.set_verify_callback(ssl::host_name_verification("127.0.0.1"));
    ConnectWithTimeout(stream.next_layer(), port);
    if (travik_test::RunBounded(
            ioc, stream.next_layer(), travik_test::Scaled(std::chrono::seconds(10)),
            [&](auto handler) { stream.async_handshake(ssl::stream_base::client, std::move(handler)); }))
        return Answer();
    return AskOn(ioc, stream, port, target, headers, expect);
}

ServerSecurity Secured(bool tls) {
    ServerSecurity security;
    security.access = AccessPolicy(kToken);
    if (tls) {
        std::string error;
        security.tls = MakeServerTlsContext(Certs().cert.string(), Certs().key.string(), error);
        EXPECT_TRUE(security.tls) << error;
    }
    return security;
}

class SecureServerTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        tls = GetParam();
        if (tls) {
            ASSERT_TRUE(Certs().made) << Certs().certs.Why();
        }
        WebServerConfig config;
        config.port = 0;
        config.maxHandshakes = 1;  // one silent socket must give way to every client
        config.security = Secured(tls);
        std::string error;
        page.PublishText("hello", "{\"type\":\"hello\"}");
        ASSERT_TRUE(page.Start(config, error)) << error;
        FoxgloveServerConfig fox;
        fox.port = 0;
        fox.security = Secured(tls);
        ASSERT_TRUE(foxglove.Start(fox, error)) << error;
    }

    bool tls = false;
    WebServer page;
    FoxgloveServer foxglove;
};

TEST_P(SecureServerTest, NothingWithoutTheToken) {
    const int port = page.Port();
    // A silent socket first: it holds the one handshake place (over TLS,
    // in the handshake), so the first client below closes it.
    asio::io_context ioc;
    tcp::socket silent(ioc);
    ConnectWithTimeout(silent, port);
    const std::string wrongCookie = "Cookie: travik_token=" + kWrong + "\r\n";
    const std::string wrongBearer = "Authorization: Bearer " + kWrong + "\r\n";
    for (const auto& [target, headers] :
         std::vector<std::pair<std::string, std::string>>{{"/", ""},
                                                          {"/?token=" + kWrong, ""},
                                                          {"/", wrongBearer + "Connection: close\r\n"},
                                                          {"/", wrongCookie + "Connection: close\r\n"},
                                                          {"/ws", Upgrade()},
                                                          {"/ws?token=" + kWrong, Upgrade()}}) {
        const Answer a = Get(port, tls, target, headers);
        EXPECT_EQ(a.status, 401) << target << " " << headers;
        EXPECT_EQ(a.body, "token required\n");
        EXPECT_EQ(a.after + a.setCookie, "");
    }
    EXPECT_EQ(page.TakeStats().unauthorized, 6u);
    char byte = 0;
    EXPECT_EQ(recv(silent.native_handle(), &byte, 1, 0), 0) << "the silent socket kept its handshake place";
    for (const auto& [target, headers] : std::vector<std::pair<std::string, std::string>>{
             {"/", Upgrade("", true)}, {"/", Upgrade(wrongBearer, true)}, {"/?token=" + kWrong, Upgrade("", true)}}) {
        const Answer a = Get(foxglove.Port(), tls, target, headers);
        EXPECT_EQ(a.status, 401) << target << " " << headers;
        EXPECT_EQ(a.after, "");
    }
    EXPECT_EQ(foxglove.TakeStats().unauthorized, 3u);
    // A TLS port never answers in plain text.
    if (tls) {
        EXPECT_EQ(Get(port, false, "/?token=" + kToken).status, -1);
    }
}

TEST_P(SecureServerTest, LinkSetsTheCookieThenEveryWayIn) {
    const int port = page.Port();
    const Answer link = Get(port, tls, "/?token=" + kToken);
    ASSERT_EQ(link.status, 303);
    EXPECT_EQ(link.location, "/");
    EXPECT_EQ(link.setCookie,
              "travik_token=" + kToken + "; Path=/; HttpOnly; SameSite=Strict" + (tls ? "; Secure" : ""));
    // As a browser sends it back: the pair before the attributes, among others.
    const std::string cookie = "Cookie: other=1; " + link.setCookie.substr(0, link.setCookie.find(';')) + "\r\n";
    const std::string bearer = "Authorization: Bearer " + kToken + "\r\n";

    const Answer home = Get(port, tls, "/", cookie + "Connection: close\r\n");
    EXPECT_EQ(home.status, 200);
    EXPECT_NE(home.body.find("<html"), std::string::npos);
    for (const auto& [target, headers] : std::vector<std::pair<std::string, std::string>>{
             {"/ws", Upgrade(cookie)}, {"/ws", Upgrade(bearer)}, {"/ws?token=" + kToken, Upgrade()}}) {
        const Answer a = Get(port, tls, target, headers, "hello");
        EXPECT_EQ(a.status, 101) << target << " " << headers;
        EXPECT_NE(a.after.find("hello"), std::string::npos);
    }
    for (const auto& [target, headers] : std::vector<std::pair<std::string, std::string>>{
             {"/", Upgrade(cookie, true)}, {"/", Upgrade(bearer, true)}, {"/?token=" + kToken, Upgrade("", true)}}) {
        const Answer a = Get(foxglove.Port(), tls, target, headers, "serverInfo");
        EXPECT_EQ(a.status, 101) << target << " " << headers;
        EXPECT_NE(a.after.find("\"serverInfo\""), std::string::npos);
    }
    EXPECT_EQ(page.TakeStats().unauthorized + foxglove.TakeStats().unauthorized, 0u);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, SecureServerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

// Each bad file is named in the error; a good pair makes a context.
TEST(SecureServer, TlsFilesThatCannotServeAreNamed) {
    ASSERT_TRUE(Certs().made) << Certs().certs.Why();
    const TestFiles& c = Certs();
    const fs::path garbage = c.certs.File("garbage.pem");
    std::ofstream(garbage) << "not a certificate\n";
    const fs::path missing = c.certs.File("missing.pem");
    struct Case {
        fs::path cert, key, named;
    };
    for (const Case& bad :
         {Case{missing, c.key, missing}, Case{c.cert, missing, missing}, Case{garbage, c.key, garbage},
          Case{c.cert, garbage, garbage}, Case{c.cert, c.otherKey, c.otherKey}}) {
        std::string error;
        EXPECT_FALSE(MakeServerTlsContext(bad.cert.string(), bad.key.string(), error));
        EXPECT_NE(error.find(bad.named.string()), std::string::npos) << error;
    }
    std::string error;
    EXPECT_TRUE(MakeServerTlsContext(c.cert.string(), c.key.string(), error)) << error;
}

// An address beyond loopback without a token is refused before anything
// listens; with the explicit opt-out (or a token) it is served. The
// IPv4-mapped loopback address counts as beyond loopback (it is not
// 127.0.0.0/8 nor ::1) yet reaches nothing but this machine.
TEST(SecureServer, BeyondLoopbackNeedsATokenOrTheOptOut) {
    for (const std::string address : {"0.0.0.0", "::", "192.0.2.1"}) {
        WebServer page;
        WebServerConfig config;
        config.address = address;
        config.port = 0;
        std::string error;
        EXPECT_FALSE(page.Start(config, error)) << address;
        EXPECT_NE(error.find("without a token"), std::string::npos) << error;
    }
    for (bool token : {false, true}) {
        FoxgloveServer fox;
        FoxgloveServerConfig config;
        config.address = "::ffff:127.0.0.1";
        config.port = 0;
        std::string error;
        EXPECT_FALSE(fox.Start(config, error));
        if (token) {
            config.security.access = AccessPolicy(kToken);
        } else {
            config.security.serveWithoutToken = true;
        }
        if (!fox.Start(config, error) && error.find("cannot listen") != std::string::npos)
            GTEST_SKIP() << "no IPv6 here: " << error;
        EXPECT_GT(fox.Port(), 0) << error;
    }
}

}  // namespace
