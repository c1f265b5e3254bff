#include "common/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace travik_bench {

uint64_t NowNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {
sockaddr_in Loopback(int port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}
}  // namespace

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in sin = Loopback(0);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) {
        socklen_t len = sizeof sin;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0) port = ntohs(sin.sin_port);
    }
    close(fd);
    return port;
}

int ConnectLoopback(int port, int rcvbuf) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sin = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool SendAll(int fd, const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

namespace {
void Put32(std::vector<unsigned char>& out, int32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(static_cast<uint32_t>(v) >> (8 * i)));
}
}  // namespace

std::vector<unsigned char> CommandFrame(int logSwitch, int imageSwitch, int channelSwitch, int intervalMs) {
    std::vector<unsigned char> out;
    for (int32_t v : {3, 0, 32, 0}) Put32(out, v);
    for (int32_t v :
         {1, logSwitch, imageSwitch, channelSwitch, channelSwitch, channelSwitch, channelSwitch, intervalMs})
        Put32(out, v);
    return out;
}

int32_t GetLE32(const unsigned char* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

bool FrameScanner::Feed(const unsigned char* p, size_t n) {
    while (n > 0 && !m_bad) {
        if (m_headerHave < sizeof m_header) {
            size_t take = sizeof m_header - m_headerHave;
            if (take > n) take = n;
            std::memcpy(m_header + m_headerHave, p, take);
            m_headerHave += take;
            p += take;
            n -= take;
            if (m_headerHave < sizeof m_header) return true;
            m_current = Frame{GetLE32(m_header), GetLE32(m_header + 4), GetLE32(m_header + 8), GetLE32(m_header + 12)};
            if (m_current.dataLen < 0) {
                m_bad = true;
                return false;
            }
            m_payloadLeft = static_cast<size_t>(m_current.dataLen);
        }
        size_t skip = m_payloadLeft < n ? m_payloadLeft : n;
        m_payloadLeft -= skip;
        p += skip;
        n -= skip;
        if (m_payloadLeft == 0) {
            m_headerHave = 0;
            m_onFrame(m_current);
        }
    }
    return !m_bad;
}

}  // namespace travik_bench
