#include "cli/options.h"

#ifndef _WIN32
#include <netdb.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "cli/console.h"
#include "platform/sockets.h"

namespace travik_tool {

namespace {
bool ParseInt(const std::string& text, long min, long max, int& out) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < min || v > max) return false;
    out = static_cast<int>(v);
    return true;
}
}  // namespace

bool ParseSize(const std::string& text, int& width, int& height) {
    size_t x = text.find('x');
    if (x == std::string::npos) return false;
    return ParseInt(text.substr(0, x), 1, 16384, width) && ParseInt(text.substr(x + 1), 1, 16384, height);
}

bool ParseTarget(const std::string& text, DeviceTarget& target) {
    const size_t schemeLen = sizeof kTlsScheme - 1;
    target.tls = text.compare(0, schemeLen, kTlsScheme) == 0;
    const std::string rest = target.tls ? text.substr(schemeLen) : text;
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos) {
        target.host = rest;
        target.port = kDefaultPort;
    } else {
        target.host = rest.substr(0, colon);
        if (!ParseInt(rest.substr(colon + 1), 1, 65535, target.port)) return false;
    }
    // A slash or a colon left over is another scheme or a path, never a host.
    return !target.host.empty() && target.host.find_first_of("/:") == std::string::npos;
}

const char* ConnectHint(const std::string& where) {
    return where.compare(0, sizeof kTlsScheme - 1, kTlsScheme) == 0
               ? "no device listening there, or TLS refused as the line above says"
               : "is a device listening there?";
}

bool IsAddressLiteral(const std::string& text) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

bool IsLoopbackLiteral(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    unsigned char v6[16];
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return inet_pton(AF_INET6, text.c_str(), v6) == 1 && std::memcmp(v6, kLoopback6, sizeof v6) == 0;
}

void WarnWhenExposed(const std::string& bind, bool tls, bool clientCa) {
    if (IsLoopbackLiteral(bind)) return;
    if (!tls)
        Status("warning: listening on %s without TLS: anyone who can reach this port can watch and steer the device",
               bind.c_str());
    else if (!clientCa)
        Status(
            "warning: listening on %s without --tls-client-ca: anyone who can reach this port can watch and steer "
            "the device",
            bind.c_str());
}

void StartSocketLookups() {
#ifdef _WIN32
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
}

bool ResolveIPv4(const std::string& host, std::string& dotted) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    char buf[INET_ADDRSTRLEN] = {};
    const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    bool ok = inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf) != nullptr;
    freeaddrinfo(res);
    if (ok) dotted = buf;
    return ok;
}

bool ParseHttpAddress(const std::string& text, std::string& address, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() - colon > 6) return false;
    std::string host = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    const long value = std::strtol(digits.c_str(), nullptr, 10);
    if (value < 0 || value > 65535) return false;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host == "localhost") host = "127.0.0.1";
    // The whole of it an address literal: "0.0.0.0:.0.0.0" or "abc" is no address to serve on.
    if (!IsAddressLiteral(host)) return false;
    address = host;
    port = static_cast<int>(value);
    return true;
}

std::string JoinChannels(const std::vector<int>& channels) {
    std::string out;
    for (int c : channels) {
        if (!out.empty()) out += ',';
        out += std::to_string(c);
    }
    return out;
}

bool ParseBitrate(const std::string& text, int& bitsPerSecond, std::string& error) {
    const std::string expected = " (bits per second, e.g. 600k, 2M or 1500000)";
    // Digits, at most one point, then an optional suffix; nothing else
    // (no sign, no spaces, no exponent).
    size_t end = 0;
    bool point = false;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || (text[end] == '.' && !point))) {
        point = point || text[end] == '.';
        ++end;
    }
    const std::string number = text.substr(0, end), suffix = text.substr(end);
    double scale = 1;
    if (suffix == "k" || suffix == "K") {
        scale = 1e3;
    } else if (suffix == "M" || suffix == "m") {
        scale = 1e6;
    } else if (!suffix.empty()) {
        error = "bad bitrate '" + text.substr(0, 40) + "'" + expected;
        return false;
    }
    if (number.empty() || number == "." || number.size() > 15) {
        error = "bad bitrate '" + text.substr(0, 40) + "'" + expected;
        return false;
    }
    const double value = std::strtod(number.c_str(), nullptr) * scale;
    if (!(value >= kMinVideoBitrate && value <= kMaxVideoBitrate)) {
        error = "bitrate '" + text.substr(0, 40) + "' is outside 50k..100M";
        return false;
    }
    bitsPerSecond = static_cast<int>(value);
    return true;
}

}  // namespace travik_tool
