#include "cli/options.h"

#ifndef _WIN32
#include <netdb.h>
#endif

#include <algorithm>
#include <cstdlib>

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

bool ParseTarget(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        host = text;
        port = kDefaultPort;
    } else {
        host = text.substr(0, colon);
        if (!ParseInt(text.substr(colon + 1), 1, 65535, port)) return false;
    }
    return !host.empty();
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
    if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) return false;
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

}  // namespace travik_tool
