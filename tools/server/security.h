// How a server is secured, as its owner configures it: TLS (https, wss)
// and the token every request must carry. The page and the Foxglove
// endpoint take the same settings and hand them to the core unchanged.
//
// Threads: plain data, set before Start; the TLS context is then shared
// read-only by the servers' threads.
#pragma once

#include <boost/asio/ssl/context.hpp>

#include <memory>

#include "server/access_policy.h"

namespace travik_tool {

struct ServerSecurity {
    // https/wss when set (tls_context.h); the TLS handshake has
    // kTlsHandshakeTimeout (server.h), then the first request its deadline.
    std::shared_ptr<boost::asio::ssl::context> tls;
    AccessPolicy access;  // the token every request must carry, if any
    // Without a token, Start refuses an address beyond loopback (not
    // 127.0.0.0/8 or ::1) unless this is set: anyone who can reach it
    // could watch and steer the device.
    bool serveWithoutToken = false;
};

}  // namespace travik_tool
