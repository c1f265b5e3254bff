// Parent-side viewers that only follow frame boundaries: N plain sockets
// served by one poll thread. They record each image frame's arrival and raw
// size; they never inflate, so they cost the machine almost nothing and the
// figures are the device's.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "travik_bench/workload.h"

namespace travik_bench {

class RawImageViewers {
public:
    ~RawImageViewers() { Stop(); }
    // Connects `count` viewers to 127.0.0.1:port and starts reading.
    bool Start(int port, int count);
    // Sends a command frame on the first viewer's connection.
    bool SendCommand(const std::vector<unsigned char>& cmd);
    void Stop();
    // The slowest viewer's raw image bytes per second within [from, to].
    double MinRate(uint64_t from, uint64_t to) const;
    size_t MinFrames(uint64_t from, uint64_t to) const;

private:
    void Run();

    struct Viewer {
        int fd = -1;
        std::unique_ptr<FrameScanner> scanner;
        FrameLog frames;
    };
    std::vector<std::unique_ptr<Viewer>> m_viewers;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace travik_bench
