#include "live/demo.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cinttypes>
#include <memory>
#include <string>

#include "cli/console.h"
#include "cli/stats.h"
#include "cli/status_ticker.h"
#include "common/wire_meter.h"
#include "live/device.h"
#include "live/direct_source.h"
#include "live/view.h"
#include "platform/sockets.h"
#ifdef TRAVIK_TOOL_WEB
#include "web/viewer.h"
#endif

namespace travik_tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDemoFps = 25;
constexpr double kDemoLogRate = 5;
constexpr int kDemoIntervalMs = 100;
constexpr int kDemoSaveEveryMs = 1000;

const SyntheticCamera kDemoCameras[] = {
    {0, kFormatGray, 640, 480},
    {1, kFormatRgb, 640, 480},
    {2, kFormatGray, 320, 240},
    {3, kFormatRgb, 320, 240},
};

// A port that nothing listened on a moment ago.
int FreePort() {
#ifdef _WIN32
    SOCKET fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd == INVALID_SOCKET) return -1;
#else
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
#ifdef _WIN32
    closesocket(fd);
#else
    close(fd);
#endif
    return port;
}

std::string Describe(const SyntheticCamera& s) {
    return std::string(s.attr2 == kFormatRgb ? "rgb " : "gray ") + std::to_string(s.width) + "x" +
           std::to_string(s.height);
}

void PrintSummary(FILE* out, const DemoOptions& options, int port, double seconds, const DeviceCounters& device,
                  ViewerHost& viewer, const WireSample& wire) {
    ViewCounts got = viewer.Totals();
    std::fprintf(out,
                 "\ntravik demo: %.1f s, device and viewer on 127.0.0.1:%d, %.0f frames/s offered per channel, "
                 "viewer interval %d ms\n\n",
                 seconds, port, kDemoFps, kDemoIntervalMs);
    std::fprintf(out, "%-8s %-13s %8s %10s %14s %9s %12s %12s\n", "channel", "image", "offered", "delivered",
                 "not delivered", "raw MB", "latency p50", "latency p99");
    uint64_t offered = 0, delivered = 0, raw = 0;
    for (const SyntheticCamera& s : kDemoCameras) {
        int c = s.channel;
        uint64_t missing = device.offered[c] > got.images[c] ? device.offered[c] - got.images[c] : 0;
        int64_t p50 = 0, p99 = 0;
        bool lat = viewer.LatencyPercentiles(c, p50, p99);
        std::fprintf(out, "%-8d %-13s %8" PRIu64 " %10" PRIu64 " %14" PRIu64 " %9s %12s %12s\n", c, Describe(s).c_str(),
                     device.offered[c], got.images[c], missing, FormatMB(static_cast<double>(got.bytes[c])).c_str(),
                     lat ? FormatMicros(p50).c_str() : "-", lat ? FormatMicros(p99).c_str() : "-");
        offered += device.offered[c];
        delivered += got.images[c];
        raw += got.bytes[c];
    }
    int64_t p50 = 0, p99 = 0;
    bool lat = viewer.LatencyPercentiles(-1, p50, p99);
    std::fprintf(out, "%-8s %-13s %8" PRIu64 " %10" PRIu64 " %14" PRIu64 " %9s %12s %12s\n\n", "all", "", offered,
                 delivered, offered > delivered ? offered - delivered : 0, FormatMB(static_cast<double>(raw)).c_str(),
                 lat ? FormatMicros(p50).c_str() : "-", lat ? FormatMicros(p99).c_str() : "-");
    if (wire.available && wire.bytesIn > 0) {
        std::fprintf(out,
                     "wire:      %s MB received by the viewer's TCP socket (every frame with its header) for %s MB "
                     "of raw images: compression ratio %.1f:1\n",
                     FormatMB(static_cast<double>(wire.bytesIn)).c_str(), FormatMB(static_cast<double>(raw)).c_str(),
                     static_cast<double>(raw) / static_cast<double>(wire.bytesIn));
    } else {
        std::fprintf(out, "wire:      byte counts not available from this kernel; no compression ratio\n");
    }
    std::fprintf(out,
                 "logs:      %" PRIu64 " lines staged by the device, %" PRIu64 " received by the viewer (%" PRIu64
                 " refused while no viewer had opened the log stream)\n",
                 device.logsStaged, got.logLines, device.logsRefused);
    std::fprintf(out,
                 "not delivered: offered images the library did not send. The first image of each channel only "
                 "starts\n               its timer; the interval gate (%d ms) drops images that come sooner; a "
                 "staged image\n               is replaced by a newer one of its channel before the send thread "
                 "takes it.\n",
                 kDemoIntervalMs);
    if (options.seconds <= 0) {
        std::fprintf(out, "images:    none saved (a run until Ctrl-C keeps no files)\n");
    } else {
        std::fprintf(out,
                     "images:    %" PRIu64
                     " files in %s/ (one per channel per second) and %s/index.csv; "
                     ".pgm/.ppm open in any image viewer\n",
                     got.saved, options.outDir.c_str(), options.outDir.c_str());
    }
    std::fflush(out);
}

