// Who may use a server. With a token set, every request must carry it, on
// loopback too: the cookie the page's link set, an `Authorization: Bearer`
// header, or a `token` query parameter (what Foxglove clients pass on in
// the URL). Without it a request is answered 401 and nothing else. A plain
// GET carrying the token in its query is answered with a redirect to "/"
// that sets the cookie, so the token leaves the address bar and the
// history. Candidates are compared by their SHA-256 digests in constant
// time, so neither the token's bytes nor its length leak through timing.
// The policy never prints the token.
//
// Threads: built before the server starts, then const and any thread.
#pragma once

#include <boost/beast/http.hpp>

#include <array>
#include <string>

namespace travik_tool {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;  // as http_connection.h

constexpr const char* kTokenCookie = "travik_token";
constexpr size_t kMinTokenLength = 16;
constexpr size_t kMaxTokenLength = 256;

// Whether `token` can be one: kMinTokenLength..kMaxTokenLength characters
// of letters, digits and "-._~" (safe in a URL, a cookie and a header
// without quoting). False with the reason (not the token) in `why`.
bool ValidToken(const std::string& token, std::string& why);

class AccessPolicy {
public:
    enum class Verdict {
        Allowed,
        Denied,   // answer 401
        FromLink  // a plain request with the token in its query: set the cookie, redirect
    };

    AccessPolicy() = default;  // no token: every request is allowed
    // `token` must pass ValidToken; only its digest is kept.
    explicit AccessPolicy(const std::string& token);

    bool RequiresToken() const { return m_required; }
    Verdict Check(const HttpRequest& request) const;
    // The Set-Cookie value that carries the token of an accepted link;
    // `secure` over https.
    static std::string Cookie(const HttpRequest& request, bool secure);

private:
    bool Matches(const std::string& candidate) const;

    bool m_required = false;
    std::array<unsigned char, 32> m_digest{};
};

// The `token` query parameter of a request target, percent-decoded ("" when none).
std::string QueryToken(const std::string& target);
// The target without its query: what a handler routes on.
std::string TargetPath(const std::string& target);

}  // namespace travik_tool
