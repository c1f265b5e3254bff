// The C++ half of travik.Device: a manager object of its own that listens.
//
// Contract: every method may be called from any Python thread; the staging
// calls (SendImage*, Log) never block on the network and may run with the GIL
// released, concurrently with each other and with Close. Close is idempotent
// and returns once the library's threads have stopped.
#pragma once

#include <travik/travik.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace travik_py {

// Largest image the device stages: every viewer refuses a frame over
// 100,000,000 bytes, headers included.
constexpr int kMaxImageBytes = 99000000;

class DeviceCore {
public:
    DeviceCore() = default;
    ~DeviceCore();
    DeviceCore(const DeviceCore&) = delete;
    DeviceCore& operator=(const DeviceCore&) = delete;

    // Listens on `port` (0: any free port) at `bind` (an address literal; ""
    // all IPv4 addresses), over TLS when `tls` has a certificate. False when
    // the library refuses the TLS settings or the address cannot be bound.
    bool Open(int port, const std::string& bind, const TravikTls& tls);
    void Close();

    int Port();     // the bound port; 0 once closed
    int Viewers();  // viewers connected now

    // Channel 0..3; `attr2` is the pixel format (1 gray, 3 RGB, else opaque).
    // Copies `len` bytes from `data`. True when the library took the image
    // (possibly to drop it at one of its gates), false when the image stream
    // is switched off, the device is closed, or the channel or a size is out
    // of range.
    bool SendImage(int channel, int attr2, int width, int height, const unsigned char* data, int len,
                   unsigned long long tag);
    // As SendImage, but the buffer (which must not change any more) is shared.
    bool SendImageShared(int channel, int attr2, int width, int height, std::shared_ptr<unsigned char> data, int len,
                         unsigned long long tag);
    // Stages text up to its first NUL. True when staged.
    bool Log(const char* text);

private:
    std::mutex m_lifecycle;
    std::atomic<bool> m_open{false};
    TravikMgr m_mgr;
};

}  // namespace travik_py
