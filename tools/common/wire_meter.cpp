#include "common/wire_meter.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

namespace travik_tool {

namespace {

// TCP states (the kernel's numbering; not in the exported headers).
constexpr int kTcpEstablished = 1;
constexpr int kTcpCloseWait = 8;

// Inodes of the sockets this process holds, from the link names
// "socket:[INODE]" in /proc/self/fd. Reading a link name does not touch the
// descriptor itself.
std::set<uint64_t> OwnSocketInodes() {
    std::set<uint64_t> inodes;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return inodes;
    int dir = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char link[64];
        ssize_t n = readlinkat(dir, e->d_name, link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        if (std::strncmp(link, "socket:[", 8) != 0) continue;
        inodes.insert(std::strtoull(link + 8, nullptr, 10));
    }
    closedir(d);
    return inodes;
}

struct TcpConn {
    uint64_t inode = 0;
    int localPort = 0;
    int peerPort = 0;
    bool hasBytes = false;
    uint64_t bytesAcked = 0;
    uint64_t bytesReceived = 0;
};

// All established IPv4 TCP connections of the host with their byte
// counters, from one sock_diag dump. False when the kernel refuses.
bool DumpTcp(std::vector<TcpConn>& out) {
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } msg;
    std::memset(&msg, 0, sizeof msg);
    msg.header.nlmsg_len = sizeof msg;
    msg.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    msg.request.sdiag_family = AF_INET;
    msg.request.sdiag_protocol = IPPROTO_TCP;
    msg.request.idiag_states = (1u << kTcpEstablished) | (1u << kTcpCloseWait);
    msg.request.idiag_ext = 1u << (INET_DIAG_INFO - 1);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        close(nl);
        return false;
    }
    std::vector<char> buf(64 * 1024);
    bool ok = false;
    for (bool done = false; !done;) {
        ssize_t got = recv(nl, buf.data(), buf.size(), 0);
        if (got <= 0) break;
        int len = static_cast<int>(got);
        for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                ok = true;
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const inet_diag_msg* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            TcpConn conn;
            conn.inode = m->idiag_inode;
            conn.localPort = ntohs(m->id.idiag_sport);
            conn.peerPort = ntohs(m->id.idiag_dport);
            int attrLen = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(inet_diag_msg)));
            for (rtattr* a = reinterpret_cast<rtattr*>(const_cast<inet_diag_msg*>(m) + 1); RTA_OK(a, attrLen);
                 a = RTA_NEXT(a, attrLen)) {
                if (a->rta_type != INET_DIAG_INFO) continue;
                tcp_info info;
                std::memset(&info, 0, sizeof info);
                size_t n = RTA_PAYLOAD(a);
                std::memcpy(&info, RTA_DATA(a), n < sizeof info ? n : sizeof info);
                // Older kernels send a shorter structure without the byte counters.
                if (n >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
                    conn.hasBytes = true;
                    conn.bytesAcked = info.tcpi_bytes_acked;
                    conn.bytesReceived = info.tcpi_bytes_received;
                }
            }
            out.push_back(conn);
        }
    }
    close(nl);
    return ok;
}

}  // namespace

WireSample WireMeter::Poll() {
    for (auto& entry : m_seen) entry.second.present = false;
    int connections = 0;
    std::vector<TcpConn> conns;
    if (DumpTcp(conns)) {
        std::set<uint64_t> own = OwnSocketInodes();
        for (const TcpConn& c : conns) {
            int port = m_match == Match::LocalPort ? c.localPort : c.peerPort;
            if (port != m_port || own.count(c.inode) == 0) continue;
            ++connections;
            if (!c.hasBytes) continue;
            m_total.available = true;
            Seen& seen = m_seen[static_cast<ino_t>(c.inode)];
            // A reused inode with smaller counters is a new connection.
            if (c.bytesAcked < seen.out || c.bytesReceived < seen.in) seen = Seen{};
            m_total.bytesOut += c.bytesAcked - seen.out;
            m_total.bytesIn += c.bytesReceived - seen.in;
            seen.out = c.bytesAcked;
            seen.in = c.bytesReceived;
            seen.present = true;
        }
    }
    for (auto it = m_seen.begin(); it != m_seen.end();) {
        if (it->second.present) {
            ++it;
        } else {
            it = m_seen.erase(it);
        }
    }
    m_total.connections = connections;
    return m_total;
}

}  // namespace travik_tool