#ifdef TRAVIK_TOOL_WEB
// Serves the live page for the demo's device; prints its URL.
bool StartDemoWeb(const std::string& address, ViewSource& source, std::unique_ptr<WebViewer>& web, FILE* out) {
    WebConfig config;
    if (!ParseHttpAddress(address, config.httpAddress, config.httpPort)) {
        Status("travik demo: bad --web '%s' (expected ADDR:PORT)", address.c_str());
        return false;
    }
    config.wish.logs = true;
    config.wish.intervalMs = kDemoIntervalMs;
    web = std::make_unique<WebViewer>(source, config);
    std::string error;
    if (!web->Start(error)) {
        Status("travik demo: %s", error.c_str());
        return false;
    }
    web->Tick();
    std::fprintf(out, "travik demo: watch it live at %s\n", web->Url().c_str());
    std::fflush(out);
    Status("travik demo: watch it live at %s", web->Url().c_str());
    return true;
}
#else
// A build without the live page: main refuses --web, so none is started.
struct WebViewer {
    void Tick() {}
    void Stop() {}
    std::string StatusLine(double) { return {}; }
};
bool StartDemoWeb(const std::string&, ViewSource&, std::unique_ptr<WebViewer>&, FILE*) { return false; }
#endif

}  // namespace

int RunDemo(const DemoOptions& options, StopSignal& stop, FILE* out) {
    DeviceConfig config;
    config.fps = kDemoFps;
    config.logRate = kDemoLogRate;
    config.cameras.assign(std::begin(kDemoCameras), std::end(kDemoCameras));

    // Two managers in one process: one listens, the other connects.
    TravikMgr deviceMgr;
    TravikMgr viewerMgr;
    deviceMgr.SetCompression(6, 0);  // one compressing thread per core
    std::unique_ptr<DeviceHost> device;
    int port = -1;
    for (int attempt = 0; attempt < 10 && !device; ++attempt) {
        config.port = options.port > 0 ? options.port : FreePort();
        if (config.port <= 0) continue;
        auto candidate = std::make_unique<DeviceHost>(deviceMgr, config);
        if (candidate->Listen() == 0) {
            device = std::move(candidate);
            port = config.port;
        }
        if (options.port > 0) break;
    }
    if (!device) {
        Status("travik demo: cannot listen on %s",
               options.port > 0 ? std::to_string(options.port).c_str() : "a free port");
        return 1;
    }

    ViewConfig view;
    view.logs = true;
    view.intervalMs = kDemoIntervalMs;
    // A run until Ctrl-C would fill the disk one file per channel per second.
    const bool forever = options.seconds <= 0;
    view.outDir = forever ? std::string() : options.outDir;
    view.saveEveryMs = kDemoSaveEveryMs;
    view.logOut = out;
    DirectSource viewerSource(viewerMgr, "127.0.0.1", port);
    ViewerHost viewer(viewerSource, view);
    std::string error;
    if (!viewer.OpenOutput(error)) {
        Status("travik demo: %s", error.c_str());
        deviceMgr.Release();
        return 1;
    }
    if (viewer.Connect() != 0) {
        Status("travik demo: the viewer could not connect to 127.0.0.1:%d", port);
        viewerMgr.Release();
        deviceMgr.Release();
        return 1;
    }
    // The page is a third manager: a second viewer of the same device.
    TravikMgr webMgr;
    DirectSource webSource(webMgr, "127.0.0.1", port);
    std::unique_ptr<WebViewer> web;
    if (!options.web.empty() && !StartDemoWeb(options.web, webSource, web, out)) {
        viewer.Disconnect();
        deviceMgr.Release();
        return 1;
    }
    if (forever) {
        Status("travik demo: device listening on port %d, viewer connected; streaming until Ctrl-C", port);
    } else {
        Status("travik demo: device listening on port %d, viewer connected; streaming for %.0f s", port,
               options.seconds);
    }
    // The viewer's command travels to the device; once it has arrived the
    // log stream is open, and the first accepted log line says so.
    const auto openBy = Clock::now() + std::chrono::seconds(5);
    while (!device->Log("demo: viewer connected, log stream open\n")) {
        if (Clock::now() > openBy || stop.WaitFor(std::chrono::milliseconds(20))) break;
    }

    WireMeter meter(WireMeter::Match::PeerPort, port);
    meter.Poll();
    device->StartProducing();
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    StatusTicker ticker(start);
    DeviceCounters before = device->Counters();
    while ((forever || Clock::now() < end) && !stop.Requested()) {
        if (web) web->Tick();
        if (!viewer.Up()) {
            Status("travik demo: the viewer's connection was lost");
            break;
        }
        stop.WaitFor(std::chrono::milliseconds(50));
        auto now = Clock::now();
        double secs = 0;
        if (ticker.Due(now, secs)) {
            DeviceCounters counters = device->Counters();
            ViewCounts window = viewer.TakeWindow();
            uint64_t offered = 0, got = 0;
            for (int c = 0; c < travik::kImageChannels; ++c) {
                offered += counters.offered[c] - before.offered[c];
                got += window.images[c];
            }
            std::string latency = window.latency.empty() ? std::string("-")
                                                         : FormatMicros(Percentile(window.latency, 50)) + " / " +
                                                               FormatMicros(Percentile(window.latency, 99));
            Status("[demo %2.0f s] offered %.0f images/s, delivered %.0f/s, latency p50/p99 %s%s",
                   std::chrono::duration<double>(now - start).count(), static_cast<double>(offered) / secs,
                   static_cast<double>(got) / secs, latency.c_str(),
                   web ? (" | " + web->StatusLine(secs)).c_str() : "");
            before = counters;
        }
    }
    device->StopProducing();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Frames still on their way are not counted as lost.
    stop.WaitFor(std::chrono::milliseconds(300));
    WireSample wire = meter.Poll();
    if (web) web->Stop();
    viewer.Disconnect();
    deviceMgr.Release();
    if (!viewer.FinishOutput(error)) {
        Status("travik demo: %s", error.c_str());
        return 1;
    }
    PrintSummary(out, options, port, seconds, device->Counters(), viewer, wire);
    return 0;
}

}  // namespace travik_tool
