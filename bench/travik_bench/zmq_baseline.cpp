#include "travik_bench/zmq_baseline.h"

#include <zlib.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/loopback.h"
#include "travik_bench/child_process.h"
#include "travik_bench/travik_workloads.h"

namespace travik_bench {
namespace {

constexpr size_t kImageMsgHeader = 12;  // u64 staging time, u32 raw size

void PutU64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint64_t GetU64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// ---------------------------------------------------------------------------
// PUB side (child process)

class ZmqSender : public Sender {
public:
    explicit ZmqSender(const WorkloadArgs& args) : m_args(args) {}

    int Setup() override {
        if (m_args.mode == "images" || m_args.mode == "imglat" || m_args.mode == "stall") {
            m_frames = MakeFrameSet(m_args.shape);
            m_message.resize(kImageMsgHeader + compressBound(static_cast<uLong>(m_args.shape.Bytes())));
        }
        m_ctx = zmq_ctx_new();
        m_pub = m_ctx ? zmq_socket(m_ctx, ZMQ_PUB) : nullptr;
        if (!m_pub) return -1;
        int linger = 0;
        zmq_setsockopt(m_pub, ZMQ_LINGER, &linger, sizeof linger);
        if (zmq_bind(m_pub, "tcp://127.0.0.1:*") != 0) return -1;
        char endpoint[256] = {};
        size_t len = sizeof endpoint;
        if (zmq_getsockopt(m_pub, ZMQ_LAST_ENDPOINT, endpoint, &len) != 0) return -1;
        const char* colon = std::strrchr(endpoint, ':');
        return colon ? std::atoi(colon + 1) : -1;
    }

    void Produce(const std::atomic<bool>& stop) override {
        if (m_args.mode == "images") {
            SendImages(stop, false);
        } else if (m_args.mode == "stall") {
            SendImages(stop, true);
        } else if (m_args.mode == "logs") {
            char line[kLogLineBytes + 1];
            MakeLogLine(line, 0);
            SendPaced(stop, m_args.rate, [&] {
                if (zmq_send(m_pub, line, kLogLineBytes, 0) == kLogLineBytes) ++m_sent;
                return true;
            });
        } else if (m_args.mode == "loglat") {
            char line[kLogLineBytes + 1];
            const auto period = std::chrono::nanoseconds(1000000000 / std::max(1, m_args.rate));
            auto next = std::chrono::steady_clock::now();
            while (!stop.load()) {
                next += period;
                std::this_thread::sleep_until(next);
                MakeLogLine(line, NowNanos());
                zmq_send(m_pub, line, kLogLineBytes, 0);
            }
        } else if (m_args.mode == "imglat") {
            const auto period = std::chrono::nanoseconds(1000000000 / std::max(1, m_args.rate));
            auto next = std::chrono::steady_clock::now();
            for (size_t k = 0; !stop.load(); ++k) {
                next += period;
                std::this_thread::sleep_until(next);
                SendImage(m_frames[k % m_frames.size()]);
            }
        }
    }

    // Messages handed to zmq_send; a PUB drops what a slow SUB's queue has
    // no room for, so this is what was offered, not what arrived.
    std::string Query(const std::string& cmd) override {
        return cmd == "stats" ? "stats " + std::to_string(m_sent.load()) : std::string();
    }

    void Teardown() override {
        if (m_pub) zmq_close(m_pub);
        if (m_ctx) zmq_ctx_term(m_ctx);
        m_pub = nullptr;
        m_ctx = nullptr;
    }

private:
    // What a user's camera loop does: compress the image, send it.
    void SendImage(const std::shared_ptr<unsigned char>& frame) {
        const uint64_t stamp = NowNanos();
        uLongf out = static_cast<uLongf>(m_message.size() - kImageMsgHeader);
        const uLong raw = static_cast<uLong>(m_args.shape.Bytes());
        if (compress2(m_message.data() + kImageMsgHeader, &out, frame.get(), raw, 6) != Z_OK) return;
        PutU64(m_message.data(), stamp);
        const uint32_t raw32 = static_cast<uint32_t>(raw);
        for (int i = 0; i < 4; ++i)
            m_message[8 + static_cast<size_t>(i)] = static_cast<unsigned char>(raw32 >> (8 * i));
        zmq_send(m_pub, m_message.data(), kImageMsgHeader + out, 0);
    }

