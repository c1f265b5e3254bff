#include "travik_bench/compressor_limit.h"

#include <zlib.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "common/loopback.h"
#include "travik_bench/child_process.h"
#include "travik_bench/travik_workloads.h"

#if defined(TRAVIK_BENCH_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace travik_bench {
namespace {
uint64_t ThreadCpuNanos() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

bool HaveCodec(const std::string& codec) {
#if defined(TRAVIK_BENCH_HAVE_LIBDEFLATE)
    if (codec == "libdeflate") return true;
#endif
    return codec == "zlib";
}

bool MeasureCompressorLimit(const FrameShape& shape, const std::string& codec, double window, int minPasses,
                            Results& results) {
    if (!HaveCodec(codec)) return false;
    // Three passes of four channels each, from six distinct frames, as the
    // device's producer rotates them.
    std::vector<std::vector<unsigned char>> frames;
    for (uint32_t seed = 1; seed <= static_cast<uint32_t>(kDistinctFrames); ++seed)
        frames.push_back(MakeCameraFrame(shape, seed));
    std::vector<std::vector<unsigned char>> passes;
    for (size_t p = 0; p < 3; ++p) {
        std::vector<const std::vector<unsigned char>*> four;
        for (size_t ch = 0; ch < 4; ++ch) four.push_back(&frames[(p * 4 + ch) % frames.size()]);
        passes.push_back(BuildRecordSequence(four, shape, p));
    }
    const size_t rawLen = passes[0].size();
    std::vector<unsigned char> out(compressBound(static_cast<uLong>(rawLen)) + 1024);

    std::function<size_t(const std::vector<unsigned char>&)> compress;
#if defined(TRAVIK_BENCH_HAVE_LIBDEFLATE)
    // One compressor kept for the whole run, as the library keeps one per
    // thread.
    std::shared_ptr<libdeflate_compressor> ld(libdeflate_alloc_compressor(6), libdeflate_free_compressor);
    if (codec == "libdeflate") {
        if (!ld) return false;
        compress = [&](const std::vector<unsigned char>& in) {
            return libdeflate_zlib_compress(ld.get(), in.data(), in.size(), out.data(), out.size());
        };
    }
#endif
    if (!compress) {
        compress = [&](const std::vector<unsigned char>& in) -> size_t {
            uLongf n = static_cast<uLongf>(out.size());
            return compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), 6) == Z_OK ? n : 0;
        };
    }

    uint64_t passesDone = 0;
    uint64_t compressed = 0;
    const uint64_t start = NowNanos();
    const uint64_t cpuStart = ThreadCpuNanos();
    uint64_t elapsed = 0;
    // At least `minPasses` passes and `window` seconds; bounded in time.
    while ((elapsed < static_cast<uint64_t>(window * 1e9) || passesDone < static_cast<uint64_t>(minPasses)) &&
           elapsed < static_cast<uint64_t>(10 * window * 1e9) + 30000000000ull) {
        const size_t n = compress(passes[passesDone % passes.size()]);
        if (n == 0) return false;
        compressed += n;
        ++passesDone;
        elapsed = NowNanos() - start;
    }
    const double seconds = static_cast<double>(elapsed) / 1e9;
    // How much of its CPU the loop got: what to set against the send
    // thread's busy share when a ratio comes out invalid.
    const double cpuShare = static_cast<double>(ThreadCpuNanos() - cpuStart) / static_cast<double>(elapsed);
    const double ips = static_cast<double>(passesDone * 4) / seconds;
    const std::string key = "limit." + codec + "." + ShapeKey(shape);
    results.Set(key + ".ips", ips);
    results.Set(key + ".mbps", ips * static_cast<double>(shape.Bytes()) / 1e6);
    results.Set(key + ".ratio", static_cast<double>(rawLen * passesDone) / static_cast<double>(compressed));
    results.Set(key + ".cpu_pct", 100.0 * cpuShare);
    std::fprintf(stderr, "  %-52s %12.2f MB/s\n", (codec + " limit " + shape.Name()).c_str(),
                 ips * static_cast<double>(shape.Bytes()) / 1e6);
    return true;
}

namespace {

// Child side of MeasureCompressorLimitPinned: pins itself in Setup, measures
// on "limit" and answers "limit IPS MBPS RATIO".
class LimitChild : public Sender {
public:
    explicit LimitChild(const WorkloadArgs& args) : m_args(args) {}
    int Setup() override { return PinThread(0, m_args.pinCpu) ? 0 : -1; }
    void Produce(const std::atomic<bool>&) override {}
    std::string Query(const std::string& cmd) override {
        if (cmd != "limit") return std::string();
        Results r;
        if (!MeasureCompressorLimit(m_args.shape, m_args.codec, m_args.windowMs / 1000.0, std::max(1, m_args.rate), r))
            return "error limit";
        const std::string key = "limit." + m_args.codec + "." + ShapeKey(m_args.shape);
        char buf[200];
        std::snprintf(buf, sizeof buf, "limit %.6g %.6g %.6g %.6g", r.Get(key + ".ips"), r.Get(key + ".mbps"),
                      r.Get(key + ".ratio"), r.Get(key + ".cpu_pct"));
        return buf;
    }
    void Teardown() override {}

private:
    WorkloadArgs m_args;
};

}  // namespace

std::unique_ptr<Sender> MakeLimitSender(const WorkloadArgs& args) { return std::make_unique<LimitChild>(args); }

bool MeasureCompressorLimitPinned(const FrameShape& shape, const std::string& codec, int pinCpu, double window,
                                  int minPasses, Results& results) {
    WorkloadArgs args{"limit", shape, minPasses};
    args.codec = codec;
    args.pinCpu = pinCpu;
    args.windowMs = static_cast<int>(window * 1000);
    ChildProcess child;
    int unused = 0;
    if (!StartSender(child, "limit", args, unused)) return false;
    std::string reply;
    // A 1920x1080 RGB pass takes most of a second with zlib.
    const bool ok = child.Ask("limit", reply, static_cast<int>(window * 10000) + 60000);
    child.Stop();
    double ips = 0;
    double mbps = 0;
    double ratio = 0;
    double cpuPct = 0;
    if (!ok || std::sscanf(reply.c_str(), "limit %lf %lf %lf %lf", &ips, &mbps, &ratio, &cpuPct) != 4) {
        std::fprintf(stderr, "travik-bench: compressor limit child failed: %s\n", reply.c_str());
        return false;
    }
    const std::string key = "limit." + codec + "." + ShapeKey(shape);
    results.Set(key + ".ips", ips);
    results.Set(key + ".mbps", mbps);
    results.Set(key + ".ratio", ratio);
    results.Set(key + ".cpu_pct", cpuPct);
    return true;
}

}  // namespace travik_bench
