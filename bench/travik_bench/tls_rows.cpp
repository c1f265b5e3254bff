#include "travik_bench/tls_rows.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/loopback.h"
#include "travik/travik.h"
#include "travik_bench/child_process.h"
#include "travik_bench/travik_workloads.h"

namespace travik_bench {

namespace {

bool Openssl(const std::string& args) { return std::system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0; }

char kLoopback[] = "127.0.0.1";

TravikTls ViewerTls(const BenchPki& pki) {
    return {pki.dir() + "/viewer.pem", pki.dir() + "/viewer.key", pki.dir() + "/ca.pem", ""};
}

// Library viewers counting the image bytes their callback receives.
class CountingViewers {
public:
    explicit CountingViewers(size_t n) : m_bytes(n) {
        for (auto& b : m_bytes) b = 0;
    }
    ~CountingViewers() {
        for (auto& v : m_viewers) v->Release();
    }
    bool Connect(int port, const BenchPki* pki) {
        for (size_t i = 0; i < m_bytes.size(); ++i) {
            m_viewers.push_back(std::make_unique<TravikMgr>());
            TravikMgr& v = *m_viewers.back();
            if (pki && v.SetTls(ViewerTls(*pki)) != 0) return false;
            if (v.Connect(kLoopback, port) != 0) return false;
            std::atomic<unsigned long long>* count = &m_bytes[i];
            v.SetImageCb(
                [count](int, int, int, int, int, std::shared_ptr<unsigned char>&, int len, unsigned long long) {
                    count->fetch_add(static_cast<unsigned long long>(len), std::memory_order_relaxed);
                });
            int on[4] = {1, 1, 1, 1};
            v.SendCmd(0, 1, on, 1);
        }
        return true;
    }
    unsigned long long MinBytes() const {
        unsigned long long least = ~0ull;
        for (const auto& b : m_bytes) least = std::min(least, b.load());
        return m_bytes.empty() ? 0 : least;
    }

private:
    std::vector<std::atomic<unsigned long long>> m_bytes;
    std::vector<std::unique_ptr<TravikMgr>> m_viewers;
};

}  // namespace

BenchPki::BenchPki() {
    char tmpl[] = "/tmp/travik-bench-tls-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    m_dir = tmpl;
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 ";
    const std::string ca = " -CA " + m_dir + "/ca.pem -CAkey " + m_dir + "/ca.key ";
    m_ok = Openssl("req -x509" + ec + "-subj /CN=bench-ca -keyout " + m_dir + "/ca.key -out " + m_dir + "/ca.pem") &&
           Openssl("req -x509" + ec + ca + "-subj /CN=device -addext subjectAltName=IP:127.0.0.1 -keyout " + m_dir +
                   "/device.key -out " + m_dir + "/device.pem") &&
           Openssl("req -x509" + ec + ca + "-subj /CN=viewer -keyout " + m_dir + "/viewer.key -out " + m_dir +
                   "/viewer.pem");
}

BenchPki::~BenchPki() {
    std::error_code ec;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

void MeasureTlsImages(const FrameShape& shape, int viewers, const BenchPki* pki, const Timing& t, Results& results) {
    ChildProcess device;
    WorkloadArgs args{"images", shape, 0};
    if (pki) args.tlsDir = pki->dir();
    int port = 0;
    if (!StartSender(device, "travik", args, port)) return;
    CountingViewers v(static_cast<size_t>(viewers));
    const std::string label =
        std::string(pki ? "TLS" : "plain") + " " + shape.Name() + ", " + std::to_string(viewers) + " viewer(s)";
    if (!v.Connect(port, pki)) {
        std::fprintf(stderr, "travik-bench: %s: viewers could not connect\n", label.c_str());
        return;
    }
    std::string reply;
    SleepSeconds(0.1);
    device.Ask("go", reply);
    SleepSeconds(t.warmup);
    const unsigned long long b0 = v.MinBytes();
    const uint64_t t0 = NowNanos();
    SleepSeconds(t.imageWindow);
    const double seconds = static_cast<double>(NowNanos() - t0) / 1e9;
    const double mbps = static_cast<double>(v.MinBytes() - b0) / seconds / 1e6;
    device.Stop();
    results.Set("tls.img." + ShapeKey(shape) + ".v" + std::to_string(viewers) + (pki ? ".tls" : ".plain") + ".mbps",
                mbps);
    std::fprintf(stderr, "  %-52s %12.2f MB/s\n", label.c_str(), mbps);
}

void MeasureTlsConnects(const BenchPki* pki, const Timing& t, Results& results) {
    ChildProcess device;
    WorkloadArgs args{"idle", {}, 0};
    if (pki) args.tlsDir = pki->dir();
    int port = 0;
    if (!StartSender(device, "travik", args, port)) return;
    // Each connect is a new viewer: its loop thread, TCP, the handshake
    // (both certificates checked), then Release.
    int made = 0;
    const uint64_t t0 = NowNanos();
    while (NowNanos() - t0 < static_cast<uint64_t>(t.imageWindow * 1e9)) {
        TravikMgr viewer;
        if (pki && viewer.SetTls(ViewerTls(*pki)) != 0) break;
        if (viewer.Connect(kLoopback, port) != 0) break;
        ++made;
        viewer.Release();
    }
    const double perSecond = made / (static_cast<double>(NowNanos() - t0) / 1e9);
    device.Stop();
    results.Set(std::string("tls.connects.") + (pki ? "tls" : "plain") + ".per_s", perSecond);
    std::fprintf(stderr, "  %-52s %12.2f /s\n", pki ? "TLS connects (handshake included)" : "plain connects",
                 perSecond);
}

}  // namespace travik_bench
