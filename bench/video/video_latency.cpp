// Staging-to-decoded latency of H.264 through the tool: this program is
// the device (the library, one 30 images/s RGB channel of the moving test
// pattern) and the watcher (a WebSocket client of the page that turns video
// on and decodes every unit with openh264's decoder). Each image carries its
// staging time in its pixels (stamp.h), so the figure spans the whole path
// whatever the hops do with their own clocks:
//   direct: device -> `travik web --video h264` -> page's WebSocket;
//   nats:   device -> `travik bridge --video h264` -> nats-server ->
//           `travik web nats://` (units passed through) -> page's WebSocket.
// Beside the page, a direct travik viewer of the same device measures what
// the device link alone costs; the row gives both and their difference, the
// latency the video path adds.
// Prints markdown table rows on stdout (one per path), progress on stderr.
// Exit 1 when a path does not start or a picture's stamp does not read back.
//
//   travik-video-latency --travik PATH [--nats-server PATH] [--size WxH]
//                        [--bitrate RATE] [--seconds S]
#include <signal.h>
#include <travik/travik.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/image_file.h"
#include "common/loopback.h"
#include "common/test_pattern.h"
#include "common/tool_process.h"
#include "platform/clock.h"
#include "protocol/channel_rule.h"
#include "stamp.h"
#include "support/bounded_io.h"
#include "support/h264_decode.h"
#include "support/process.h"
#include "web/protocol.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kFps = 30;
constexpr int kNoise = 8;  // `travik device --noise` as the other benchmarks run it

// The markdown goes here; the library's own diagnostic lines, which it
// prints on standard output, go to standard error with the progress.
FILE* g_md = stdout;

using Child = travik_bench::ToolProcess;

// Stages channel 0 at kFps until `stop`, each image stamped with its
// staging time (the tag carries it too, for the hops' own figures).
void StageImages(int width, int height, const std::atomic<bool>& stop) {
    TravikMgr& mgr = *Singleton<TravikMgr>::GetInstance();
    int attr1 = 0, attr5 = 0;
    travik::ChannelAttrs(0, attr1, attr5);
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    auto next = Clock::now();
    for (uint64_t frame = 0; !stop.load(); ++frame) {
        std::shared_ptr<unsigned char> data(new unsigned char[bytes], std::default_delete<unsigned char[]>());
        travik_tool::DrawTestPattern(data.get(), width, height, travik_tool::kFormatRgb, 0, frame, kNoise);
        const int64_t now = travik::NowMicros();
        travik_bench::StampRgb(data.get(), width, height, static_cast<uint64_t>(now));
        mgr.SendImageDataPtr(attr1, travik_tool::kFormatRgb, width, height, attr5, data, static_cast<int>(bytes),
                             static_cast<unsigned long long>(now));
        next += std::chrono::microseconds(1000000 / kFps);
        std::this_thread::sleep_until(next);
    }
}

struct Samples {
    std::vector<int64_t> micros;  // staging -> decoded, per picture read back
    uint64_t units = 0, bytes = 0, unreadable = 0;
};

// A direct travik viewer of the same device in the same run: what the
// device link itself costs (deflate, inflate of the raw images), which the
// video path does not add. Its latency is staging -> image callback.
class DirectViewer {
public:
    bool Start(int devicePort) {
        std::string ip = "127.0.0.1";
        for (int i = 0; i < 100; ++i) {
            if (m_mgr.Connect(&ip[0], devicePort) == 0) break;
            m_mgr.Release();
            if (i == 99) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        m_mgr.SetImageCb([this](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long tag) {
            const int64_t age = travik::NowMicros() - static_cast<int64_t>(tag);
            const auto now = Clock::now();
            std::lock_guard<std::mutex> lock(m_mutex);
            if (now >= m_start && now < m_end) m_micros.push_back(age);
        });
        int on[4] = {1, 1, 1, 1};  // what the page asks for: channel 0 is the only one staged
        m_mgr.SendCmd(0, 1, on, 1);
        return true;
    }
    void Window(Clock::time_point start, Clock::time_point end) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_start = start;
        m_end = end;
        m_micros.clear();
    }
    std::vector<int64_t> Stop() {
        m_mgr.Release();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_micros;
    }

private:
    TravikMgr m_mgr;
    std::mutex m_mutex;
    Clock::time_point m_start = Clock::time_point::max(), m_end = Clock::time_point::max();
    std::vector<int64_t> m_micros;
};

