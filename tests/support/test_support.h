// Helpers for tests that talk to the library over loopback.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace travik_test {

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

// Polls `cond` every few milliseconds until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(10));

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
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// Number of open file descriptors of this process, and of the library's
// threads (named "travik-...") in it.
int OpenFdCount();
int ThreadCount();
// Resident set size of this process, in bytes.
long long RssBytes();

// Captures what the library prints to standard output.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    // Everything printed since construction (flushes stdout first).
    std::string Text();

private:
    int m_saved = -1;
    std::string m_path;
};

// Little-endian helpers for building and checking frames by hand.
void PutLE32(std::vector<unsigned char>& out, int32_t v);
void PutLE64(std::vector<unsigned char>& out, uint64_t v);
int32_t GetLE32(const unsigned char* p);
uint64_t GetLE64(const unsigned char* p);

}  // namespace travik_test
