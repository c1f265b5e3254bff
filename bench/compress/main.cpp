// travik-compress-bench: image throughput of one device against the number
// of compressing threads (SetCompression), the compression ratio against
// one thread, each shape's single-thread compressor limit, four 30 fps
// camera streams at levels 6, 3 and 1 on two threads (delivered against
// offered images/s), and the latency of one 1920x1080 RGB frame from staging
// to a viewer's image callback.
// Device and viewers run in this process over loopback. Prints TSV rows on
// standard output (bench/sections/*-compression.sh turns them into a table),
// progress on standard error.
//
//   travik-compress-bench [--seconds S] [--max-threads N] [--codec NAME]
#include <sys/socket.h>
#include <travik/travik.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "common/synthetic_frames.h"

#if defined(TRAVIK_BENCH_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace {

using namespace travik_bench;
using Clock = std::chrono::steady_clock;

struct Workload {
    std::string name;
    FrameShape shapes[4];  // one per channel
};

std::vector<Workload> Workloads() {
    const FrameShape gray720{1280, 720, 1}, rgb1080{1920, 1080, 3};
    return {{"1280x720 gray x4", {gray720, gray720, gray720, gray720}},
            {"1920x1080 RGB x4", {rgb1080, rgb1080, rgb1080, rgb1080}},
            {"mix: 720p gray, 1080p RGB, 640x480 gray, 640x480 RGB",
             {gray720, rgb1080, FrameShape{640, 480, 1}, FrameShape{640, 480, 3}}}};
}

// The single-thread compressor limit: the build's compressor at level 6 on
// the record sequence, one call per frame, raw MB/s.
double CompressorLimit(const Workload& w, const std::string& codec, double seconds) {
    std::vector<std::vector<unsigned char>> frames;
    for (int c = 0; c < 4; ++c) frames.push_back(MakeCameraFrame(w.shapes[c], 11 + c));
    std::vector<unsigned char> records;
    for (int c = 0; c < 4; ++c) {
        std::vector<const std::vector<unsigned char>*> one{&frames[c]};
        std::vector<unsigned char> r = BuildRecordSequence(one, w.shapes[c], 1);
        records.insert(records.end(), r.begin(), r.begin() + static_cast<long>(RecordBytes(w.shapes[c])));
    }
    std::vector<unsigned char> out(compressBound(records.size()) + 4096);
#if defined(TRAVIK_BENCH_HAVE_LIBDEFLATE)
    libdeflate_compressor* ld = libdeflate_alloc_compressor(6);
#endif
    size_t done = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        if (codec == "libdeflate") {
#if defined(TRAVIK_BENCH_HAVE_LIBDEFLATE)
            libdeflate_zlib_compress(ld, records.data(), records.size(), out.data(), out.size());
#endif
        } else {
            uLongf len = out.size();
            compress2(out.data(), &len, records.data(), records.size(), 6);
        }
        done += records.size();
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
#if defined(TRAVIK_BENCH_HAVE_LIBDEFLATE)
    libdeflate_free_compressor(ld);
#endif
    return static_cast<double>(done) / elapsed / 1e6;
}

