// reliability_peer: the other process in the reliability tests. It is a
// device, a viewer or a raw socket peer that the test can stop or kill, and
// a private network namespace where a peer can vanish without a trace.
// Status lines go to the channel of process.h (descriptor 3, or the pipe
// its environment names on Windows); the library's own lines go to
// standard output.
//
//   raw-viewer PORT BYTES   connect, read BYTES bytes, then wait to be killed
//   viewer PORT             TravikMgr viewer that receives images
//   device PORT IMAGE_BYTES TravikMgr device streaming images at full rate;
//                           PORT 0 lets the kernel choose, and the status
//                           line "listening PORT" names the port bound
//   hold SECONDS            do nothing (to look at inherited descriptors)
//   netns-vanish            device and peer in a private network namespace;
//                           the loopback link goes down under an idle
//                           connection and the time until the device drops
//                           it is reported (Linux only: elsewhere it
//                           reports "skip" and why)
#if !defined(_WIN32)
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "manager/manager_internal.h"
#include "reliability.h"
#include "support/process.h"
#include "support/raw_socket.h"
#include "support/test_support.h"
#include "travik/travik.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every mode ends by itself after this long, should the test forget it.
constexpr auto kMaxLifetime = std::chrono::seconds(180);

void Status(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Status(const char* fmt, ...) {
    char buf[256];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
    travik_proc::SendToParent(buf, len);
}

void IdleUntilKilled() {
    auto end = Clock::now() + kMaxLifetime;
    while (Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

#if !defined(_WIN32)
int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
#endif

int RawViewer(int port, long long bytes) {
    travik_test::RawClient client;
    if (!client.Connect(port)) {
        Status("connect failed\n");
        return 1;
    }
    Status("connected\n");
    std::unique_ptr<unsigned char[]> buf(new unsigned char[65536]);
    long long got = 0;
    auto end = Clock::now() + kMaxLifetime;
    while (got < bytes && Clock::now() < end) {
        size_t want = static_cast<size_t>(std::min<long long>(65536, bytes - got));
        long n = travik_test::RecvBytes(static_cast<int>(client.fd()), buf.get(), want);
        if (n <= 0) break;
        got += n;
    }
    Status("read %lld\n", got);
    IdleUntilKilled();
    return 0;
}

int Viewer(int port) {
    TravikMgr viewer;
    char ip[] = "127.0.0.1";
    if (viewer.Connect(ip, port) != 0) {
        Status("connect failed\n");
        return 1;
    }
    std::atomic<long long> images{0};
    viewer.SetImageCb(
        [&images](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) { ++images; });
    Status("connected\n");
    auto end = Clock::now() + kMaxLifetime;
    bool reported = false;
    while (Clock::now() < end) {
        if (!reported && images.load() > 0) {
            Status("receiving\n");
            reported = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    viewer.Release();
    return 0;
}

int Device(int port, int imageBytes) {
    TravikMgr device;
    if (device.Listen(port) != 0) {
        Status("listen failed\n");
        return 1;
    }
    Status("listening %d\n", travik::ListeningPort(device));
    // Streams once a viewer has asked for a 1 ms interval.
    auto end = Clock::now() + kMaxLifetime;
    while (Clock::now() < end && device.m_sendInterval.load() != 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Status("streaming\n");
    unsigned long long tag = 1;
    while (Clock::now() < end) {
        std::shared_ptr<unsigned char> data(new unsigned char[static_cast<size_t>(imageBytes)],
                                            std::default_delete<unsigned char[]>());
        travik_rel::FillImage(data.get(), static_cast<size_t>(imageBytes), tag);
        device.SendImageDataPtr(1, 1, 0, 0, 0, data, imageBytes, tag);
        ++tag;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    device.Release();
    return 0;
}

#if !defined(_WIN32)
bool SetLoopbackUp(bool up) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        if (up) {
            ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        } else {
            ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
        }
        ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    close(fd);
    return ok;
}

// The peer's host vanishes: in a network namespace of our own, the loopback
// link goes down, so nothing (not even a reset) reaches the device any more.
// Only TCP keepalive can tell that the idle connection is dead.
int NetnsVanish() {
    if (unshare(CLONE_NEWNET) != 0) {
        Status("skip unshare(CLONE_NEWNET) failed: %s\n", std::strerror(errno));
        return 0;
    }
    if (!SetLoopbackUp(true)) {
        Status("skip cannot bring the loopback link up: %s\n", std::strerror(errno));
        return 0;
    }
    const int port = 40123;  // the namespace is ours alone
    TravikMgr device;
    if (device.Listen(port) != 0) {
        Status("fail listen\n");
        return 1;
    }
    int fd = ConnectLoopback(port);
    if (fd < 0) {
        Status("fail connect\n");
        return 1;
    }
    auto end = Clock::now() + travik_test::Scaled(std::chrono::seconds(10));
    while (device.IsConnected() == 0 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (device.IsConnected() == 0) {
        Status("fail accept\n");
        return 1;
    }
    if (!SetLoopbackUp(false)) {
        Status("skip cannot take the loopback link down: %s\n", std::strerror(errno));
        return 0;
    }
    auto start = Clock::now();
    end = start + std::chrono::seconds(120);
    while (device.IsConnected() == 1 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (device.IsConnected() == 1) {
        Status("undetected %lld\n", ms);
    } else {
        Status("detected %lld\n", ms);
    }
    close(fd);
    device.Release();
    return 0;
}
#else
int NetnsVanish() {
    Status("skip Windows has no network namespaces to take a link down in\n");
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "raw-viewer" && argc == 4) return RawViewer(std::atoi(argv[2]), std::atoll(argv[3]));
    if (mode == "viewer" && argc == 3) return Viewer(std::atoi(argv[2]));
    if (mode == "device" && argc == 4) return Device(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "hold" && argc == 3) {
        Status("holding\n");
        auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[2]));
        while (Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return 0;
    }
    if (mode == "netns-vanish" && argc == 2) return NetnsVanish();
    std::fprintf(stderr,
                 "usage: reliability_peer raw-viewer PORT BYTES | viewer PORT | device PORT IMAGE_BYTES | "
                 "hold SECONDS | netns-vanish\n");
    return 2;
}