    void SendImages(const std::atomic<bool>& stop, bool withLogs) {
        char line[kLogLineBytes + 1];
        const uint64_t start = NowNanos();
        uint64_t linesSent = 0;
        for (uint64_t k = 0; !stop.load(); ++k) {
            for (int ch = 0; ch < 4 && !stop.load(); ++ch) {
                SendImage(m_frames[(k + static_cast<uint64_t>(ch)) % m_frames.size()]);
                if (!withLogs) continue;
                const uint64_t owed = (NowNanos() - start) / 1000000;
                for (; linesSent < owed; ++linesSent) {
                    MakeLogLine(line, NowNanos());
                    zmq_send(m_pub, line, kLogLineBytes, 0);
                }
            }
        }
    }

    WorkloadArgs m_args;
    void* m_ctx = nullptr;
    void* m_pub = nullptr;
    std::vector<std::shared_ptr<unsigned char>> m_frames;
    std::vector<unsigned char> m_message;
    std::atomic<unsigned long long> m_sent{0};
};

// ---------------------------------------------------------------------------
// SUB side (this process): one context and one receiving thread per SUB, as
// separate viewer programs would have.

enum class SubKind { Images, Logs, LogLatency, ImageLatency, Idle };

class ZmqSub {
public:
    ZmqSub(int port, SubKind kind, int rcvbuf) : m_kind(kind) {
        m_ctx = zmq_ctx_new();
        m_sub = zmq_socket(m_ctx, ZMQ_SUB);
        int linger = 0;
        zmq_setsockopt(m_sub, ZMQ_LINGER, &linger, sizeof linger);
        if (rcvbuf > 0) zmq_setsockopt(m_sub, ZMQ_RCVBUF, &rcvbuf, sizeof rcvbuf);
        zmq_setsockopt(m_sub, ZMQ_SUBSCRIBE, "", 0);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
        m_ok = zmq_connect(m_sub, endpoint.c_str()) == 0;
        if (m_ok && kind != SubKind::Idle) m_thread = std::thread([this] { Run(); });
    }
    ~ZmqSub() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        zmq_close(m_sub);
        zmq_ctx_term(m_ctx);
    }
    bool ok() const { return m_ok; }
    uint64_t Messages() const { return m_messages.load(); }
    const FrameLog& Frames() const { return m_frames; }
    const LatencyLog& Latency() const { return m_latency; }

private:
    void Run() {
        std::vector<unsigned char> inflated;
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        while (!m_stop.load()) {
            zmq_pollitem_t item{m_sub, 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, 50) <= 0) continue;
            for (int i = 0; i < 4096; ++i) {
                if (zmq_msg_recv(&msg, m_sub, ZMQ_DONTWAIT) < 0) break;
                Handle(static_cast<const unsigned char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg), inflated);
            }
        }
        zmq_msg_close(&msg);
    }

    void Handle(const unsigned char* p, size_t n, std::vector<unsigned char>& inflated) {
        m_messages.fetch_add(1, std::memory_order_relaxed);
        switch (m_kind) {
            case SubKind::Images:
                if (n >= kImageMsgHeader) m_frames.Add(NowNanos(), static_cast<uint32_t>(GetLE32(p + 8)));
                break;
            case SubKind::LogLatency:
                if (n == static_cast<size_t>(kLogLineBytes)) {
                    const uint64_t now = NowNanos();
                    const uint64_t stamp = ParseStamp(reinterpret_cast<const char*>(p));
                    if (stamp > 0 && stamp <= now) m_latency.Add(now - stamp, now);
                }
                break;
            case SubKind::ImageLatency: {
                if (n < kImageMsgHeader) break;
                const uint32_t raw = static_cast<uint32_t>(GetLE32(p + 8));
                inflated.resize(raw);
                uLongf out = raw;
                if (uncompress(inflated.data(), &out, p + kImageMsgHeader, static_cast<uLong>(n - kImageMsgHeader)) !=
                        Z_OK ||
                    out != raw)
                    break;
                const uint64_t now = NowNanos();
                const uint64_t stamp = GetU64(p);
                if (stamp > 0 && stamp <= now) m_latency.Add(now - stamp, now);
                break;
            }
            default:
                break;
        }
    }

    SubKind m_kind;
    void* m_ctx = nullptr;
    void* m_sub = nullptr;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_messages{0};
    FrameLog m_frames;
    LatencyLog m_latency;
    std::thread m_thread;
};

