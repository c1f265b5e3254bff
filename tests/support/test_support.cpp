#include "support/test_support.h"

// The socket, descriptor, thread and stdout helpers are POSIX; the Windows
// build of the tests has the waiting and frame-building helpers only.
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#else
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h.
#include <io.h>
#include <windows.h>
// After windows.h.
#include <psapi.h>
#include <tlhelp32.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "manager/manager_internal.h"

namespace travik_test {

#if !defined(_WIN32)
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
#endif

int ListenOnAnyPort(TravikMgr& device) {
    if (device.Listen(0) != 0) return -1;
    int port = travik::ListeningPort(device);
    return port > 0 ? port : -1;
}

bool WaitForViewers(TravikMgr& device, int n, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return travik::ViewerCount(device) == n; }, timeout);
}

std::string MakeTempDir(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return {};
    // Tests of one program may run side by side: the clock and a counter
    // make the name; create_directory fails on one that exists.
    const auto seed = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int i = 0; i < 100; ++i) {
        const fs::path dir = base / (prefix + std::to_string(seed) + "_" + std::to_string(i));
        if (fs::create_directory(dir, ec)) return dir.string();
    }
    return {};
}

#if !defined(_WIN32)
namespace {
int PortOf(int fd, bool remote) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    int rc = remote ? getpeername(fd, reinterpret_cast<sockaddr*>(&a), &n)
                    : getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return rc == 0 && a.sin_family == AF_INET ? ntohs(a.sin_port) : -1;
}

std::vector<int> OpenFds() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return fds;
    int own = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        int fd = std::atoi(e->d_name);
        if (fd != own) fds.push_back(fd);
    }
    closedir(dir);
    std::sort(fds.begin(), fds.end());
    return fds;
}
}  // namespace

int DeviceSideFd(int peerFd) {
    const int local = PortOf(peerFd, false), remote = PortOf(peerFd, true);
    if (local < 0 || remote < 0) return -1;
    for (int fd : OpenFds()) {
        if (fd != peerFd && PortOf(fd, false) == remote && PortOf(fd, true) == local) return fd;
    }
    return -1;
}

std::vector<int> AcceptedFds(int port) {
    std::vector<int> out;
    for (int fd : OpenFds()) {
        if (PortOf(fd, false) == port && PortOf(fd, true) > 0) out.push_back(fd);
    }
    return out;
}

ReservedPort::ReservedPort() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    int on = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Any address, like the library's listener: the port is then taken for
    // every local address.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) m_port = PortOf(m_fd, false);
}

