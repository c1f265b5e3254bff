#include "server/access_policy.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>
#include <cctype>

#include "server/host_policy.h"

namespace travik_tool {

namespace http = boost::beast::http;

namespace {

bool TokenChar(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

std::array<unsigned char, 32> Digest(const std::string& text) {
    std::array<unsigned char, 32> out{};
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), out.data(), &length, EVP_sha256(), nullptr) != 1 || length != out.size())
        out.fill(0);  // cannot happen with a working libcrypto; matches nothing but an equally failed digest
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

bool ValidToken(const std::string& token, std::string& why) {
    if (token.size() < kMinTokenLength || token.size() > kMaxTokenLength) {
        why = "the token must be " + std::to_string(kMinTokenLength) + " to " + std::to_string(kMaxTokenLength) +
              " characters long (e.g. openssl rand -hex 32)";
        return false;
    }
    if (!std::all_of(token.begin(), token.end(), [](char c) { return TokenChar(static_cast<unsigned char>(c)); })) {
        why = "the token may hold only letters, digits and -._~";
        return false;
    }
    return true;
}

AccessPolicy::AccessPolicy(const std::string& token) : m_required(true), m_digest(Digest(token)) {}

bool AccessPolicy::Matches(const std::string& candidate) const {
    // Digests of equal length: the time does not depend on where, or
    // whether by length, the candidate differs.
    if (candidate.empty() || candidate.size() > kMaxTokenLength) return false;
    const auto digest = Digest(candidate);
    return CRYPTO_memcmp(digest.data(), m_digest.data(), m_digest.size()) == 0;
}

AccessPolicy::Verdict AccessPolicy::Check(const HttpRequest& request) const {
    if (!m_required) return Verdict::Allowed;
    const bool upgrade = boost::beast::websocket::is_upgrade(request);
    if (Matches(QueryToken(std::string(request.target()))))
        return upgrade || request.method() != http::verb::get ? Verdict::Allowed : Verdict::FromLink;
    for (const auto& field : request) {
        if (field.name() == http::field::authorization) {
            const std::string value = Trim(std::string(field.value()));
            if (value.size() > 7 && Lower(value.substr(0, 7)) == "bearer " && Matches(Trim(value.substr(7))))
                return Verdict::Allowed;
        } else if (field.name() == http::field::cookie) {
            const std::string cookies(field.value());
            size_t start = 0;
            while (start <= cookies.size()) {
                size_t end = cookies.find(';', start);
                if (end == std::string::npos) end = cookies.size();
                const std::string pair = Trim(cookies.substr(start, end - start));
                const size_t eq = pair.find('=');
                if (eq != std::string::npos && pair.substr(0, eq) == kTokenCookie && Matches(pair.substr(eq + 1)))
                    return Verdict::Allowed;
                start = end + 1;
            }
        }
    }
    return Verdict::Denied;
}

std::string AccessPolicy::Cookie(const HttpRequest& request, bool secure) {
    // The token passed ValidToken's alphabet (it matched), so it needs no quoting.
    return std::string(kTokenCookie) + "=" + QueryToken(std::string(request.target())) +
           "; Path=/; HttpOnly; SameSite=Strict" + (secure ? "; Secure" : "");
}

std::string QueryToken(const std::string& target) {
    const size_t query = target.find('?');
    if (query == std::string::npos) return std::string();
    size_t start = query + 1;
    while (start <= target.size()) {
        size_t end = target.find('&', start);
        if (end == std::string::npos) end = target.size();
        if (target.compare(start, 6, "token=") == 0 && end >= start + 6) {
            std::string value;
            for (size_t i = start + 6; i < end; ++i) {
                const char c = target[i];
                if (c == '%' && i + 2 < end && HexValue(target[i + 1]) >= 0 && HexValue(target[i + 2]) >= 0) {
                    value += static_cast<char>(HexValue(target[i + 1]) * 16 + HexValue(target[i + 2]));
                    i += 2;
                } else {
                    value += c;
                }
            }
            return value;
        }
        start = end + 1;
    }
    return std::string();
}

std::string TargetPath(const std::string& target) { return target.substr(0, target.find('?')); }

}  // namespace travik_tool
