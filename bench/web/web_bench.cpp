// Figures for the live page: what encoding a frame costs, and what the web
// hop costs end to end. Prints one markdown section on stdout, progress on
// stderr.
//
//   travik-web-bench --travik PATH [--seconds S] [--quick]
//
// Encode: ImageEncoder on test frames with sensor noise (camera-like), per
// shape and format. Fan-out: a `travik device` (4 channels 640x480 RGB test
// frames at 10 frames/s) and a `travik web` process; this program connects N
// WebSocket clients to the page's server and, beside them, one direct
// travik viewer of the same device. Added latency is the clients' p50/p99
// (device stage -> message read) minus the direct viewer's (device stage ->
// image callback); web CPU is the web process's user + system time.
#include <signal.h>
#include <travik/travik.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "common/test_pattern.h"
#include "common/tool_process.h"
#include "image_encoder/encoder.h"
#include "platform/clock.h"
#include "support/bounded_io.h"
#include "support/process.h"
#include "web/protocol.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace travik_tool;

// The markdown goes here; the library's own diagnostic lines, which it
// prints on standard output, go to standard error with the progress.
FILE* g_md = stdout;

int64_t Pct(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
    return v[i];
}

// ---- encode cost ----

struct EncodeRow {
    const char* shape;
    int width, height, channels;
};

void EncodeSection(bool quick) {
    const EncodeRow rows[] = {
        {"640x480 gray", 640, 480, 1},
        {"640x480 RGB", 640, 480, 3},
        {"1920x1080 RGB", 1920, 1080, 3},
    };
    std::fprintf(g_md, "| Frame | Format | ms/frame p50 | ms/frame p99 | raw MB/s | KiB/frame out |\n");
    std::fprintf(g_md, "|---|---|---:|---:|---:|---:|\n");
    for (const EncodeRow& row : rows) {
        const size_t n = static_cast<size_t>(row.width) * row.height * row.channels;
        std::vector<std::vector<unsigned char>> frames(8, std::vector<unsigned char>(n));
        for (size_t f = 0; f < frames.size(); ++f)
            DrawTestPattern(frames[f].data(), row.width, row.height, row.channels == 1 ? 1 : 3, 0, f, 4);
        for (bool lossless : {false, true}) {
            ImageEncoder encoder(85, lossless);
            std::vector<int64_t> micros;
            size_t bytes = 0;
            const auto end = Clock::now() + std::chrono::milliseconds(quick ? 300 : 1500);
            for (size_t i = 0; i < 1000 && (i < 5 || Clock::now() < end); ++i) {
                std::string out;
                const auto t0 = Clock::now();
                if (!encoder.Encode(frames[i % frames.size()].data(), row.width, row.height, row.channels, out)) break;
                micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
                bytes += out.size();
            }
            if (micros.empty()) continue;
            double mean = 0;
            for (int64_t m : micros) mean += static_cast<double>(m);
            mean /= static_cast<double>(micros.size());
            std::fprintf(g_md, "| %s | %s | %.2f | %.2f | %.0f | %.0f |\n", row.shape, lossless ? "PNG" : "JPEG q85",
                         static_cast<double>(Pct(micros, 50)) / 1000.0, static_cast<double>(Pct(micros, 99)) / 1000.0,
                         static_cast<double>(n) / mean, static_cast<double>(bytes) / micros.size() / 1024.0);
            std::fflush(g_md);
        }
    }
}

// ---- fan-out through the real tool ----

using Child = travik_bench::ToolProcess;

