#include "support/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace travik_test {

namespace {
sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int CountDirEntries(const char* path) {
    DIR* dir = opendir(path);
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}
}  // namespace

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(int port, int rcvbuf) {
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0) return false;
    if (rcvbuf > 0) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr = Loopback(port);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Close();
        return false;
    }
    return true;
}

bool RawClient::Send(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(m_fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::ReadExact(std::vector<unsigned char>& out, size_t len, std::chrono::milliseconds timeout) {
    out.resize(len);
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got < len) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = recv(m_fd, out.data() + got, len - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::ReadFrame(std::vector<unsigned char>& frame, std::chrono::milliseconds timeout) {
    std::vector<unsigned char> header;
    if (!ReadExact(header, 16, timeout)) return false;
    int32_t dataLen = GetLE32(header.data() + 8);
    if (dataLen < 0) return false;
    std::vector<unsigned char> payload;
    if (!ReadExact(payload, static_cast<size_t>(dataLen), timeout)) return false;
    frame = header;
    frame.insert(frame.end(), payload.begin(), payload.end());
    return true;
}

bool RawClient::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        if (n == 0) return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return true;
    }
    return false;
}

void RawClient::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

int OpenFdCount() { return CountDirEntries("/proc/self/fd") - 1; /* the directory's own descriptor */ }

int ThreadCount() {
    // Only the library's threads: sanitizer runtimes start helper threads of
    // their own at unpredictable times.
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("travik-", 0) == 0) ++n;
    }
    closedir(dir);
    return n;
}

long long RssBytes() {
    std::ifstream in("/proc/self/statm");
    long long pages = 0, rss = 0;
    in >> pages >> rss;
    return rss * sysconf(_SC_PAGESIZE);
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    char tmpl[] = "/tmp/travik-stdout-XXXXXX";
    int fd = mkstemp(tmpl);
    m_path = tmpl;
    m_saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    unlink(m_path.c_str());
}

std::string StdoutCapture::Text() {
    fflush(stdout);
    std::ifstream in(m_path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void PutLE32(std::vector<unsigned char>& out, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(u >> (8 * i)));
}

void PutLE64(std::vector<unsigned char>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

int32_t GetLE32(const unsigned char* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(u);
}

uint64_t GetLE64(const unsigned char* p) {
    uint64_t u = 0;
    for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(p[i]) << (8 * i);
    return u;
}

}  // namespace travik_test
