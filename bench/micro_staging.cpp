// What a host thread pays per staging call on a device that has a viewer:
// SendLogInfo, and SendImageDataPtr on both of its paths. One device with
// one connected viewer serves every case; the viewer is a plain socket that
// opens the log stream with the 48-byte command and drains whatever arrives.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "common/synthetic_frames.h"
#include "travik/travik.h"

namespace {

using travik_bench::kOn;

class DeviceWithViewer {
public:
    DeviceWithViewer() {
        for (int attempt = 0; attempt < 20 && m_port < 0; ++attempt) {
            int port = travik_bench::FreePort();
            if (port > 0 && m_device.Listen(port) == 0) m_port = port;
        }
        if (m_port < 0) return;
        m_fd = travik_bench::ConnectLoopback(m_port);
        if (m_fd < 0) return;
        // Logs and images on, all channels on, the device's default 200 ms
        // interval: images mostly meet the interval gate.
        const std::vector<unsigned char> cmd = travik_bench::CommandFrame(kOn, kOn, kOn, 200);
        if (!travik_bench::SendAll(m_fd, cmd.data(), cmd.size())) return;
        m_drain = std::thread([this] { Drain(); });
        // Wait (bounded) until the device has applied the command: an empty
        // text is accepted exactly when the log stream is open.
        char empty[1] = {0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (m_device.SendLogInfo(empty, 0) == 0) {
                m_ready = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    ~DeviceWithViewer() {
        m_stop = true;
        if (m_drain.joinable()) m_drain.join();
        if (m_fd >= 0) close(m_fd);
        m_device.Release();
    }

    bool Ready() const { return m_ready; }
    TravikMgr& Device() { return m_device; }
    long long Drained() const { return m_drained.load(); }

private:
    void Drain() {
        std::vector<unsigned char> buf(1 << 20);
        while (!m_stop.load()) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            m_drained += n;
        }
    }

    TravikMgr m_device;
    int m_port = -1;
    int m_fd = -1;
    bool m_ready = false;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_drained{0};
    std::thread m_drain;
};

DeviceWithViewer& Rig() {
    static DeviceWithViewer rig;
    return rig;
}

void BM_SendLogInfo(benchmark::State& state) {
    DeviceWithViewer& rig = Rig();
    if (!rig.Ready()) {
        state.SkipWithError("no device with a connected viewer");
        return;
    }
    char line[101];
    std::snprintf(line, sizeof line, "%-99s\n", "a 100-byte log line from a producer thread");
    int64_t refused = 0;
    for (auto _ : state) {
        if (rig.Device().SendLogInfo(line, 100) != 0) ++refused;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    // Share of calls refused because the staged text reached its cap; a
    // producer that outruns the send thread sees these.
    state.counters["refused"] = benchmark::Counter(
        state.iterations() > 0 ? static_cast<double>(refused) / static_cast<double>(state.iterations()) : 0.0,
        benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_SendLogInfo)->Threads(1)->Threads(4)->UseRealTime();

// Gate-drop path: the channel's interval (200 ms) has not passed, so the call
// checks the gates and returns; about five calls per second per channel are
// staged. This is what most calls cost when a producer runs faster than the
// interval.
void BM_SendImageDataPtr_GateDrop(benchmark::State& state) {
    DeviceWithViewer& rig = Rig();
    if (!rig.Ready()) {
        state.SkipWithError("no device with a connected viewer");
        return;
    }
    const travik_bench::FrameShape shape{640, 480, 1};
    const std::shared_ptr<unsigned char> frame = travik_bench::MakeSharedCameraFrame(shape, 7);
    const travik_bench::ChannelKey key = travik_bench::ChannelKeyOf(state.thread_index() % 4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rig.Device().SendImageDataPtr(key.attr1, 1, shape.width, shape.height, key.attr5,
                                                               frame, static_cast<int>(shape.Bytes()), 0));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel("interval gate drops nearly every call");
}
BENCHMARK(BM_SendImageDataPtr_GateDrop)->Threads(1)->Threads(4)->UseRealTime();

// Staging path: the channel's timer is wound back before each call, so every
// call passes the interval gate and replaces its channel's slot (thread i
// owns channel i). Winding the timer back is one atomic store, a few ns of
// the figure. The send thread compresses what is staged meanwhile, so the
// images are small (1 KiB) to keep that background work from taking the
// producers' cores.
void BM_SendImageDataPtr_Staged(benchmark::State& state) {
    DeviceWithViewer& rig = Rig();
    if (!rig.Ready()) {
        state.SkipWithError("no device with a connected viewer");
        return;
    }
    const int channel = state.thread_index() % 4;
    const travik_bench::ChannelKey key = travik_bench::ChannelKeyOf(channel);
    std::shared_ptr<unsigned char> image(new unsigned char[1024], std::default_delete<unsigned char[]>());
    for (int i = 0; i < 1024; ++i) image.get()[i] = static_cast<unsigned char>(i * 7);
    TravikMgr& device = rig.Device();
    int64_t staged = 0;
    for (auto _ : state) {
        device.m_lastSendTime[channel].store(1);
        device.SendImageDataPtr(key.attr1, 1, 32, 32, key.attr5, image, 1024, 0);
        staged += device.m_lastSendTime[channel].load() != 1;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["staged"] = benchmark::Counter(
        state.iterations() > 0 ? static_cast<double>(staged) / static_cast<double>(state.iterations()) : 0.0,
        benchmark::Counter::kAvgThreads);
    state.SetLabel("timer wound back: every call stages");
}
BENCHMARK(BM_SendImageDataPtr_Staged)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
