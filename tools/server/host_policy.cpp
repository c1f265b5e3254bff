#include "server/host_policy.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cctype>

namespace travik_tool {

namespace {

bool NameChar(unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; }
bool Ipv6Char(unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; }

}  // namespace

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool ParseHost(const std::string& host, std::string& name, std::string& port) {
    size_t end = 0;
    if (!host.empty() && host.front() == '[') {
        end = host.find(']');
        if (end == std::string::npos || end < 2) return false;
        if (!std::all_of(host.begin() + 1, host.begin() + static_cast<long>(end),
                         [](char c) { return Ipv6Char(static_cast<unsigned char>(c)); }))
            return false;
        ++end;  // past ']'
    } else {
        while (end < host.size() && NameChar(static_cast<unsigned char>(host[end]))) ++end;
        if (end == 0) return false;
    }
    std::string digits;
    if (end < host.size()) {
        if (host[end] != ':') return false;
        digits = host.substr(end + 1);
        if (digits.empty() || digits.size() > 5 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoul(digits) > 65535)
            return false;
    }
    name = host.substr(0, end);
    port = digits;
    return true;
}

bool LoopbackHost(const std::string& host) {
    std::string name, port;
    if (!ParseHost(host, name, port)) return false;
    name = Lower(name);
    return name == "127.0.0.1" || name == "localhost" || name == "[::1]";
}

bool BeyondLoopback(const std::string& address) {
    boost::system::error_code ec;
    const auto parsed = boost::asio::ip::make_address(address, ec);
    return ec || !parsed.is_loopback();
}

bool SameOrigin(const std::string& origin, const std::string& host, bool tls) {
    return Lower(origin) == (tls ? "https://" : "http://") + Lower(host);
}

}  // namespace travik_tool