int ReservedPort::ListenToo() const {
    if (m_port < 0) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(m_port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

ReservedPort::~ReservedPort() {
    if (m_fd >= 0) close(m_fd);
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
    auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
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

bool RawClient::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
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

namespace {
std::string ReadAt0(int fd) {
    char buf[1024];
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// "tid (comm) state ...": the name may hold spaces, so it is taken between
// the first '(' and the last ')'.
std::string NameIn(const std::string& stat) {
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::string();
    return stat.substr(open + 1, close - open - 1);
}

// utime + stime in clock ticks: the 12th and 13th fields after the name.
unsigned long long TicksIn(const std::string& stat) {
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 1; i <= 13 && rest >> field; ++i) {
        if (i == 12 || i == 13) ticks += std::strtoull(field.c_str(), nullptr, 10);
    }
    return ticks;
}
}  // namespace

ThreadCpuMeter::ThreadCpuMeter(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        int stat = open((task + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
        if (stat < 0) continue;
        if (NameIn(ReadAt0(stat)) == name) {
            // Nanoseconds from schedstat where the kernel keeps it; clock
            // ticks from stat otherwise.
            int precise = open((task + "/schedstat").c_str(), O_RDONLY | O_CLOEXEC);
            if (precise >= 0) {
                close(stat);
                m_fds.push_back({precise, true});
            } else {
                m_fds.push_back({stat, false});
            }
        } else {
            close(stat);
        }
    }
    closedir(dir);
}

ThreadCpuMeter::~ThreadCpuMeter() {
    for (const Source& s : m_fds) close(s.fd);
}

double ThreadCpuMeter::Seconds() const {
    if (m_fds.empty()) return -1;
    double seconds = 0;
    for (const Source& s : m_fds) {
        const std::string text = ReadAt0(s.fd);
        if (s.nanoseconds) {
            seconds += static_cast<double>(std::strtoull(text.c_str(), nullptr, 10)) / 1e9;
        } else {
            seconds += static_cast<double>(TicksIn(text)) / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
    }
    return seconds;
}

double ThreadCpuSeconds(const std::string& name) { return ThreadCpuMeter(name).Seconds(); }

long long RssBytes() {
    std::ifstream in("/proc/self/statm");
    long long pages = 0, rss = 0;
    in >> pages >> rss;
    return rss * sysconf(_SC_PAGESIZE);
}

long long VirtualBytes() {
    std::ifstream in("/proc/self/statm");
    long long pages = 0;
    in >> pages;
    return pages * sysconf(_SC_PAGESIZE);
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
    const std::string failed = ShownOnFailure();
    fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    unlink(m_path.c_str());
    fputs(failed.c_str(), stdout);
}

std::string StdoutCapture::Text() {
    fflush(stdout);
    std::ifstream in(m_path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
#else   // _WIN32

// Windows counterparts: sockets through Winsock, descriptor and thread
// counts from the process's own handle count and thread snapshot.
namespace {
sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

SOCKET Handle(RawSocket s) { return static_cast<SOCKET>(s); }

// The test process's own Windows Sockets start-up, before the first peer.
void StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(0x0202, &data) == 0;
    }();
    (void)started;
}

int PortOf(SOCKET s, bool remote) {
    sockaddr_in a{};
    int n = sizeof a;
    int rc = remote ? getpeername(s, reinterpret_cast<sockaddr*>(&a), &n)
                    : getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    return rc == 0 && a.sin_family == AF_INET ? ntohs(a.sin_port) : -1;
}

// This process's sockets: handle values are multiples of four, and a value
// that is not a socket fails getsockname. The scan stops well above what a
// test opens. Handle values fit 32 bits on every Windows.
std::vector<int> OpenSockets() {
    StartSockets();
    std::vector<int> out;
    for (int h = 4; h < (1 << 14); h += 4) {
        sockaddr_in a{};
        int n = sizeof a;
        if (getsockname(static_cast<SOCKET>(h), reinterpret_cast<sockaddr*>(&a), &n) == 0) out.push_back(h);
    }
    return out;
}

// The name a thread was given with SetThreadDescription, looked up at run
// time as the library does; "" when unnamed or unknown.
std::string ThreadName(HANDLE thread) {
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    static const GetDescription get = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC proc = kernel ? GetProcAddress(kernel, "GetThreadDescription") : nullptr;
        return reinterpret_cast<GetDescription>(reinterpret_cast<void*>(proc));
    }();
    PWSTR wide = nullptr;
    if (!get || FAILED(get(thread, &wide)) || !wide) return std::string();
    std::string name;
    for (const wchar_t* c = wide; *c; ++c) name.push_back(*c < 128 ? static_cast<char>(*c) : '?');
    LocalFree(wide);
    return name;
}

// Opened handles of this process's threads whose name starts with `prefix`
// (the whole name when `whole`); the caller closes them.
std::vector<HANDLE> OwnThreads(const std::string& prefix, bool whole) {
    std::vector<HANDLE> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e)) {
        if (e.th32OwnerProcessID != self) continue;
        HANDLE t = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, e.th32ThreadID);
        if (!t) continue;
        const std::string name = ThreadName(t);
        if (whole ? name == prefix : name.rfind(prefix, 0) == 0) {
            out.push_back(t);
        } else {
            CloseHandle(t);
        }
    }
    CloseHandle(snap);
    return out;
}
}  // namespace

int DeviceSideFd(int peerFd) {
    const SOCKET peer = static_cast<SOCKET>(peerFd);
    const int local = PortOf(peer, false), remote = PortOf(peer, true);
    if (local < 0 || remote < 0) return -1;
    for (int s : OpenSockets()) {
        const SOCKET h = static_cast<SOCKET>(s);
        if (s != peerFd && PortOf(h, false) == remote && PortOf(h, true) == local) return s;
    }
    return -1;
}

std::vector<int> AcceptedFds(int port) {
    std::vector<int> out;
    for (int s : OpenSockets()) {
        const SOCKET h = static_cast<SOCKET>(s);
        if (PortOf(h, false) == port && PortOf(h, true) > 0) out.push_back(s);
    }
    return out;
}

// Windows has no reservation a later listener can share (its SO_REUSEADDR
// lets a second socket take a bound port over, and the library does not set
// it there): the port is one the system picked for a socket bound to port 0,
// closed again. Nobody listens on it, so connecting is refused.
ReservedPort::ReservedPort() {
    StartSockets();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) m_port = PortOf(s, false);
    closesocket(s);
}

