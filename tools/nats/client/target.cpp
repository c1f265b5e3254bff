#include "nats/client/target.h"

#include "nats/client/protocol.h"

namespace travik_nats {

bool IsNatsTarget(const std::string& text) { return text.compare(0, 7, "nats://") == 0; }

bool ParseNatsTarget(const std::string& text, std::string& url, std::string& name, bool nameOptional) {
    if (!IsNatsTarget(text)) return false;
    const std::string rest = text.substr(7);
    const size_t slash = rest.find('/');
    std::string host = rest.substr(0, slash);
    name = slash == std::string::npos ? "" : rest.substr(slash + 1);
    // USER:PASSWORD@ (or TOKEN@) is kept for the client, never printed.
    std::string user;
    const size_t at = host.rfind('@');
    if (at != std::string::npos) {
        user = host.substr(0, at + 1);
        host = host.substr(at + 1);
        if (user.size() == 1) return false;
    }
    if (host.empty()) return false;
    const size_t colon = host.rfind(':');
    if (colon == std::string::npos) {
        host += ":4222";
    } else {
        const std::string port = host.substr(colon + 1);
        if (colon == 0 || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const int p = std::stoi(port);
        if (p < 1 || p > 65535) return false;
    }
    url = "nats://" + user + host;
    if (name.empty()) return nameOptional;
    return ValidName(name);
}

}  // namespace travik_nats
