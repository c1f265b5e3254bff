#include "server/http_connection.h"

#include <array>

#include "server/host_policy.h"
#include "server/request_checks.h"

namespace travik_tool {

namespace {
// After an error answer: how long, and how many bytes, the rest of the
// request is read and discarded before the socket closes.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 256 * 1024;
}  // namespace

HttpConnection::HttpConnection(ServerStream stream, Server& server, ConnectionSlot slot, bool refuse)
    : m_stream(std::move(stream)), m_server(server), m_slot(std::move(slot)), m_refuse(refuse) {}

void HttpConnection::Start() {
    std::weak_ptr<HttpConnection> weak = shared_from_this();
    m_handshake = HandshakeTicket(&m_server, [weak] {
        if (auto self = weak.lock()) self->Close();
    });
    if (!m_stream.Tls()) return Read(m_server.Config().firstRequestTimeout);
    // The handshake holds the ticket like a request does: a peer that
    // stalls or sends garbage gives way to newcomers and meets a deadline.
    m_stream.next_layer().expires_after(kTlsHandshakeTimeout);
    auto self = shared_from_this();
    m_stream.Handshake([self](beast::error_code ec) {
        if (ec) return self->Close();
        self->Read(self->m_server.Config().firstRequestTimeout);
    });
}

bool HttpConnection::HostAllowed() const {
    return !m_server.Loopback() || LoopbackHost(std::string(m_request[http::field::host]));
}

void HttpConnection::Read(std::chrono::steady_clock::duration deadline) {
    m_parser.emplace();
    LimitRequestParser(*m_parser);
    m_stream.next_layer().expires_after(deadline);
    auto self = shared_from_this();
    http::async_read(m_stream, m_buffer, *m_parser, [self](beast::error_code ec, size_t) { self->OnRead(ec); });
}

void HttpConnection::OnRead(beast::error_code ec) {
    switch (JudgeRequestRead(ec, *m_parser)) {
        case ReadVerdict::HeaderTooLarge:
            return Reject(http::status::request_header_fields_too_large, "header too large");
        case ReadVerdict::BodyTooLarge:
            return Reject(http::status::payload_too_large, "body too large");
        case ReadVerdict::Malformed:
            return Reject(http::status::bad_request, "malformed request");
        case ReadVerdict::Closed:
            return Close();
        case ReadVerdict::Go:
            break;
    }
    m_request = m_parser->release();
    if (m_refuse) {
        ++m_server.Counters().refusedConnections;
        return Refuse(http::status::service_unavailable, "too many connections");
    }
    m_answered = false;
    switch (m_server.Config().security.access.Check(m_request)) {
        case AccessPolicy::Verdict::Denied:
            return Unauthorized();
        case AccessPolicy::Verdict::FromLink:
            return RedirectWithCookie();
        case AccessPolicy::Verdict::Allowed:
            break;
    }
    // The handler may hand the ticket on to a session; otherwise the
    // connection keeps it until it closes (see the header).
    m_server.Handler().OnRequest(*this);
    if (!m_answered) Close();
}

void HttpConnection::Respond(http::status status, const char* type, std::string body, bool keepAlive) {
    Write(Response(status, type, std::move(body), keepAlive));
}

std::shared_ptr<http::response<http::string_body>> HttpConnection::Response(http::status status, const char* type,
                                                                            std::string body, bool keepAlive) {
    m_answered = true;
    auto res = std::make_shared<http::response<http::string_body>>(status, m_request.version());
    res->set(http::field::server, "travik");
    res->set(http::field::content_type, type);
    res->set(http::field::cache_control, "no-store");
    res->set("X-Content-Type-Options", "nosniff");
    res->set("Content-Security-Policy",
             "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'; frame-ancestors 'none'");
    res->body() = m_request.method() == http::verb::head ? std::string() : std::move(body);
    res->keep_alive(keepAlive);
    res->prepare_payload();
    return res;
}

void HttpConnection::Unauthorized() {
    ++m_server.Counters().unauthorized;
    auto res = Response(http::status::unauthorized, "text/plain; charset=utf-8", "token required\n", false);
    res->set(http::field::www_authenticate, "Bearer");
    Write(std::move(res));
}

void HttpConnection::RedirectWithCookie() {
    auto res = Response(http::status::see_other, "text/plain; charset=utf-8", "see /\n", false);
    res->set(http::field::location, "/");
    res->set(http::field::set_cookie, AccessPolicy::Cookie(m_request, m_server.Tls()));
    Write(std::move(res));
}

void HttpConnection::Refuse(http::status status, const std::string& reason) {
    Respond(status, "text/plain; charset=utf-8", reason + "\n", false);
}

void HttpConnection::Write(std::shared_ptr<http::response<http::string_body>> res) {
    m_stream.next_layer().expires_after(kHttpIdle);
    auto self = shared_from_this();
    http::async_write(m_stream, *res, [self, res](beast::error_code ec, size_t) {
        if (ec || !res->keep_alive()) return self->Close();
        self->Read(kHttpIdle);
    });
}

void HttpConnection::Reject(http::status status, const std::string& reason) {
    ++m_server.Counters().badRequests;
    m_answered = true;
    auto res = std::make_shared<http::response<http::string_body>>(status, 11);
    res->set(http::field::server, "travik");
    res->set(http::field::content_type, "text/plain; charset=utf-8");
    res->body() = reason + "\n";
    res->keep_alive(false);
    res->prepare_payload();
    m_stream.next_layer().expires_after(kLingerTime);
    auto self = shared_from_this();
    http::async_write(m_stream, *res, [self, res](beast::error_code ec, size_t) {
        if (ec) return self->Close();
        beast::error_code ignored;
        self->m_stream.next_layer().socket().shutdown(tcp::socket::shutdown_send, ignored);
        self->m_buffer.clear();
        self->Linger();
    });
}

void HttpConnection::Linger() {
    // Reads (and drops) until the peer closes, kLingerBytes or kLingerTime
    // (the stream's deadline, set by Reject), whichever comes first.
    auto scratch = std::make_shared<std::array<char, 4096>>();
    auto self = shared_from_this();
    m_stream.async_read_some(asio::buffer(*scratch), [self, scratch](beast::error_code ec, size_t n) {
        self->m_lingered += n;
        if (ec || self->m_lingered >= kLingerBytes) return self->Close();
        self->Linger();
    });
}

ServerStream HttpConnection::TakeStream() {
    m_answered = true;
    m_taken = true;
    m_stream.next_layer().expires_never();
    return std::move(m_stream);
}

void HttpConnection::Close() {
    m_handshake.Release();
    if (m_taken) return;  // the session owns the stream now
    beast::error_code ignored;
    m_stream.next_layer().socket().shutdown(tcp::socket::shutdown_both, ignored);
    m_stream.next_layer().socket().close(ignored);
}

}  // namespace travik_tool
