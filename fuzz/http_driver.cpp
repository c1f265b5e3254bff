// An HTTP client's bytes as the servers of `travik web` read them: the
// request parser as each connection configures it, the read's verdict,
// the token, and the Host and Origin checks on what got through. See
// parser_drivers.h for the input layout.
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>

#include <algorithm>
#include <cstring>
#include <string>

#include "parser_drivers.h"
#include "server/access_policy.h"
#include "server/host_policy.h"
#include "server/request_checks.h"

namespace travik_fuzz {
namespace {

using namespace travik_tool;
namespace http = boost::beast::http;

constexpr const char* kToken = "fuzz-token-0123456789";

// The client's bytes as a socket delivers them, `step` bytes per read.
class MemoryStream {
public:
    MemoryStream(const uint8_t* p, size_t n, size_t step) : m_p(p), m_n(n), m_step(step) {}

    template <class Buffers>
    size_t read_some(const Buffers& buffers, boost::beast::error_code& ec) {
        ec = {};
        if (m_at == m_n) {
            ec = boost::asio::error::eof;
            return 0;
        }
        const size_t room = std::min(boost::asio::buffer_size(buffers), m_step);
        const size_t n = boost::asio::buffer_copy(buffers, boost::asio::buffer(m_p + m_at, std::min(room, m_n - m_at)));
        m_at += n;
        return n;
    }
    template <class Buffers>
    size_t read_some(const Buffers& buffers) {
        boost::beast::error_code ec;
        return read_some(buffers, ec);
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_step;
    size_t m_at = 0;
};

bool ContainsToken(const HttpRequest& request) {
    if (QueryToken(std::string(request.target())) == kToken) return true;
    for (const auto& field : request)
        if (std::string(field.value()).find(kToken) != std::string::npos) return true;
    return false;
}

bool StartsWithNoCase(const std::string& text, const std::string& head) {
    return text.size() >= head.size() && Lower(text.substr(0, head.size())) == Lower(head);
}

// The checks a handler relies on, on one request that got through.
bool CheckRequest(const HttpRequest& request, bool loopback, bool tls, const AccessPolicy& policy, ParseResult& r) {
    const std::string host(request[http::field::host]);
    const std::string origin(request[http::field::origin]);
    const std::string target(request.target());
    std::string name, port;
    if (LoopbackHost(host)) {
        if (!ParseHost(host, name, port)) return false;
        const std::string n = Lower(name);
        if (n != "127.0.0.1" && n != "localhost" && n != "[::1]") return false;
    }
    if (ParseHost(host, name, port)) {
        if (!StartsWithNoCase(host, name)) return false;
        if (!port.empty() && (port.size() > 5 || std::stol(port) > 65535)) return false;
    }
    const bool hostAllowed = !loopback || LoopbackHost(host);
    if (SameOrigin(origin, host, tls) && Lower(origin) != Lower((tls ? "https://" : "http://") + host)) return false;
    const std::string path = TargetPath(target);
    if (target.compare(0, path.size(), path) != 0) return false;
    switch (policy.Check(request)) {
        case AccessPolicy::Verdict::Denied:
            if (!policy.RequiresToken()) return false;
            break;
        case AccessPolicy::Verdict::FromLink:
            if (QueryToken(target) != kToken) return false;
            if (AccessPolicy::Cookie(request, tls).find(kToken) == std::string::npos) return false;
            break;
        case AccessPolicy::Verdict::Allowed:
            if (policy.RequiresToken() && !ContainsToken(request)) return false;
            if (hostAllowed) ++r.accepted;
            break;
    }
    return true;
}

}  // namespace

bool DriveHttpRequest(const uint8_t* data, size_t size, ParseResult* result) {
    ParseResult local;
    ParseResult& r = result ? *result : local;
    if (size == 0) return true;
    const bool loopback = data[0] & 1, tls = data[0] & 2;
    const size_t step = (data[0] >> 3) == 0 ? kMaxRequestBuffer : static_cast<size_t>(data[0] >> 3) * 13;
    static const AccessPolicy open;
    static const AccessPolicy guarded{std::string(kToken)};
    const AccessPolicy& policy = data[0] & 4 ? guarded : open;

    MemoryStream stream(data + 1, size - 1, step);
    boost::beast::flat_buffer buffer{kMaxRequestBuffer};
    // Keep-alive: the connection reads on while each request gets through.
    for (int requests = 0; requests < 8; ++requests) {
        RequestParser parser;
        LimitRequestParser(parser);
        boost::beast::error_code ec;
        http::read(stream, buffer, parser, ec);
        if (buffer.size() > kMaxRequestBuffer) return false;
        if (JudgeRequestRead(ec, parser) != ReadVerdict::Go) return true;
        const HttpRequest request = parser.release();
        if (request.body().size() > kMaxRequestBody) return false;
        if (!CheckRequest(request, loopback, tls, policy, r)) return false;
        if (!request.keep_alive()) return true;
    }
    return true;
}

}  // namespace travik_fuzz