// user + system CPU seconds of a process.
double CpuSeconds(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char buf[1024] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');
    if (!p) return 0;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state is 3rd; utime and stime are 14th and 15th.
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct ClientResult {
    uint64_t images = 0;
    std::vector<int64_t> latency;
};

void RunClient(int port, Clock::time_point start, Clock::time_point end, ClientResult& result) {
    try {
        asio::io_context ioc;
        websocket::stream<tcp::socket> ws(ioc);
        ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        ws.handshake("127.0.0.1:" + std::to_string(port), "/ws");
        beast::flat_buffer buffer;
        while (Clock::now() < end) {
            buffer.consume(buffer.size());
            // A read gives up after 2 s rather than hang on a silent server.
            if (travik_test::RunBounded(ioc, ws.next_layer(), std::chrono::seconds(2),
                                        [&](auto handler) { ws.async_read(buffer, std::move(handler)); }))
                break;
            if (!ws.got_binary() || Clock::now() < start) continue;
            ImageHeader h;
            const auto* bytes = static_cast<const unsigned char*>(buffer.data().data());
            if (!ReadImageHeader(bytes, buffer.size(), h)) continue;
            ++result.images;
            result.latency.push_back(travik::NowMicros() - static_cast<int64_t>(h.tag));
        }
    } catch (...) {
    }
}

struct DirectViewer {
    std::mutex mutex;
    bool counting = false;
    uint64_t images = 0;
    std::vector<int64_t> latency;
};

void FanoutRow(const std::string& travik, int clients, double seconds, bool& headerDone) {
    const int devicePort = travik_bench::FreePort();
    Child device, web;
    if (!device.Start({travik, "device", "--port", std::to_string(devicePort), "--fps", "10", "--size", "640x480",
                       "--format", "rgb", "--log-rate", "10"},
                      false) ||
        !web.Start({travik, "web", "127.0.0.1:" + std::to_string(devicePort), "--http", "127.0.0.1:0", "--logs",
                    "--interval", "1"},
                   true)) {
        std::fprintf(stderr, "cannot start %s\n", travik.c_str());
        return;
    }
    const int webPort = web.ReadWebPort();
    if (webPort <= 0) {
        std::fprintf(stderr, "travik web printed no URL\n");
        return;
    }
    // The direct viewer asks for what the web process asks for, so that it
    // changes nothing on the device.
    TravikMgr direct;
    DirectViewer dv;
    std::string ip = "127.0.0.1";
    for (int i = 0; i < 100 && direct.Connect(&ip[0], devicePort) != 0; ++i) {
        direct.Release();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    direct.SetImageCb([&dv](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long tag) {
        const int64_t lat = travik::NowMicros() - static_cast<int64_t>(tag);
        std::lock_guard<std::mutex> lock(dv.mutex);
        if (!dv.counting) return;
        ++dv.images;
        dv.latency.push_back(lat);
    });
    int on[4] = {1, 1, 1, 1};
    direct.SendCmd(1, 1, on, 1);

    const auto warm = Clock::now() + std::chrono::seconds(2);
    const auto end = warm + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<ClientResult> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(RunClient, webPort, warm, end, std::ref(results[static_cast<size_t>(i)]));
    std::this_thread::sleep_until(warm);
    {
        std::lock_guard<std::mutex> lock(dv.mutex);
        dv.counting = true;
    }
    const double cpu0 = CpuSeconds(web.pid());
    std::this_thread::sleep_until(end);
    const double cpu1 = CpuSeconds(web.pid());
    {
        std::lock_guard<std::mutex> lock(dv.mutex);
        dv.counting = false;
    }
    for (std::thread& t : threads) t.join();
    direct.Release();

    std::vector<int64_t> all;
    double minRate = 1e18, sumRate = 0;
    for (const ClientResult& r : results) {
        all.insert(all.end(), r.latency.begin(), r.latency.end());
        const double rate = static_cast<double>(r.images) / seconds;
        minRate = std::min(minRate, rate);
        sumRate += rate;
    }
    std::vector<int64_t> base;
    double directRate = 0;
    {
        std::lock_guard<std::mutex> lock(dv.mutex);
        base = dv.latency;
        directRate = static_cast<double>(dv.images) / seconds;
    }
    if (!headerDone) {
        std::fprintf(
            g_md,
            "| WebSocket clients | device delivered, images/s | per client, images/s (slowest) | device stage -> "
            "client p50 / p99 | direct viewer p50 / p99 | added by the web hop p50 / p99 | web process CPU |\n");
        std::fprintf(g_md, "|---:|---:|---:|---:|---:|---:|---:|\n");
        headerDone = true;
    }
    std::fprintf(g_md,
                 "| %d | %.1f | %.1f (%.1f) | %.1f / %.1f ms | %.1f / %.1f ms | %.1f / %.1f ms | %.0f %% of a core |\n",
                 clients, directRate, sumRate / clients, minRate, Pct(all, 50) / 1000.0, Pct(all, 99) / 1000.0,
                 Pct(base, 50) / 1000.0, Pct(base, 99) / 1000.0, (Pct(all, 50) - Pct(base, 50)) / 1000.0,
                 (Pct(all, 99) - Pct(base, 99)) / 1000.0, 100.0 * (cpu1 - cpu0) / seconds);
    std::fflush(g_md);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const int md = dup(STDOUT_FILENO);
    if (md >= 0 && (g_md = fdopen(md, "w")) != nullptr) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
    } else {
        g_md = stdout;
    }
    std::string travik;
    double seconds = 8;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--travik" && i + 1 < argc) {
            travik = argv[++i];
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--quick") {
            quick = true;
        } else {
            std::fprintf(stderr, "usage: travik-web-bench --travik PATH [--seconds S] [--quick]\n");
            return 2;
        }
    }
    if (quick) seconds = 3;
    std::fprintf(stderr, "[web bench] encode cost\n");
    std::fprintf(
        g_md,
        "### Live page (`travik web`)\n\nEncode cost per frame (one thread, test frames with sensor noise ±4):\n\n");
    EncodeSection(quick);
    if (travik.empty()) return 0;
    std::fprintf(g_md,
                 "\nFan-out through `travik device` (4 channels 640x480 RGB, 10 frames/s each) and `travik web`, "
                 "%.0f s per row:\n\n",
                 seconds);
    bool header = false;
    for (int clients : {1, 8}) {
        std::fprintf(stderr, "[web bench] fan-out to %d client(s)\n", clients);
        FanoutRow(travik, clients, seconds, header);
    }
    return 0;
}
