// Bytes on the wire, as the kernel counts them. The public API hands out
// raw images only, so the compressed size of what travelled is measured on
// this process's TCP connections: bytes the peer has acknowledged and bytes
// received, over all connections that match a port. The counts include
// every frame (log, image, command) and its header.
//
// The sockets belong to the library, so the meter never touches their
// descriptors (another thread may close one at any moment): it learns which
// socket inodes are this process's from the names in /proc/self/fd and asks
// the kernel for their counters with a sock_diag query on a netlink socket
// of its own. On Windows it counts the connections from the system's TCP
// table and has no byte counts (available stays false).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>

namespace travik_tool {

struct WireSample {
    bool available = false;  // false when the kernel gives no byte counters
    int connections = 0;     // established connections that match now
    uint64_t bytesOut = 0;   // totals since the meter was made
    uint64_t bytesIn = 0;
};

class WireMeter {
public:
    // Matches sockets whose local port (device side: accepted viewer
    // connections) or peer port (viewer side: the connection to the device)
    // is `port`.
    enum class Match { LocalPort, PeerPort };
    WireMeter(Match match, int port) : m_match(match), m_port(port) {}

    // Queries the process's connections and adds what moved since the last call.
    // A connection that closes keeps what it had at its last scan.
    WireSample Poll();

private:
    struct Seen {
        uint64_t out = 0;
        uint64_t in = 0;
        bool present = false;
    };
    Match m_match;
    int m_port;
    std::map<ino_t, Seen> m_seen;
    WireSample m_total;
};

}  // namespace travik_tool
