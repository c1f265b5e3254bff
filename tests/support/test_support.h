// Helpers for tests that talk to the library over loopback.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/wait.h"
#include "travik/travik.h"

namespace travik_test {

// Listens on a port the kernel chooses; returns it, or -1 when Listen fails.
int ListenOnAnyPort(TravikMgr& device);
// Waits until the device has exactly `n` viewers registered (its own count,
// not its printed lines).
bool WaitForViewers(TravikMgr& device, int n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
// A new empty directory in the system's temporary folder (/tmp, or the
// user's Temp on Windows) whose name starts with `prefix`; "" on failure.
// The caller removes it.
std::string MakeTempDir(const std::string& prefix);
// The device's end of a loopback connection whose other end is `peerFd`,
// both in this process: the descriptor whose local port is the peer's remote
// port and whose remote port is the peer's local port; -1 when there is none.
int DeviceSideFd(int peerFd);
// This process's accepted sockets on local port `port` (the device's ends
// of its viewers' connections, wherever the viewers run), ascending.
std::vector<int> AcceptedFds(int port);

// A loopback port held for a program that is started later and cannot report
// which port it bound: a socket bound (not listening) with SO_REUSEADDR. The
// kernel hands the port to nobody else while it is held, yet a listener that
// also sets SO_REUSEADDR (the library's does) can bind and listen on it.
// Connecting to it before that is refused. On Windows the port is only
// picked (bound to port 0, then closed): see test_support.cpp.
class ReservedPort {
public:
    ReservedPort();
    ~ReservedPort();
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;
    int port() const { return m_port; }

    // A listening socket on the held port, so that other listeners fail to
    // bind it until it is closed (the port stays held); -1 on failure.
    int ListenToo() const;

private:
    int m_fd = -1;
    int m_port = -1;
};

// A socket: a descriptor, or on Windows a 64-bit handle (never truncated).
#if defined(_WIN32)
using RawSocket = long long;
#else
using RawSocket = int;
#endif

// A plain blocking TCP client on 127.0.0.1, standing in for a peer.
class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // `rcvbuf` > 0 shrinks the receive buffer before connecting.
    bool Connect(int port, int rcvbuf = 0);
    bool Send(const void* data, size_t len);
    bool Send(const std::vector<unsigned char>& bytes) { return Send(bytes.data(), bytes.size()); }
    // Reads exactly `len` bytes, or fails after `timeout`.
    bool ReadExact(std::vector<unsigned char>& out, size_t len,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads one whole frame (16-byte header plus payload).
    bool ReadFrame(std::vector<unsigned char>& frame, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the peer has closed (read returns 0) within `timeout`.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Close();
    RawSocket fd() const { return m_fd; }

private:
    RawSocket m_fd = -1;
};

// Number of open file descriptors of this process (on Windows its open
// handles), and of the library's threads (named "travik-...") in it.
int OpenFdCount();
int ThreadCount();
// CPU time used so far by this process's threads named `name`, such as
// "travik-listen", in seconds (nanosecond resolution where the kernel keeps
// scheduler statistics, clock ticks otherwise). -1 when there is no such
// thread. Unlike the process's CPU time, other threads and other programs
// on the machine do not count.
double ThreadCpuSeconds(const std::string& name);
// The same for the threads of that name that exist at construction, read
// through descriptors opened then: it keeps working when the process has
// no descriptor left.
class ThreadCpuMeter {
public:
    explicit ThreadCpuMeter(const std::string& name);
    ~ThreadCpuMeter();
    ThreadCpuMeter(const ThreadCpuMeter&) = delete;
    ThreadCpuMeter& operator=(const ThreadCpuMeter&) = delete;
    double Seconds() const;

private:
#if defined(_WIN32)
    std::vector<void*> m_threads;  // thread handles
#else
    struct Source {
        int fd;
        bool nanoseconds;  // schedstat, else stat
    };
    std::vector<Source> m_fds;
#endif
};
// Resident set size of this process, in bytes.
long long RssBytes();
// Address space this process has mapped, in bytes (on Windows its committed
// private memory).
long long VirtualBytes();

// Captures what the library prints to standard output.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    // Everything printed since construction (flushes stdout first).
    std::string Text();

private:
    std::string ShownOnFailure();
    int m_saved = -1;
    std::string m_path;
};

// Little-endian helpers for building and checking frames by hand.
void PutLE32(std::vector<unsigned char>& out, int32_t v);
void PutLE64(std::vector<unsigned char>& out, uint64_t v);
int32_t GetLE32(const unsigned char* p);
uint64_t GetLE64(const unsigned char* p);

}  // namespace travik_test
