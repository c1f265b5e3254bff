// What the server core counts for either protocol, as TakeStats hands it
// out. Plain data, any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace travik_tool {

struct ServerStats {
    uint64_t connections = 0;         // connections holding a place now (not the page's tabs)
    uint64_t refusedConnections = 0;  // answered 503: too many connections
    uint64_t handshakesDropped = 0;   // unfinished handshakes closed for a newcomer
    uint64_t badRequests = 0;         // answered 400/413/431 (malformed, too large)
    uint64_t unauthorized = 0;        // answered 401: without the token or with a wrong one
    uint64_t refusedUpgrades = 0;     // Host, Origin, subprotocol or capacity
    uint64_t badMessages = 0;         // client messages answered with an error
    uint64_t acceptFailures = 0;      // failed accepts (out of descriptors...); each pauses accepting
    uint64_t loopErrors = 0;          // exceptions that escaped a handler on the server thread
    std::vector<int64_t> hopMicros;   // since the last TakeStats: received -> written
};

}  // namespace travik_tool
