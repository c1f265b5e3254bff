#include "nats/client/link.h"

namespace travik_nats {

bool SplitUrls(const std::string& text, std::vector<std::string>& urls) {
    urls.clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (part.empty()) return false;
        if (part.find("://") == std::string::npos) part = "nats://" + part;
        const size_t hostStart = part.find("://") + 3;
        const size_t at = part.rfind('@');
        const size_t host = at == std::string::npos || at < hostStart ? hostStart : at + 1;
        if (part.find(':', host) == std::string::npos) part += ":4222";
        urls.push_back(part);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string Redacted(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t at = url.rfind('@');
    if (at == std::string::npos || at < hostStart) return url;
    return url.substr(0, hostStart) + url.substr(at + 1);
}

}  // namespace travik_nats
