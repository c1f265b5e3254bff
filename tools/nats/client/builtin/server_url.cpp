#include "nats/client/builtin/server_url.h"

#include "nats/client/link.h"

namespace travik_nats {

bool ParseServerUrl(const std::string& url, ServerUrl& out, std::string& error) {
    out = ServerUrl();
    const size_t scheme = url.find("://");
    const std::string name = scheme == std::string::npos ? "" : url.substr(0, scheme);
    if (name == "tls") {
        out.tls = true;
    } else if (name != "nats") {
        error = "not a nats:// or tls:// URL: " + Redacted(url);
        return false;
    }
    std::string rest = url.substr(scheme + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string userinfo = rest.substr(0, at);
        const size_t colon = userinfo.find(':');
        out.user = userinfo.substr(0, colon);
        if (colon != std::string::npos) out.pass = userinfo.substr(colon + 1);
        rest = rest.substr(at + 1);
    }
    // [v6]:port or host:port
    size_t colon = std::string::npos;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "bad host in " + Redacted(url);
            return false;
        }
        out.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                error = "bad host in " + Redacted(url);
                return false;
            }
            colon = close + 1;
        }
    } else {
        colon = rest.rfind(':');
        out.host = rest.substr(0, colon);
    }
    out.port = colon == std::string::npos ? "4222" : rest.substr(colon + 1);
    bool digits = !out.port.empty() && out.port.size() <= 5;
    for (char c : out.port) digits = digits && c >= '0' && c <= '9';
    if (out.host.empty() || !digits || std::stoi(out.port) == 0 || std::stoi(out.port) > 65535) {
        error = "bad host or port in " + Redacted(url);
        return false;
    }
    return true;
}

}  // namespace travik_nats
