#include "travik_bench/zmq_baseline.h"

#include <zlib.h>
#include <zmq.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/loopback.h"
#include "travik_bench/child_process.h"
#include "travik_bench/travik_workloads.h"
#include "travik_bench/zmq_messages.h"

namespace travik_bench {
namespace {

// SUB side (this process): one context and one receiving thread per SUB, as
// separate viewer programs would have.
enum class SubKind { Plain, Lines, LogLatency, Images, ImageLatency, Idle };

class ZmqSub {
public:
    ZmqSub(int port, SubKind kind) : m_kind(kind) {
        m_ctx = zmq_ctx_new();
        m_sub = zmq_socket(m_ctx, ZMQ_SUB);
        int linger = 0;
        zmq_setsockopt(m_sub, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(m_sub, ZMQ_SUBSCRIBE, "", 0);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
        m_ok = zmq_connect(m_sub, endpoint.c_str()) == 0;
        if (m_ok && kind == SubKind::Plain) {
            m_thread = std::thread([this] { RunPlain(); });
        } else if (m_ok && kind != SubKind::Idle) {
            m_thread = std::thread([this] { Run(); });
        }
    }
    ~ZmqSub() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        zmq_close(m_sub);
        zmq_ctx_term(m_ctx);
    }
    bool ok() const { return m_ok; }
    ReceiverCount Count() const { return {m_counter.lines.load(), m_counter.messages.load()}; }
    const FrameLog& Frames() const { return m_frames; }
    const LatencyLog& Latency() const { return m_latency; }

private:
    // The setup check: the simplest receive loop there is.
    void RunPlain() {
        int timeoutMs = 50;
        zmq_setsockopt(m_sub, ZMQ_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
        char buf[256];
        while (!m_stop.load()) {
            const int n = zmq_recv(m_sub, buf, sizeof buf, 0);
            if (n < 0) continue;
            m_counter.messages.fetch_add(1, std::memory_order_relaxed);
            if (n == kLogLineBytes) m_counter.lines.fetch_add(1, std::memory_order_relaxed);
        }
    }

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
        const char* text = reinterpret_cast<const char*>(p);
        switch (m_kind) {
            case SubKind::Lines:
                m_counter.Add(text, n);
                break;
            case SubKind::LogLatency: {
                const uint64_t now = NowNanos();
                m_counter.Add(text, n);
                SplitLines(text, n, [&](const char* line, size_t len) {
                    const uint64_t stamp = LineStamp(line, len);
                    if (stamp > 0 && stamp <= now) m_latency.Add(now - stamp, now);
                });
                break;
            }
            case SubKind::Images:
                if (n >= kImageMsgHeader) m_frames.Add(NowNanos(), static_cast<uint32_t>(GetLE32(p + 8)));
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
    LineCounter m_counter;
    FrameLog m_frames;
    LatencyLog m_latency;
    std::thread m_thread;
};

std::vector<std::unique_ptr<ZmqSub>> Subscribe(int port, int count, SubKind kind) {
    std::vector<std::unique_ptr<ZmqSub>> subs;
    for (int i = 0; i < count; ++i) {
        subs.push_back(std::make_unique<ZmqSub>(port, kind));
        if (!subs.back()->ok()) return {};
    }
    // PUB/SUB drops what is published before a subscription has arrived
    // (the log rows make sure with a probe message instead).
    SleepSeconds(0.2);
    return subs;
}

void Report(const std::string& what, double value, const char* unit) {
    std::fprintf(stderr, "  %-60s %12.2f %s\n", what.c_str(), value, unit);
}

std::function<std::vector<ReceiverCount>()> CountsOf(const std::vector<std::unique_ptr<ZmqSub>>& subs) {
    return [&subs] {
        std::vector<ReceiverCount> c;
        for (const auto& s : subs) c.push_back(s->Count());
        return c;
    };
}

}  // namespace

void MeasureZmqImages(const FrameShape& shape, int viewers, int pinCpu, const Timing& t, Results& results) {
    const bool big = shape.channels == 3;
    ChildProcess pub;
    int port = 0;
    WorkloadArgs args{"images", shape, 0};
    args.pinCpu = pinCpu;
    if (!StartSender(pub, "zmq", args, port)) return;
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
    const std::string key = "img.zmq." + ShapeKey(shape) + ".v" + std::to_string(viewers);
    results.Set(key + ".ips", rate / static_cast<double>(shape.Bytes()));
    results.Set(key + ".mbps", rate / 1e6);
    Report(label, rate / 1e6, "MB/s");
}

void MeasureZmqLogs(int viewers, const LogProducer& producer, const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    WorkloadArgs args{"logs", {}, producer.perSecond};
    args.batched = producer.batched;
    args.lossless = producer.lossless;
    if (!StartSender(pub, "zmq", args, port)) return;
    auto subs = Subscribe(port, viewers, SubKind::Lines);
    if (subs.empty()) return;
    const LogRow row = RunLogRow(pub, t, CountsOf(subs), true);
    subs.clear();
    pub.Stop();
    if (!row.ok) return;
    const std::string key = LogKey("zmq", viewers, producer);
    StoreLogRow(key, row, -1, results);
    Report(key + " lines/s", row.minRate, "lines/s");
}

void MeasureZmqPlainPubSub(bool nodrop, const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    WorkloadArgs args{"logs", {}, 0};
    args.lossless = nodrop;
    if (!StartSender(pub, "zmq", args, port)) return;
    auto subs = Subscribe(port, 1, SubKind::Plain);
    if (subs.empty()) return;
    const LogRow row = RunLogRow(pub, t, CountsOf(subs), true);
    subs.clear();
    pub.Stop();
    if (!row.ok) return;
    StoreLogRow(nodrop ? "pubsub.zmq.nodrop" : "pubsub.zmq.plain", row, -1, results);
    Report(nodrop ? "ZeroMQ PUB/SUB, NODROP, 100-byte messages" : "ZeroMQ plain PUB/SUB, 100-byte messages",
           row.minRate, "msgs/s");
}

void MeasureZmqLogLatency(bool batched, const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    WorkloadArgs args{"loglat", {}, 1000};
    args.batched = batched;
    if (!StartSender(pub, "zmq", args, port)) return;
    auto subs = Subscribe(port, 1, SubKind::LogLatency);
    if (subs.empty()) return;
    const LatencyFigures f = LatencyOver(pub, subs[0]->Latency(), t.warmup, t.latencyWindow);
    subs.clear();
    pub.Stop();
    if (!f.any) return;
    const std::string key = std::string("loglat.zmq.") + (batched ? "batch" : "line");
    results.Set(key + ".p50us", f.p50 / 1e3);
    results.Set(key + ".p99us", f.p99 / 1e3);
    Report(key + " p50", f.p50 / 1e3, "us");
}

void MeasureZmqImageLatency(const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"imglat", {640, 480, 1}, 30}, port)) return;
    auto subs = Subscribe(port, 1, SubKind::ImageLatency);
    if (subs.empty()) return;
    const LatencyFigures f = LatencyOver(pub, subs[0]->Latency(), std::max(t.warmup, 0.3), t.latencyWindow);
    subs.clear();
    pub.Stop();
    if (!f.any) return;
    results.Set("imglat.zmq.p50ms", f.p50 / 1e6);
    results.Set("imglat.zmq.p99ms", f.p99 / 1e6);
    Report("ZeroMQ image latency p50", f.p50 / 1e6, "ms");
}

