// One accepted connection until it is answered or upgraded: reads each
// HTTP request within the limits and hands it to the RequestHandler.
//
// Limits: over TLS the handshake must complete within kTlsHandshakeTimeout;
// the first request must arrive whole within firstRequestTimeout (later
// keep-alive requests within kHttpIdle); a header over
// kMaxRequestHeader is answered 431, a body over kMaxRequestBody 413, a
// malformed request 400, and the connection closed. A connection past the
// cap (`refuse`) has its first request answered 503. Every read goes into
// a buffer of kMaxRequestBuffer bytes: a line the parser cannot finish
// within it (a chunk header with an endless extension) is answered 400
// instead of growing the buffer. A TLS handshake that fails or a peer that
// ends TLS without close_notify is an ordinary close, never printed.
//
// The access policy (access_policy.h) is the server's and comes first: a
// request without the token is answered 401 before any handler sees it,
// and a page link with the token gets the cookie and a redirect to "/".
//
// The connection holds its unfinished-handshake ticket (server.h) until it
// closes or is upgraded, while answering, lingering after an error and
// idle between keep-alive requests too: only upgraded sessions are kept
// from newcomers, so sockets that sent one request and then idle cannot
// hold the connection cap.
//
// Threads: server thread only. Ownership: each pending operation holds it
// (`self`); the Server outlives it. The handler either calls Respond
// (which reads the next request on keep-alive) or TakeStream and
// TakeHandshake to upgrade; doing neither closes the connection.
#pragma once

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <memory>
#include <optional>
#include <string>

#include "server/request_checks.h"
#include "server/server.h"
#include "server/server_stream.h"

namespace travik_tool {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using HttpRequest = http::request<http::string_body>;

constexpr auto kHttpIdle = std::chrono::seconds(30);

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(ServerStream stream, Server& server, ConnectionSlot slot, bool refuse);
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // The TLS handshake, if any, then the first request (call once, right
    // after construction).
    void Start();

    // The request the handler is called with.
    const HttpRequest& Request() const { return m_request; }
    HttpRequest TakeRequest() { return std::move(m_request); }
    Server& Owner() { return m_server; }
    // The Host policy (host_policy.h): any Host unless the server is bound
    // to loopback, then only a loopback name.
    bool HostAllowed() const;

    // Answers the current request; on keep-alive reads the next one.
    void Respond(http::status status, const char* type, std::string body, bool keepAlive);
    // A refusal: a short text/plain reason, then the connection closes.
    void Refuse(http::status status, const std::string& reason);

    // For an upgrade: the stream (no deadline left on it), the connection
    // slot and the unfinished-handshake ticket.
    ServerStream TakeStream();
    ConnectionSlot TakeSlot() { return std::move(m_slot); }
    HandshakeTicket TakeHandshake() { return std::move(m_handshake); }

private:
    void Read(std::chrono::steady_clock::duration deadline);
    void OnRead(beast::error_code ec);
    std::shared_ptr<http::response<http::string_body>> Response(http::status status, const char* type, std::string body,
                                                                bool keepAlive);
    void Write(std::shared_ptr<http::response<http::string_body>> res);
    // The access policy's answers: 401, or the cookie and a redirect to "/".
    void Unauthorized();
    void RedirectWithCookie();
    void Close();
    // Answers an error and closes after the peer has had time to read it:
    // unread request bytes would otherwise turn the close into a reset.
    void Reject(http::status status, const std::string& reason);
    void Linger();

    ServerStream m_stream;
    Server& m_server;
    ConnectionSlot m_slot;
    HandshakeTicket m_handshake;
    const bool m_refuse;
    bool m_answered = false;  // the handler responded or took the stream
    bool m_taken = false;     // TakeStream moved the stream out
    size_t m_lingered = 0;
    beast::flat_buffer m_buffer{kMaxRequestBuffer};
    std::optional<RequestParser> m_parser;
    HttpRequest m_request;
};

}  // namespace travik_tool