// Watches channel 0 as video on the page at `port` from `start` to `end`,
// decoding every unit and reading each picture's stamp.
Samples Watch(int port, Clock::time_point start, Clock::time_point end) {
    Samples s;
    try {
        asio::io_context ioc;
        websocket::stream<tcp::socket> ws(ioc);
        ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        ws.handshake("127.0.0.1:" + std::to_string(port), "/ws");
        ws.text(true);
        ws.write(asio::buffer(std::string(R"({"type":"video","channel":0,"on":true})")));
        travik_test::H264Decoder decoder;
        std::vector<uint8_t> luma;
        beast::flat_buffer buffer;
        while (Clock::now() < end) {
            buffer.consume(buffer.size());
            // A read may wait out the whole run (through NATS the first unit
            // comes only once the bridge has the lease, the device's images
            // and a keyframe), but no longer.
            if (travik_test::RunBounded(ioc, ws.next_layer(), end - Clock::now() + std::chrono::seconds(5),
                                        [&](auto handler) { ws.async_read(buffer, std::move(handler)); }))
                break;
            if (!ws.got_binary()) continue;
            travik_tool::ImageHeader h;
            const auto* bytes = static_cast<const unsigned char*>(buffer.data().data());
            if (!travik_tool::ReadImageHeader(bytes, buffer.size(), h) || h.encoding != travik_tool::WebEncoding::H264)
                continue;
            int w = 0, hh = 0;
            const bool picture = decoder.Decode(bytes + travik_tool::kImageHeaderBytes,
                                                buffer.size() - travik_tool::kImageHeaderBytes, w, hh, &luma);
            if (Clock::now() < start) continue;
            ++s.units;
            s.bytes += buffer.size() - travik_tool::kImageHeaderBytes;
            uint64_t staged = 0;
            if (!picture || !travik_bench::ReadStamp(luma.data(), w, hh, staged)) {
                ++s.unreadable;
                continue;
            }
            s.micros.push_back(travik_bench::StampAge(staged, static_cast<uint64_t>(travik::NowMicros())));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[video latency] watcher: %s\n", e.what());
    }
    return s;
}

// Whether nats-server accepts connections within 10 s: the bridge gives up
// on a server it cannot reach at start.
bool NatsListens(int port) {
    for (int i = 0; i < 200; ++i) {
        const int fd = travik_bench::ConnectLoopback(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

double Pct(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
    return static_cast<double>(v[i]) / 1000.0;
}

// Total: staging -> decoded picture; direct: staging -> a direct viewer's
// callback; added: the difference of the percentiles.
void Row(const char* path, int width, int height, const std::string& bitrate, double seconds, const Samples& s,
         const std::vector<int64_t>& direct) {
    std::fprintf(g_md, "| %s | %dx%d | %s | %.1f | %.0f | %.1f / %.1f | %.1f / %.1f | %.1f / %.1f | %llu |\n", path,
                 width, height, bitrate.c_str(), static_cast<double>(s.micros.size()) / seconds,
                 static_cast<double>(s.bytes) * 8 / 1000 / seconds, Pct(s.micros, 50), Pct(s.micros, 99),
                 Pct(direct, 50), Pct(direct, 99), Pct(s.micros, 50) - Pct(direct, 50),
                 Pct(s.micros, 99) - Pct(direct, 99), static_cast<unsigned long long>(s.unreadable));
    std::fflush(g_md);
}

// Watches the page at `port` beside a direct viewer of the device for
// `seconds` after `warmup`, and prints the row.
bool Measure(const char* path, int port, int devicePort, double warmup, double seconds, int width, int height,
             const std::string& bitrate) {
    DirectViewer direct;
    if (!direct.Start(devicePort)) {
        std::fprintf(stderr, "[video latency] the direct viewer cannot connect\n");
        return false;
    }
    const auto start =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmup));
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    direct.Window(start, end);
    const Samples samples = Watch(port, start, end);
    Row(path, width, height, bitrate, seconds, samples, direct.Stop());
    return samples.unreadable == 0;  // pictures that do not decode to what was staged fail the run
}

}  // namespace

int main(int argc, char** argv) {
    std::string travik, natsServer, size = "1280x720", bitrate = "2M";
    double seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--travik")
            travik = argv[i + 1];
        else if (a == "--nats-server")
            natsServer = argv[i + 1];
        else if (a == "--size")
            size = argv[i + 1];
        else if (a == "--bitrate")
            bitrate = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::atof(argv[i + 1]);
    }
    int width = 0, height = 0;
    if (travik.empty() || std::sscanf(size.c_str(), "%dx%d", &width, &height) != 2 ||
        width < travik_bench::kStampWidth || height < travik_bench::kStampHeight || width > 4096 || height > 4096 ||
        !(seconds > 0 && seconds <= 600)) {
        std::fprintf(stderr,
                     "usage: travik-video-latency --travik PATH [--nats-server PATH] [--size WxH (at least %dx%d)] "
                     "[--bitrate RATE] [--seconds S]\n",
                     travik_bench::kStampWidth, travik_bench::kStampHeight);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const int md = dup(STDOUT_FILENO);
    if (md >= 0 && (g_md = fdopen(md, "w")) != nullptr)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    else
        g_md = stdout;
    TravikMgr& mgr = *Singleton<TravikMgr>::GetInstance();
    const int devicePort = travik_bench::FreePort();
    if (mgr.Listen("127.0.0.1", devicePort) != 0) {
        std::fprintf(stderr, "[video latency] cannot listen on %d\n", devicePort);
        return 1;
    }
    // The cheapest deflate on the device link: the figures are about the video path.
    mgr.SetCompression(1, 1);
    std::atomic<bool> stop{false};
    std::thread device(StageImages, width, height, std::cref(stop));
    const double warmup = 2;
    int rc = 0;
    {
        Child web;
        int port = 0;
        if (web.Start({travik, "web", "127.0.0.1:" + std::to_string(devicePort), "--http", "127.0.0.1:0", "--interval",
                       "1", "--video", "h264", "--video-bitrate", bitrate},
                      true))
            port = web.ReadWebPort();
        if (port == 0) {
            std::fprintf(stderr, "[video latency] travik web did not start\n");
            rc = 1;
        } else {
            std::fprintf(stderr, "[video latency] direct, %s at %s, %.0f s\n", size.c_str(), bitrate.c_str(), seconds);
            if (!Measure("direct: device -> web", port, devicePort, warmup, seconds, width, height, bitrate)) rc = 1;
        }
    }
    if (!natsServer.empty() && rc == 0) {  // each path's processes end before the next start
        const int natsPort = travik_bench::FreePort();
        const std::string nats = "nats://127.0.0.1:" + std::to_string(natsPort);
        Child server, bridge, web;
        int port = 0;
        if (server.Start({natsServer, "-a", "127.0.0.1", "-p", std::to_string(natsPort)}, false) &&
            NatsListens(natsPort) &&
            bridge.Start({travik, "bridge", "127.0.0.1:" + std::to_string(devicePort), "--nats", nats, "--name",
                          "latency", "--interval", "1", "--video", "h264", "--video-bitrate", bitrate},
                         false) &&
            web.Start({travik, "web", nats + "/latency", "--http", "127.0.0.1:0", "--interval", "1", "--video", "h264"},
                      true))
            port = web.ReadWebPort();
        if (port == 0) {
            std::fprintf(stderr, "[video latency] the NATS path did not start\n");
            rc = 1;
        } else {
            std::fprintf(stderr, "[video latency] through NATS, %s at %s, %.0f s\n", size.c_str(), bitrate.c_str(),
                         seconds);
            // Longer warm-up: the bridge connects to the device and to NATS first.
            if (!Measure("nats: device -> bridge -> NATS -> web", port, devicePort, warmup + 2, seconds, width, height,
                         bitrate))
                rc = 1;
        }
    }
    stop = true;
    device.join();
    mgr.Release();
    return rc;
}
