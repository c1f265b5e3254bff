#include "support/raw_socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace travik_test {

#if defined(_WIN32)
namespace {
SOCKET H(int s) { return static_cast<SOCKET>(s); }

void Start() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(0x0202, &data) == 0;
    }();
    (void)started;
}
}  // namespace

int TcpSocket(int family) {
    Start();
    SOCKET s = socket(family, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

void CloseSocket(int s) {
    if (s >= 0) closesocket(H(s));
}

bool WaitReadable(int s, int ms) {
    WSAPOLLFD p{H(s), POLLRDNORM, 0};
    return WSAPoll(&p, 1, ms) == 1;
}

int AcceptOn(int listener) {
    SOCKET s = accept(H(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

long SendBytes(int s, const void* data, size_t len) {
    return send(H(s), static_cast<const char*>(data), static_cast<int>(std::min<size_t>(len, 1 << 30)), 0);
}

long RecvBytes(int s, void* data, size_t len, bool dontWait) {
    if (dontWait && BytesWaiting(s) <= 0) {
        // Nothing waiting: the end of the stream still reads as 0.
        if (!WaitReadable(s, 0)) return -1;
    }
    return recv(H(s), static_cast<char*>(data), static_cast<int>(std::min<size_t>(len, 1 << 30)), 0);
}

int BytesWaiting(int s) {
    u_long n = 0;
    return ioctlsocket(H(s), FIONREAD, &n) == 0 ? static_cast<int>(n) : -1;
}

void ShutdownSocket(int s) { shutdown(H(s), SD_BOTH); }

bool SetReceiveTimeout(int s, int ms) {
    const DWORD timeout = static_cast<DWORD>(ms);
    return setsockopt(H(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
}

bool SetReceiveBuffer(int s, int bytes) {
    return setsockopt(H(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}
#else
int TcpSocket(int family) { return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

void CloseSocket(int s) {
    if (s >= 0) close(s);
}

bool WaitReadable(int s, int ms) {
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

int AcceptOn(int listener) { return accept(listener, nullptr, nullptr); }

long SendBytes(int s, const void* data, size_t len) { return send(s, data, len, MSG_NOSIGNAL); }

long RecvBytes(int s, void* data, size_t len, bool dontWait) { return recv(s, data, len, dontWait ? MSG_DONTWAIT : 0); }

int BytesWaiting(int s) {
    int n = 0;
    return ioctl(s, FIONREAD, &n) == 0 ? n : -1;
}

void ShutdownSocket(int s) { shutdown(s, SHUT_RDWR); }

bool SetReceiveTimeout(int s, int ms) {
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

bool SetReceiveBuffer(int s, int bytes) { return setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0; }
#endif

// Both systems: the address structures are the same.
int ListenOnLoopback(int* port) {
    const int s = TcpSocket(AF_INET);
    if (s < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        CloseSocket(s);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return s;
}

int ConnectLoopback(int port) {
    const int s = TcpSocket(AF_INET);
    if (s < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        CloseSocket(s);
        return -1;
    }
    return s;
}

bool Reachable(const char* address, int port) {
    const int family = std::strchr(address, ':') ? AF_INET6 : AF_INET;
    const int s = TcpSocket(family);
    if (s < 0) return false;
    sockaddr_storage addr{};
    socklen_t len;
    if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address, &v6->sin6_addr);
        len = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &v4->sin_addr);
        len = sizeof *v4;
    }
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    CloseSocket(s);
    return ok;
}

bool HaveIpv6Loopback() {
    const int s = TcpSocket(AF_INET6);
    if (s < 0) return false;
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_loopback;
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&any6), sizeof any6) == 0;
    CloseSocket(s);
    return ok;
}

}  // namespace travik_test