int ReservedPort::ListenToo() const {
    if (m_port < 0) return -1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(m_port));
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 4) != 0) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

ReservedPort::~ReservedPort() = default;

int OpenFdCount() {
    DWORD n = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}

int ThreadCount() {
    std::vector<HANDLE> threads = OwnThreads("travik-", false);
    for (HANDLE t : threads) CloseHandle(t);
    return static_cast<int>(threads.size());
}

ThreadCpuMeter::ThreadCpuMeter(const std::string& name) {
    for (HANDLE t : OwnThreads(name, true)) m_threads.push_back(t);
}

ThreadCpuMeter::~ThreadCpuMeter() {
    for (void* t : m_threads) CloseHandle(static_cast<HANDLE>(t));
}

double ThreadCpuMeter::Seconds() const {
    if (m_threads.empty()) return -1;
    double seconds = 0;
    for (void* t : m_threads) {
        FILETIME created, exited, kernel, user;
        if (!GetThreadTimes(static_cast<HANDLE>(t), &created, &exited, &kernel, &user)) continue;
        for (const FILETIME& f : {kernel, user}) {
            const unsigned long long ticks =
                (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
            seconds += static_cast<double>(ticks) / 1e7;  // 100 ns units
        }
    }
    return seconds;
}

double ThreadCpuSeconds(const std::string& name) { return ThreadCpuMeter(name).Seconds(); }

long long RssBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? static_cast<long long>(counters.WorkingSetSize)
               : -1;
}

long long VirtualBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? static_cast<long long>(counters.PagefileUsage)
               : -1;
}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(int port, int rcvbuf) {
    Close();
    StartSockets();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return false;
    m_fd = static_cast<RawSocket>(s);
    if (rcvbuf > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&rcvbuf), sizeof rcvbuf);
    sockaddr_in addr = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Close();
        return false;
    }
    return true;
}

bool RawClient::Send(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        int chunk = static_cast<int>(std::min<size_t>(len, 1 << 20));
        int n = send(Handle(m_fd), p, chunk, 0);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::ReadExact(std::vector<unsigned char>& out, size_t len, std::chrono::milliseconds timeout) {
    out.resize(len);
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
    while (got < len) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        WSAPOLLFD p{Handle(m_fd), POLLRDNORM, 0};
        if (WSAPoll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        int chunk = static_cast<int>(std::min<size_t>(len - got, 1 << 20));
        int n = recv(Handle(m_fd), reinterpret_cast<char*>(out.data() + got), chunk, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        WSAPOLLFD p{Handle(m_fd), POLLRDNORM, 0};
        if (WSAPoll(&p, 1, 50) <= 0) continue;
        int n = recv(Handle(m_fd), buf, sizeof buf, 0);
        if (n == 0) return true;
        if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK && WSAGetLastError() != WSAEINTR) return true;
    }
    return false;
}

void RawClient::Close() {
    if (m_fd >= 0) closesocket(Handle(m_fd));
    m_fd = -1;
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    char dir[MAX_PATH + 1], path[MAX_PATH + 1];
    if (GetTempPathA(sizeof dir, dir) == 0 || GetTempFileNameA(dir, "trv", 0, path) == 0) return;
    m_path = path;
    FILE* f = std::fopen(path, "wb");
    if (!f) return;
    m_saved = _dup(_fileno(stdout));
    _dup2(_fileno(f), _fileno(stdout));
    std::fclose(f);
}

StdoutCapture::~StdoutCapture() {
    const std::string failed = ShownOnFailure();
    fflush(stdout);
    if (m_saved >= 0) {
        _dup2(m_saved, _fileno(stdout));
        _close(m_saved);
    }
    if (!m_path.empty()) DeleteFileA(m_path.c_str());
    fputs(failed.c_str(), stdout);
}

std::string StdoutCapture::Text() {
    fflush(stdout);
    std::ifstream in(m_path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
#endif  // _WIN32

// Both systems: a failing test's own messages were printed into the capture
// too; they are shown once it ends instead of vanishing with it.
std::string StdoutCapture::ShownOnFailure() {
    return ::testing::Test::HasFailure() ? "--- captured output of the failing test ---\n" + Text() : std::string();
}

// Both systems: one frame is its 16-byte header, then the length it announces.
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