std::vector<std::unique_ptr<ZmqSub>> Subscribe(int port, int count, SubKind kind, int rcvbuf = 0) {
    std::vector<std::unique_ptr<ZmqSub>> subs;
    for (int i = 0; i < count; ++i) {
        subs.push_back(std::make_unique<ZmqSub>(port, kind, rcvbuf));
        if (!subs.back()->ok()) return {};
    }
    // PUB/SUB drops what is published before a subscription has arrived.
    SleepSeconds(0.2);
    return subs;
}

void Report(const std::string& what, double value, const char* unit) {
    std::fprintf(stderr, "  %-52s %12.2f %s\n", what.c_str(), value, unit);
}

}  // namespace

std::unique_ptr<Sender> MakeZmqSender(const WorkloadArgs& args) { return std::make_unique<ZmqSender>(args); }

void MeasureZmqImages(const FrameShape& shape, int viewers, const Timing& t, Results& results) {
    const bool big = shape.channels == 3;
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"images", shape, 0}, port)) return;
    auto subs = Subscribe(port, viewers, SubKind::Images);
    if (subs.empty()) return;
    std::string reply;
    pub.Ask("go", reply);
    SleepSeconds(big ? t.bigWarmup : t.warmup);
    const uint64_t t0 = NowNanos();
    const uint64_t t1 = WaitWindow(t0, big ? t.bigWindow : t.imageWindow, [&](uint64_t now) {
        for (auto& s : subs)
            if (s->Frames().Count(t0, now) < 8) return false;
        return true;
    });
    double rate = -1;
    for (auto& s : subs) rate = rate < 0 ? s->Frames().Rate(t0, t1) : std::min(rate, s->Frames().Rate(t0, t1));
    subs.clear();
    pub.Stop();
    const std::string label = "ZeroMQ " + shape.Name() + ", " + std::to_string(viewers) + " viewer(s)";
    if (rate <= 0) {
        std::fprintf(stderr, "travik-bench: %s: too few messages in the window\n", label.c_str());
        return;
    }
    const double ips = rate / static_cast<double>(shape.Bytes());
    const std::string key = "img.zmq." + ShapeKey(shape) + ".v" + std::to_string(viewers);
    results.Set(key + ".ips", ips);
    results.Set(key + ".mbps", rate / 1e6);
    Report(label, rate / 1e6, "MB/s");
}

void MeasureZmqLogs(int viewers, int perSecond, const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"logs", {}, perSecond}, port)) return;
    auto subs = Subscribe(port, viewers, SubKind::Logs);
    if (subs.empty()) return;
    std::string reply;
    pub.Ask("go", reply);
    SleepSeconds(t.warmup);
    const LogWindow w = MeasureLogWindow(pub, t.logWindow, [&] {
        std::vector<uint64_t> counts;
        for (auto& sub : subs) counts.push_back(sub->Messages());
        return counts;
    });
    const double minRate = w.minRate;
    subs.clear();
    pub.Stop();
    if (minRate <= 0) return;
    const std::string key = LogKey("zmq", viewers, perSecond);
    results.Set(key + ".lps", minRate);
    if (w.offered > 0)
        results.Set(key + ".offered_lps", static_cast<double>(w.offered) * 1e9 / static_cast<double>(w.t1 - w.t0));
    Report("ZeroMQ log lines/s, " + std::to_string(viewers) + " viewer(s)" + (perSecond > 0 ? ", paced" : ""), minRate,
           "lines/s");
}

