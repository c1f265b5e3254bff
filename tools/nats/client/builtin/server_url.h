// One server of the URL list: nats://[USER[:PASSWORD]@]HOST[:PORT] or
// tls://... Contract: pure function, any thread.
#pragma once

#include <string>

namespace travik_nats {

struct ServerUrl {
    std::string host, port, user, pass;
    bool tls = false;
};

// False (with `error`, which never holds the password) when malformed.
bool ParseServerUrl(const std::string& url, ServerUrl& out, std::string& error);

}  // namespace travik_nats