void MeasureZmqIdle(const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"idle", {}, 0}, port)) return;
    auto subs = Subscribe(port, 1, SubKind::Idle);
    if (subs.empty()) return;
    SleepSeconds(0.2);
    double pct = 0;
    const bool measured = CpuShareOver(pub, t.idleWindow, pct);
    subs.clear();
    pub.Stop();
    if (!measured) return;
    results.Set("idle.zmq.cpu_pct", pct);
    Report("ZeroMQ idle PUB CPU", pct, "% of a core");
}

void MeasureZmqStall(const Timing& t, Results& results) {
    ChildProcess pub;
    int port = 0;
    if (!StartSender(pub, "zmq", WorkloadArgs{"stall", {640, 480, 1}, 0}, port)) return;
    ChildProcess sub;
    WorkloadArgs subArgs{"sub", {}, 0};
    subArgs.port = port;
    int unused = 0;
    if (!StartSender(sub, "zmq", subArgs, unused)) return;
    SleepSeconds(0.3);
    const long long pubBase = ProcessRss(pub.pid());
    const long long subBase = ProcessRss(sub.pid());
    std::string reply;
    pub.Ask("go", reply);
    long long pubPeak = pubBase;
    long long subPeak = subBase;
    const uint64_t end = NowNanos() + static_cast<uint64_t>(t.stallWindow * 1e9);
    while (NowNanos() < end) {
        SleepSeconds(0.05);
        pubPeak = std::max(pubPeak, ProcessRss(pub.pid()));
        subPeak = std::max(subPeak, ProcessRss(sub.pid()));
    }
    long long sndhwm = 0;
    long long rcvhwm = 0;
    long long msgBytes = 0;
    if (pub.Ask("limits", reply) && reply.compare(0, 7, "limits ") == 0) {
        char* rest = nullptr;
        sndhwm = std::strtoll(reply.c_str() + 7, &rest, 10);
        msgBytes = rest ? std::strtoll(rest, nullptr, 10) : 0;
    }
    sub.Ask("limits", reply);
    ParseReply(reply, "limits", rcvhwm);
    sub.Stop();
    pub.Stop();
    const double mib = 1024.0 * 1024.0;
    results.Set("stall.zmq.rss_base_mib", static_cast<double>(pubBase) / mib);
    results.Set("stall.zmq.rss_peak_mib", static_cast<double>(pubPeak) / mib);
    results.Set("stall.zmq.growth_mib", static_cast<double>(pubPeak - pubBase) / mib);
    results.Set("stall.zmqsub.rss_base_mib", static_cast<double>(subBase) / mib);
    results.Set("stall.zmqsub.rss_peak_mib", static_cast<double>(subPeak) / mib);
    results.Set("stall.zmqsub.growth_mib", static_cast<double>(subPeak - subBase) / mib);
    results.Set("stall.zmq.sndhwm", static_cast<double>(sndhwm));
    results.Set("stall.zmq.rcvhwm", static_cast<double>(rcvhwm));
    results.Set("stall.zmq.image_msg_bytes", static_cast<double>(msgBytes));
    Report("ZeroMQ PUB RSS growth, stalled SUB", static_cast<double>(pubPeak - pubBase) / mib, "MiB");
    Report("ZeroMQ stalled SUB RSS growth", static_cast<double>(subPeak - subBase) / mib, "MiB");
}

}  // namespace travik_bench