void MeasureZmqLogLatency(const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"loglat", {}, 1000}, port)) return;
    auto subs = Subscribe(port, 1, SubKind::LogLatency);
    if (subs.empty()) return;
    std::string reply;
    pub.Ask("go", reply);
    SleepSeconds(t.warmup);
    const uint64_t t0 = NowNanos();
    SleepSeconds(t.latencyWindow);
    const uint64_t t1 = NowNanos();
    const LatencyLog& lat = subs[0]->Latency();
    const bool any = lat.Count(t0, t1) > 0;
    const double p50 = lat.Percentile(50, t0, t1);
    const double p99 = lat.Percentile(99, t0, t1);
    subs.clear();
    pub.Stop();
    if (!any) return;
    results.Set("loglat.zmq.p50us", p50 / 1e3);
    results.Set("loglat.zmq.p99us", p99 / 1e3);
    Report("ZeroMQ log latency p50", p50 / 1e3, "us");
}

void MeasureZmqImageLatency(const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"imglat", {640, 480, 1}, 30}, port)) return;
    auto subs = Subscribe(port, 1, SubKind::ImageLatency);
    if (subs.empty()) return;
    std::string reply;
    pub.Ask("go", reply);
    SleepSeconds(std::max(t.warmup, 0.3));
    const uint64_t t0 = NowNanos();
    SleepSeconds(t.latencyWindow);
    const uint64_t t1 = NowNanos();
    const LatencyLog& lat = subs[0]->Latency();
    const bool any = lat.Count(t0, t1) > 0;
    const double p50 = lat.Percentile(50, t0, t1);
    const double p99 = lat.Percentile(99, t0, t1);
    subs.clear();
    pub.Stop();
    if (!any) return;
    results.Set("imglat.zmq.p50ms", p50 / 1e6);
    results.Set("imglat.zmq.p99ms", p99 / 1e6);
    Report("ZeroMQ image latency p50", p50 / 1e6, "ms");
}

void MeasureZmqIdle(const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"idle", {}, 0}, port)) return;
    auto subs = Subscribe(port, 1, SubKind::Idle);
    if (subs.empty()) return;
    SleepSeconds(0.2);
    std::string a;
    std::string b;
    long long cpu0 = 0;
    long long cpu1 = 0;
    pub.Ask("cpu", a);
    const uint64_t t0 = NowNanos();
    SleepSeconds(t.idleWindow);
    pub.Ask("cpu", b);
    const uint64_t t1 = NowNanos();
    subs.clear();
    pub.Stop();
    if (!ParseReply(a, "cpu", cpu0) || !ParseReply(b, "cpu", cpu1)) return;
    const double pct = 100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0);
    results.Set("idle.zmq.cpu_pct", pct);
    Report("ZeroMQ idle PUB CPU", pct, "% of a core");
}

void MeasureZmqStall(const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"stall", {640, 480, 1}, 0}, port)) return;
    auto subs = Subscribe(port, 1, SubKind::Idle, 4096);
    if (subs.empty()) return;
    const long long base = ProcessRss(pub.pid());
    std::string reply;
    pub.Ask("go", reply);
    long long peak = base;
    const uint64_t end = NowNanos() + static_cast<uint64_t>(t.stallWindow * 1e9);
    while (NowNanos() < end) {
        SleepSeconds(0.05);
        peak = std::max(peak, ProcessRss(pub.pid()));
    }
    subs.clear();
    pub.Stop();
    results.Set("stall.zmq.rss_base_mb", static_cast<double>(base) / 1e6);
    results.Set("stall.zmq.rss_peak_mb", static_cast<double>(peak) / 1e6);
    results.Set("stall.zmq.growth_mb", static_cast<double>(peak - base) / 1e6);
    Report("ZeroMQ PUB RSS growth, stalled SUB", static_cast<double>(peak - base) / 1e6, "MB");
}

}  // namespace travik_bench
