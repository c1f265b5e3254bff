#include "travik_bench/travik_workloads.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/loopback.h"
#include "travik/travik.h"
#include "travik_bench/child_process.h"
#include "travik_bench/line_batcher.h"
#include "travik_bench/viewers.h"

namespace travik_bench {

bool StartSender(ChildProcess& child, const std::string& role, const WorkloadArgs& args, int& port) {
    std::vector<std::string> all = {role};
    for (const std::string& a : args.ToArgs()) all.push_back(a);
    if (!child.Start(all)) return false;
    std::string line;
    long long p = 0;
    if (!child.Read(line, 20000) || !ParseReply(line, "port", p)) {
        std::fprintf(stderr, "travik-bench: %s %s did not start: %s\n", role.c_str(), args.mode.c_str(), line.c_str());
        return false;
    }
    port = static_cast<int>(p);
    return true;
}

namespace {

// ---------------------------------------------------------------------------
// Device side (child process)

class TravikSender : public Sender {
public:
    explicit TravikSender(const WorkloadArgs& args) : m_args(args) {}

    int Setup() override {
        m_mgr = Singleton<TravikMgr>::GetInstance();
        if (!m_args.tlsDir.empty()) {
            const std::string& d = m_args.tlsDir;
            if (m_mgr->SetTls({d + "/device.pem", d + "/device.key", d + "/ca.pem", ""}) != 0) return -1;
        }
        if (m_args.mode == "images" || m_args.mode == "imglat" || m_args.mode == "stall")
            m_frames = MakeFrameSet(m_args.shape);
        for (int attempt = 0; attempt < 20; ++attempt) {
            int port = FreePort();
            if (port > 0 && m_mgr->Listen(port) == 0) {
                // The send thread compresses; the compressor's limit is
                // measured pinned to the same CPU.
                if (m_args.mode == "images" && m_args.pinCpu >= 0) {
                    m_sendTid = FindThread("travik-send");
                    if (m_sendTid <= 0 || !PinThread(m_sendTid, m_args.pinCpu))
                        std::fprintf(stderr, "travik-bench: the device's send thread could not be pinned\n");
                }
                return port;
            }
        }
        return -1;
    }

    // Text without a line end: a viewer counts a frame but no line.
    void Probe() override {
        char probe[] = "p";
        m_mgr->SendLogInfo(probe, 1);
    }

    void Produce(const std::atomic<bool>& stop) override {
        if (m_args.mode == "images") {
            StageImages(stop, false);
        } else if (m_args.mode == "stall") {
            StageImages(stop, true);
        } else if (m_args.mode == "logs") {
            StageLogs(stop);
        } else if (m_args.mode == "loglat") {
            StageTimedLogs(stop);
        } else if (m_args.mode == "imglat") {
            StageTimedImages(stop);
        }
        // "idle": nothing is staged.
    }

    std::string Query(const std::string& cmd) override {
        if (cmd == "conn") return "conn " + std::to_string(m_mgr->IsConnected());
        if (cmd == "stats") {
            unsigned long long accepted = m_accepted.load();
            if (LineBatcher* b = m_batcher.load()) accepted += b->AcceptedLines();
            return "stats " + std::to_string(accepted) + " " + std::to_string(m_refused.load());
        }
        if (cmd == "affinity") return "affinity " + (m_sendTid > 0 ? ThreadAffinity(m_sendTid) : std::string("none"));
        return std::string();
    }

    void Teardown() override { m_mgr->Release(); }

private:
    void StageImage(int channel, const std::shared_ptr<unsigned char>& frame) {
        const ChannelKey key = ChannelKeyOf(channel);
        const FrameShape& s = m_args.shape;
        m_mgr->SendImageDataPtr(key.attr1, 1, s.width, s.height, key.attr5, frame, static_cast<int>(s.Bytes()),
                                NowNanos());
    }

