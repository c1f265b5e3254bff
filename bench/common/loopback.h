// Plain-socket helpers shared by the benchmarks: loopback ports, a blocking
// client, the 48-byte command a viewer sends, and a frame scanner that
// follows a device's byte stream without inflating anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "protocol/switch_value.h"

namespace travik_bench {

// CLOCK_MONOTONIC in nanoseconds; the same clock in every process, so a
// timestamp taken by a device process can be compared in a viewer process.
uint64_t NowNanos();

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

// Blocking TCP connection to 127.0.0.1:port, or -1. `rcvbuf` > 0 shrinks the
// receive buffer before connecting (a viewer that takes little at a time).
int ConnectLoopback(int port, int rcvbuf = 0);

// Writes all `len` bytes; false on error.
bool SendAll(int fd, const void* data, size_t len);

// Switch values of the command frame.
constexpr int kOn = travik::SWITCH_ON;
constexpr int kOff = travik::SWITCH_OFF;
constexpr int kKeep = travik::SWITCH_KEEP;

// The command frame a viewer sends: header {3, 0, 32, 0}, then cmdType 1,
// the log switch, the image switch, four channel switches and the interval
// in milliseconds (< 1 keeps the device's interval).
std::vector<unsigned char> CommandFrame(int logSwitch, int imageSwitch, int channelSwitch, int intervalMs);

// Little-endian field of a frame header.
int32_t GetLE32(const unsigned char* p);

// Follows a stream of frames and reports each one once its last byte has
// arrived. The payload is skipped, not kept: this is the cheapest possible
// viewer, so that a benchmark measures the device and not the viewer.
class FrameScanner {
public:
    struct Frame {
        int32_t msgType;
        int32_t compressed;
        int32_t dataLen;
        int32_t rawLen;
    };
    using OnFrame = std::function<void(const Frame&)>;

    explicit FrameScanner(OnFrame onFrame) : m_onFrame(std::move(onFrame)) {}
    // Returns false once the stream is no longer a frame sequence (a
    // negative length).
    bool Feed(const unsigned char* p, size_t n);

private:
    OnFrame m_onFrame;
    unsigned char m_header[16] = {};
    size_t m_headerHave = 0;
    size_t m_payloadLeft = 0;
    Frame m_current{};
    bool m_bad = false;
};

}  // namespace travik_bench