// A viewer that only follows frame headers: the cheapest reader, so that
// the device is what is measured. Counts image frames and their sizes.
class ScanViewer {
public:
    bool Start(int port) {
        m_fd = ConnectLoopback(port);
        if (m_fd < 0) return false;
        std::vector<unsigned char> cmd = CommandFrame(kOff, kOn, kOn, 1);
        if (!SendAll(m_fd, cmd.data(), cmd.size())) return false;
        m_thread = std::thread([this] { Read(); });
        return true;
    }
    void Stop() {
        if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    // Totals so far and the arrival time of the last frame counted.
    struct Count {
        long long frames = 0, raw = 0, wire = 0;
        uint64_t at = 0;
    };
    Count Snapshot() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    Count m_count;
    void Read() {
        FrameScanner scanner([this](const FrameScanner::Frame& f) {
            if (f.msgType != 2) return;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_count.frames++;
            m_count.raw += f.rawLen;
            m_count.wire += f.dataLen;
            m_count.at = NowNanos();
        });
        std::vector<unsigned char> buf(1 << 20);
        for (;;) {
            const ssize_t n = read(m_fd, buf.data(), buf.size());
            if (n <= 0 || !scanner.Feed(buf.data(), static_cast<size_t>(n))) return;
        }
    }
    int m_fd = -1;
    std::thread m_thread;
};

struct Throughput {
    double rawMBs = 0, imagesPerSec = 0, ratio = 0;
};

// Stages all four channels every 2 ms (each a few frames kept ready, so
// the compressor never sees the same bytes twice in a row) for `seconds`
// after a short warm-up, and measures what the viewer receives.
Throughput MeasureThroughput(const Workload& w, int threads, double seconds) {
    Throughput result;
    TravikMgr device;
    const int port = FreePort();
    if (device.Listen(port) != 0) return result;
    device.SetCompression(6, threads);
    ScanViewer viewer;
    if (!viewer.Start(port)) return result;
    std::vector<std::shared_ptr<unsigned char>> frames[4];
    for (int c = 0; c < 4; ++c)
        for (uint32_t seed = 0; seed < 3; ++seed) frames[c].push_back(MakeSharedCameraFrame(w.shapes[c], seed * 4 + c));
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        for (uint64_t i = 0; !stop.load(); ++i) {
            for (int c = 0; c < 4; ++c) {
                const ChannelKey key = ChannelKeyOf(c);
                const FrameShape& s = w.shapes[c];
                device.SendImageDataPtr(key.attr1, s.channels == 3 ? 3 : 1, s.width, s.height, key.attr5,
                                        frames[c][i % 3], static_cast<int>(s.Bytes()), i);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // warm-up: timers, first frames
    // From one frame's arrival to another's, at least `seconds` and at least
    // 4 frames apart (a frame of four 1080p RGB images takes over a second);
    // at most a minute.
    const auto t0 = Clock::now();
    const ScanViewer::Count before = viewer.Snapshot();
    ScanViewer::Count first = before;
    while (first.frames == before.frames && Clock::now() - t0 < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        first = viewer.Snapshot();
    }
    ScanViewer::Count last = first;
    while ((static_cast<double>(last.at - first.at) / 1e9 < seconds || last.frames - first.frames < 4) &&
           Clock::now() - t0 < std::chrono::seconds(60)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        last = viewer.Snapshot();
    }
    const double elapsed = static_cast<double>(last.at - first.at) / 1e9;
    const long long f0 = first.frames, r0 = first.raw, w0 = first.wire;
    const long long f1 = last.frames, r1 = last.raw, w1 = last.wire;
    stop = true;
    producer.join();
    device.Release();
    viewer.Stop();
    if (f1 == f0 || elapsed <= 0) return result;
    result.rawMBs = static_cast<double>(r1 - r0) / elapsed / 1e6;
    result.imagesPerSec = static_cast<double>(f1 - f0) * 4 / elapsed;
    result.ratio = w1 > w0 ? static_cast<double>(r1 - r0) / static_cast<double>(w1 - w0) : 0;
    return result;
}

// Four camera-like streams, 1280x720 gray with sensor noise, each staged at
// 30 frames/s (110 MB/s raw in all) into a device compressing at `level` on
// `threads` threads: images per second the viewer receives. Offered: 120.
double MeasureCamera(int level, int threads, double seconds) {
    const FrameShape shape{1280, 720, 1};
    constexpr int kFps = 30;
    TravikMgr device;
    const int port = FreePort();
    if (device.Listen(port) != 0) return 0;
    device.SetCompression(level, threads);
    ScanViewer viewer;
    if (!viewer.Start(port)) return 0;
    // Eight frames of different noise per channel: no two passes alike.
    std::vector<std::shared_ptr<unsigned char>> frames[4];
    for (int c = 0; c < 4; ++c)
        for (uint32_t seed = 0; seed < 8; ++seed) frames[c].push_back(MakeSharedCameraFrame(shape, seed * 4 + c));
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        auto next = Clock::now();
        for (uint64_t i = 0; !stop.load(); ++i) {
            for (int c = 0; c < 4; ++c) {
                const ChannelKey key = ChannelKeyOf(c);
                device.SendImageDataPtr(key.attr1, 1, shape.width, shape.height, key.attr5, frames[c][i % 8],
                                        static_cast<int>(shape.Bytes()), i);
            }
            next += std::chrono::microseconds(1000000 / kFps);
            std::this_thread::sleep_until(next);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // warm-up
    const ScanViewer::Count first = viewer.Snapshot();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const ScanViewer::Count last = viewer.Snapshot();
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    producer.join();
    device.Release();
    viewer.Stop();
    // Frames carry the records of every channel fresh at the time.
    return static_cast<double>(last.raw - first.raw) / static_cast<double>(RecordBytes(shape)) / elapsed;
}

// Median time from staging one 1920x1080 RGB image (nothing else staged)
// to the viewer's image callback, inflating included, over `count` frames.
double MeasureLatencyMs(int threads, int count) {
    const FrameShape shape{1920, 1080, 3};
    TravikMgr device, viewer;
    const int port = FreePort();
    if (device.Listen(port) != 0) return 0;
    device.SetCompression(6, threads);
    char ip[] = "127.0.0.1";
    if (viewer.Connect(ip, port) != 0) return 0;
    std::atomic<long long> arrived{0};
    std::atomic<uint64_t> lastNanos{0};
    viewer.SetImageCb([&](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) {
        lastNanos = NowNanos();
        ++arrived;
    });
    int on[4] = {1, 2, 2, 2};
    viewer.SendCmd(0, 1, on, 1);
    std::vector<double> ms;
    const ChannelKey key = ChannelKeyOf(0);
    // The first image of a channel only starts its timer.
    for (int i = 0; i < count + 2 && static_cast<int>(ms.size()) < count; ++i) {
        std::shared_ptr<unsigned char> frame = MakeSharedCameraFrame(shape, static_cast<uint32_t>(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the device go idle
        const long long before = arrived;
        const uint64_t t0 = NowNanos();
        device.SendImageDataPtr(key.attr1, 3, shape.width, shape.height, key.attr5, frame,
                                static_cast<int>(shape.Bytes()), static_cast<unsigned long long>(i));
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (arrived == before && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (arrived != before) ms.push_back(static_cast<double>(lastNanos - t0) / 1e6);
    }
    viewer.Release();
    device.Release();
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    int maxThreads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::string codec = TRAVIK_BENCH_CODEC;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (flag == "--max-threads")
            maxThreads = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: travik-compress-bench [--seconds S] [--max-threads N]\n");
            return 2;
        }
    }
    if (argc % 2 == 0 || seconds <= 0 || maxThreads < 1) {
        std::fprintf(stderr, "usage: travik-compress-bench [--seconds S] [--max-threads N]\n");
        return 2;
    }
    // The library's own diagnostic lines go to standard output: keep them
    // out of the rows.
    std::fflush(stdout);
    const int rows = dup(1);
    if (rows < 0 || !std::freopen("/dev/null", "w", stdout)) return 1;
    FILE* out = fdopen(rows, "w");
    if (!out) return 1;

    for (const Workload& w : Workloads()) {
        std::fprintf(stderr, "[compression] %s: %s limit\n", codec.c_str(), w.name.c_str());
        const double limit = CompressorLimit(w, codec, 1.0);
        double oneThreadMBs = 0, oneThreadRatio = 0;
        for (int threads = 1; threads <= maxThreads; ++threads) {
            std::fprintf(stderr, "[compression] %s: %s, %d thread(s)\n", codec.c_str(), w.name.c_str(), threads);
            const Throughput t = MeasureThroughput(w, threads, seconds);
            if (threads == 1) {
                oneThreadMBs = t.rawMBs;
                oneThreadRatio = t.ratio;
            }
            std::fprintf(out, "throughput\t%s\t%s\t%d\t%.1f\t%.1f\t%.1f\t%.3f\t%.2f\t%.4f\n", codec.c_str(),
                         w.name.c_str(), threads, limit, t.imagesPerSec, t.rawMBs,
                         oneThreadMBs > 0 ? t.rawMBs / oneThreadMBs : 0, t.ratio,
                         oneThreadRatio > 0 ? t.ratio / oneThreadRatio : 0);
            std::fflush(out);
        }
    }
    for (int level : {6, 3, 1}) {
        std::fprintf(stderr, "[compression] %s: four 720p gray cameras at 30 fps, level %d\n", codec.c_str(), level);
        std::fprintf(out, "camera\t%s\t%d\t2\t120\t%.1f\n", codec.c_str(), level,
                     MeasureCamera(level, 2, std::max(seconds, 2.0)));
        std::fflush(out);
    }
    for (int threads : {1, 2}) {
        std::fprintf(stderr, "[compression] %s: 1080p RGB latency, %d thread(s)\n", codec.c_str(), threads);
        std::fprintf(out, "latency\t%s\t%d\t%.1f\n", codec.c_str(), threads, MeasureLatencyMs(threads, 9));
        std::fflush(out);
    }
    return 0;
}