    // All four channels about every millisecond: with the interval at 1 ms,
    // every channel has a fresh image whenever the send thread comes back
    // for more, so the device never waits for its producer. (A loop without
    // the pause would only burn a core that the compressor needs.)
    void StageImages(const std::atomic<bool>& stop, bool withLogs) {
        char line[kLogLineBytes + 1];
        const uint64_t start = NowNanos();
        uint64_t linesSent = 0;
        for (uint64_t k = 0; !stop.load(); ++k) {
            for (int ch = 0; ch < 4; ++ch) StageImage(ch, m_frames[(k + static_cast<uint64_t>(ch)) % m_frames.size()]);
            if (withLogs) {
                // 1000 lines per second, whatever the loop's pace.
                const uint64_t owed = (NowNanos() - start) / 1000000;
                for (; linesSent < owed; ++linesSent) {
                    MakeLogLine(line, NowNanos());
                    m_mgr->SendLogInfo(line, kLogLineBytes);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // One SendLogInfo call per line, or one per pass of a LineBatcher. A
    // lossless producer retries while SendLogInfo refuses (backpressure);
    // otherwise a refused line is counted and dropped.
    void StageLogs(const std::atomic<bool>& stop) {
        char line[kLogLineBytes + 1];
        MakeLogLine(line, 0);
        if (!m_args.batched) {
            SendPaced(stop, m_args.rate, [&] {
                if (Stage(line, kLogLineBytes, stop)) {
                    ++m_accepted;
                } else if (!stop.load()) {
                    ++m_refused;
                }
                return true;
            });
            return;
        }
        LineBatcher batcher(
            [this](std::string& b, const std::atomic<bool>& abandon) {
                return Stage(&b[0], static_cast<int>(b.size()), abandon);
            },
            kBatchCapBytes, m_args.lossless);
        m_batcher = &batcher;
        SendPaced(stop, m_args.rate, [&] {
            if (!batcher.Stage(line, kLogLineBytes, stop) && !stop.load()) ++m_refused;
            return true;
        });
        batcher.Finish(5.0);
        m_accepted += batcher.AcceptedLines();
        m_refused += batcher.RefusedLines();
        m_batcher = nullptr;
    }

    // Retries back off from 50 us to 4 ms: waiting while viewers take their
    // backlog is what ZeroMQ's blocking send does inside, and a retry that
    // comes back at once only takes the CPU the viewers need. The backlog a
    // refusal leaves (megabytes) lasts far longer than the pause.
    bool Stage(char* text, int len, const std::atomic<bool>& giveUp) {
        int pauseMicros = 50;
        while (m_mgr->SendLogInfo(text, len) != 0) {
            if (!m_args.lossless || giveUp.load()) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(pauseMicros));
            pauseMicros = std::min(2 * pauseMicros, 4000);
        }
        return true;
    }

    void StageTimedLogs(const std::atomic<bool>& stop) {
        SendTimedLines(stop, m_args.rate, [this](char* line) {
            m_mgr->SendLogInfo(line, kLogLineBytes);
            return true;
        });
    }

    void StageTimedImages(const std::atomic<bool>& stop) {
        const auto period = std::chrono::nanoseconds(1000000000 / std::max(1, m_args.rate));
        auto next = std::chrono::steady_clock::now();
        for (size_t k = 0; !stop.load(); ++k) {
            next += period;
            std::this_thread::sleep_until(next);
            StageImage(0, m_frames[k % m_frames.size()]);
        }
    }

    WorkloadArgs m_args;
    TravikMgr* m_mgr = nullptr;
    std::vector<std::shared_ptr<unsigned char>> m_frames;
    std::atomic<unsigned long long> m_accepted{0};
    std::atomic<unsigned long long> m_refused{0};
    std::atomic<LineBatcher*> m_batcher{nullptr};
    int m_sendTid = 0;
};

// ---------------------------------------------------------------------------
// Viewer side (this process)

char kLoopback[] = "127.0.0.1";

// Viewers built from the library, each with its own connection and loop
// thread, as separate viewer programs would have.
class TravikViewers {
public:
    ~TravikViewers() { Release(); }
    bool Connect(int port, int count) {
        for (int i = 0; i < count; ++i) {
            m_viewers.push_back(std::make_unique<TravikMgr>());
            if (m_viewers.back()->Connect(kLoopback, port) != 0) return false;
        }
        return true;
    }
    TravikMgr& operator[](size_t i) { return *m_viewers[i]; }
    size_t size() const { return m_viewers.size(); }
    void Release() {
        for (auto& v : m_viewers) v->Release();
        m_viewers.clear();
    }

private:
    std::vector<std::unique_ptr<TravikMgr>> m_viewers;
};

void Fail(const char* what) { std::fprintf(stderr, "travik-bench: %s\n", what); }

void Report(const char* what, double value, const char* unit) {
    std::fprintf(stderr, "  %-52s %12.2f %s\n", what, value, unit);
}

}  // namespace

std::unique_ptr<Sender> MakeTravikSender(const WorkloadArgs& args) { return std::make_unique<TravikSender>(args); }

void MeasureTravikImages(const FrameShape& shape, int viewers, int pinCpu, const Timing& t, const std::string& codec,
                         Results& results) {
    const bool big = shape.channels == 3;
    ChildProcess device;
    int port = 0;
    WorkloadArgs args{"images", shape, 0};
    args.pinCpu = pinCpu;
    if (!StartSender(device, "travik", args, port)) return;
    RawImageViewers raw;
    if (!raw.Start(port, viewers)) {
        std::fprintf(stderr, "travik-bench: viewers could not connect\n");
        return;
    }
    raw.SendCommand(CommandFrame(kKeep, kOn, kOn, 1));
    SleepSeconds(0.1);
    std::string reply;
    if (device.Ask("affinity", reply) && reply.size() > 9) results.SetMeta("send_thread_cpus", reply.substr(9));
    device.Ask("go", reply);
    SleepSeconds(big ? t.bigWarmup : t.warmup);
    const ThreadSample s0 = SampleThreads(device);
    const uint64_t t0 = NowNanos();
    const uint64_t t1 =
        WaitWindow(t0, big ? t.bigWindow : t.imageWindow, [&](uint64_t now) { return raw.MinFrames(t0, now) >= 3; });
    const ThreadSample s1 = SampleThreads(device);
    raw.Stop();
    device.Stop();
    const double bytesPerSecond = raw.MinRate(t0, t1);
    const std::string key = "img.travik." + codec + "." + ShapeKey(shape) + ".v" + std::to_string(viewers);
    const std::string label = "travik " + codec + " " + shape.Name() + ", " + std::to_string(viewers) + " viewer(s)";
    if (bytesPerSecond <= 0) {
        std::fprintf(stderr, "travik-bench: %s: too few frames in the window\n", label.c_str());
        return;
    }
    // Record bytes include each image's 32-byte header; the table counts
    // image bytes, as the compressor limit does.
    const double ips = bytesPerSecond / static_cast<double>(RecordBytes(shape));
    results.Set(key + ".ips", ips);
    results.Set(key + ".mbps", ips * static_cast<double>(shape.Bytes()) / 1e6);
    // The send thread is the busiest one; a share below 100% means it
    // waited (for a core or for data) part of the time.
    double busiest = 0;
    double total = 0;
    ThreadShares(s0, s1, busiest, total);
    if (total > 0) {
        results.Set(key + ".busiest_pct", 100.0 * busiest);
        results.Set(key + ".device_cores", total);
    }
    Report(label.c_str(), ips * static_cast<double>(shape.Bytes()) / 1e6, "MB/s");
}

void MeasureTravikLogs(int viewers, const LogProducer& producer, const Timing& t, Results& results) {
    ChildProcess device;
    int port = 0;
    WorkloadArgs args{"logs", {}, producer.perSecond};
    args.batched = producer.batched;
    args.lossless = producer.lossless;
    if (!StartSender(device, "travik", args, port)) return;
    TravikViewers v;
    if (!v.Connect(port, viewers)) return Fail("travik log viewers could not connect");
    std::vector<std::unique_ptr<LineCounter>> counters;
    for (size_t i = 0; i < v.size(); ++i) {
        counters.push_back(std::make_unique<LineCounter>());
        LineCounter* counter = counters.back().get();
        v[i].SetLogCb([counter](std::string& text) { counter->Add(text.data(), text.size()); });
    }
    v[0].SendCmd(kOn, kKeep, nullptr, 0);
    const LogRow row = RunLogRow(
        device, t,
        [&] {
            std::vector<ReceiverCount> c;
            for (auto& counter : counters) c.push_back({counter->lines.load(), counter->messages.load()});
            return c;
        },
        true);
    // A viewer whose connection the device closed as too slow.
    int dropped = 0;
    for (size_t i = 0; i < v.size(); ++i) dropped += v[i].IsConnected() == 0;
    v.Release();
    device.Stop();
    if (!row.ok) return Fail("travik log row failed");
    const std::string key = LogKey("travik", viewers, producer);
    if (dropped > 0)
        std::fprintf(stderr, "travik-bench: the device closed %d of %d log viewers as too slow\n", dropped, viewers);
    StoreLogRow(key, row, dropped, results);
    Report((key + " lines/s").c_str(), row.minRate, "lines/s");
}

void MeasureTravikLogLatency(const Timing& t, Results& results) {
    ChildProcess device;
    int port = 0;
    if (!StartSender(device, "travik", WorkloadArgs{"loglat", {}, 1000}, port)) return;
    TravikViewers v;
    if (!v.Connect(port, 1)) return;
    LatencyLog lat;
    v[0].SetLogCb([&lat](std::string& text) {
        const uint64_t now = NowNanos();
        SplitLines(text.data(), text.size(), [&](const char* line, size_t len) {
            const uint64_t stamp = LineStamp(line, len);
            if (stamp > 0 && stamp <= now) lat.Add(now - stamp, now);
        });
    });
    v[0].SendCmd(kOn, kKeep, nullptr, 0);
    SleepSeconds(0.1);
    const LatencyFigures f = LatencyOver(device, lat, t.warmup, t.latencyWindow);
    v.Release();
    device.Stop();
    if (!f.any) return;
    results.Set("loglat.travik.line.p50us", f.p50 / 1e3);
    results.Set("loglat.travik.line.p99us", f.p99 / 1e3);
    Report("travik log latency p50", f.p50 / 1e3, "us");
}

void MeasureTravikImageLatency(const Timing& t, const std::string& codec, Results& results) {
    ChildProcess device;
    int port = 0;
    if (!StartSender(device, "travik", WorkloadArgs{"imglat", {640, 480, 1}, 30}, port)) return;
    TravikViewers v;
    if (!v.Connect(port, 1)) return;
    LatencyLog lat;
    v[0].SetImageCb([&lat](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long tag) {
        const uint64_t now = NowNanos();
        if (tag > 0 && tag <= now) lat.Add(now - tag, now);
    });
    int channels[4] = {kOn, kOn, kOn, kOn};
    v[0].SendCmd(kKeep, kOn, channels, 1);
    SleepSeconds(0.1);
    const LatencyFigures f = LatencyOver(device, lat, std::max(t.warmup, 0.3), t.latencyWindow);
    v.Release();
    device.Stop();
    if (!f.any) return;
    const std::string key = "imglat.travik." + codec;
    results.Set(key + ".p50ms", f.p50 / 1e6);
    results.Set(key + ".p99ms", f.p99 / 1e6);
    Report(("travik " + codec + " image latency p50").c_str(), f.p50 / 1e6, "ms");
}

void MeasureTravikIdle(const Timing& t, Results& results) {
    ChildProcess device;
    int port = 0;
    if (!StartSender(device, "travik", WorkloadArgs{"idle", {}, 0}, port)) return;
    TravikViewers v;
    if (!v.Connect(port, 1)) return;
    v[0].SetLogCb([](std::string&) {});
    v[0].SendCmd(kOn, kKeep, nullptr, 0);
    SleepSeconds(0.5);
    double pct = 0;
    const bool measured = CpuShareOver(device, t.idleWindow, pct);
    v.Release();
    device.Stop();
    if (!measured) return;
    results.Set("idle.travik.cpu_pct", pct);
    results.Set("idle.seconds", t.idleWindow);
    Report("travik idle device CPU", pct, "% of a core");
}

void MeasureTravikStall(const Timing& t, Results& results) {
    ChildProcess device;
    int port = 0;
    if (!StartSender(device, "travik", WorkloadArgs{"stall", {640, 480, 1}, 0}, port)) return;
    const int fd = ConnectLoopback(port, 4096);
    if (fd < 0) return;
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
    const std::vector<unsigned char> cmd = CommandFrame(kOn, kOn, kOn, 1);
    SendAll(fd, cmd.data(), cmd.size());
    SleepSeconds(0.3);
    const long long base = ProcessRss(device.pid());
    std::string reply;
    device.Ask("go", reply);
    long long peak = base;
    const uint64_t end = NowNanos() + static_cast<uint64_t>(t.stallWindow * 1e9);
    while (NowNanos() < end) {
        SleepSeconds(0.05);
        peak = std::max(peak, ProcessRss(device.pid()));
    }
    long long connected = 0;
    device.Ask("conn", reply);
    ParseReply(reply, "conn", connected);
    close(fd);
    device.Stop();
    const double mib = 1024.0 * 1024.0;
    results.Set("stall.seconds", t.stallWindow);
    results.Set("stall.travik.rss_base_mib", static_cast<double>(base) / mib);
    results.Set("stall.travik.rss_peak_mib", static_cast<double>(peak) / mib);
    results.Set("stall.travik.growth_mib", static_cast<double>(peak - base) / mib);
    results.Set("stall.travik.connected_at_end", static_cast<double>(connected));
    results.Set("stall.viewer_rcvbuf_bytes", rcvbuf);
    Report("travik device RSS growth, stalled viewer", static_cast<double>(peak - base) / mib, "MiB");
}

}  // namespace travik_bench
