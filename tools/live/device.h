// The device side: a host that listens, produces frames at a steady rate on
// its channels (synthetic test frames or files read from a directory) and
// writes log lines, all through the public API.
// Contract: a DeviceHost borrows `mgr` for its lifetime and is driven from
// one host thread; it produces on a thread of its own (StartProducing to
// StopProducing, which joins it). Counters may be read from any thread.
#pragma once

#include <travik/travik.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/options.h"
#include "cli/stop_signal.h"
#include "common/image_file.h"
#include "protocol/channel_rule.h"

namespace travik_tool {

// One channel's synthetic camera.
struct SyntheticCamera {
    int channel = 0;
    int attr2 = kFormatGray;
    int width = 640;
    int height = 480;
};

struct DeviceConfig {
    int port = kDefaultPort;
    std::string bind = "127.0.0.1";  // a local address literal
    TravikTls tls;                   // certFile empty: plain TCP
    double fps = 10;
    std::vector<SyntheticCamera> cameras;
    // When not empty, these are streamed instead of test frames: at each
    // tick every camera's channel gets the next file, round the list.
    std::vector<LoadedImage> files;
    double logRate = 2;
    int noise = 0;
};

// Counts of what the host handed to the library. "Offered" images are
// staging calls that returned 0: the library then staged the image or
// dropped it at a gate (first image of a channel, interval, nobody
// connected, channel off), and the host cannot tell which.
struct DeviceCounters {
    uint64_t offered[travik::kImageChannels] = {};
    uint64_t offeredBytes[travik::kImageChannels] = {};
    uint64_t refused[travik::kImageChannels] = {};  // -1: the image stream is closed
    uint64_t frames = 0;
    uint64_t logsStaged = 0;
    uint64_t logsRefused = 0;  // -1: log stream not opened by a viewer, or nobody connected
};

class DeviceHost {
public:
    DeviceHost(TravikMgr& mgr, DeviceConfig config);
    ~DeviceHost();
    DeviceHost(const DeviceHost&) = delete;
    DeviceHost& operator=(const DeviceHost&) = delete;

    // TravikMgr::SetTls (when the config has TLS), then Listen on the bind
    // address: 0 listening, -1 TLS refused or the address not bound.
    int Listen();
    void StartProducing();
    void StopProducing();
    // Stages one log line now; true when the library took it.
    bool Log(const std::string& text);
    DeviceCounters Counters() const;

private:
    void Produce();
    void StageImages(uint64_t frame);
    void StageLog(uint64_t frame, double uptime);

    TravikMgr& m_mgr;
    DeviceConfig m_config;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_stop = false;
    uint64_t m_nextFile = 0;

    std::atomic<uint64_t> m_offered[travik::kImageChannels] = {};
    std::atomic<uint64_t> m_offeredBytes[travik::kImageChannels] = {};
    std::atomic<uint64_t> m_refused[travik::kImageChannels] = {};
    std::atomic<uint64_t> m_frames{0};
    std::atomic<uint64_t> m_logsStaged{0};
    std::atomic<uint64_t> m_logsRefused{0};
};

// `travik device`: runs until Ctrl-C or --duration. Exit code.
int RunDevice(const DeviceOptions& options, StopSignal& stop);

}  // namespace travik_tool
