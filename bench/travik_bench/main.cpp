// travik-bench: one run on loopback that measures travik's image and log
// pipelines beside the compressor's own limit, ZeroMQ PUB/SUB and plain TCP,
// and writes the figures as a markdown table.
//
//   travik-bench [--quick] [--smoke] [--out FILE] [--tsv FILE]
//                [--sections LIST] [--command TEXT]
//   travik-bench --merge A.tsv B.tsv ... [--out FILE]
//
// --quick shortens every window, takes two rounds of image rows instead of
// five and leaves out 1920x1080 RGB and the 8-viewer ZeroMQ rows; --smoke
// measures one row of each kind in a few seconds and fails when any of them
// delivered nothing. --sections picks from limits,images,logs,imglat,idle,
// stall,zmq,tcp,tls (default: all); zmq and tcp add the baselines to the travik
// rows picked. --log-rate N (default 500000, 0 for none) adds 8-viewer log
// rows whose producer is paced at N lines/s. --log-rows TEXT measures only the
// log throughput rows whose key (log.SYSTEM.batch.lossless.v8) contains TEXT,
// with no latency or setup rows: for profiling one row. --pin-cpu N pins the device's
// compressing thread and the compressor-limit child to CPU N (default: the
// last CPU; -1: no pinning). --tsv keeps the raw figures so that runs of the
// zlib and the libdeflate build can be merged into one table
// (bench/run_all.sh).
#include <fcntl.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/synthetic_frames.h"
#include "travik_bench/compressor_limit.h"
#include "travik_bench/log_rows.h"
#include "travik_bench/results.h"
#include "travik_bench/rounds.h"
#include "travik_bench/tcp_baseline.h"
#include "travik_bench/tls_rows.h"
#include "travik_bench/travik_workloads.h"
#include "travik_bench/workload.h"
#include "travik_bench/zmq_baseline.h"

#ifndef TRAVIK_BENCH_CODEC
#define TRAVIK_BENCH_CODEC "zlib"
#endif

using namespace travik_bench;

namespace {

struct Options {
    bool quick = false;
    bool smoke = false;
    std::string out = "bench-results.md";
    std::string tsv;
    std::string command;
    std::set<std::string> sections = {"limits", "images", "logs", "imglat", "idle", "stall", "zmq", "tcp", "tls"};
    std::vector<std::string> merge;
    int logRate = 500000;
    std::string logRows;  // empty: every log row
    int pinCpu = -2;      // -2: the last CPU when there are several
};

void Usage() {
    std::fprintf(stderr,
                 "usage: travik-bench [--quick] [--smoke] [--out FILE] [--tsv FILE] [--sections LIST] "
                 "[--command TEXT] [--log-rate N] [--log-rows TEXT] [--pin-cpu N]\n"
                 "       travik-bench --merge A.tsv B.tsv ... [--out FILE]\n"
                 "sections: limits,images,logs,imglat,idle,stall,zmq,tcp,tls (default: all)\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (a == "--quick") {
            o.quick = true;
        } else if (a == "--smoke") {
            o.smoke = true;
        } else if (a == "--out") {
            if (!value(o.out)) return false;
        } else if (a == "--tsv") {
            if (!value(o.tsv)) return false;
        } else if (a == "--command") {
            if (!value(o.command)) return false;
        } else if (a == "--sections") {
            std::string list;
            if (!value(list)) return false;
            o.sections.clear();
            std::stringstream ss(list);
            std::string item;
            while (std::getline(ss, item, ',')) o.sections.insert(item);
        } else if (a == "--log-rate") {
            std::string n;
            if (!value(n)) return false;
            o.logRate = std::atoi(n.c_str());
        } else if (a == "--log-rows") {
            if (!value(o.logRows)) return false;
        } else if (a == "--pin-cpu") {
            std::string n;
            if (!value(n)) return false;
            o.pinCpu = std::atoi(n.c_str());
            if (o.pinCpu < -1 || o.pinCpu >= sysconf(_SC_NPROCESSORS_ONLN)) return false;
        } else if (a == "--merge") {
            while (i + 1 < argc && argv[i + 1][0] != '-') o.merge.push_back(argv[++i]);
            if (o.merge.empty()) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string Machine() {
    std::string model;
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    utsname u{};
    uname(&u);
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores (nproc)" + (model.empty() ? "" : ", " + model) +
           ", Linux " + u.release;
}

std::string Now() {
    char buf[64];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
    return buf;
}

double Load1() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1.0;
}

std::string Fixed(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

int Merge(const Options& o) {
    Results merged;
    for (const std::string& path : o.merge) {
        Results r;
        if (!Results::ReadTsv(path, r)) {
            std::fprintf(stderr, "travik-bench: cannot read %s\n", path.c_str());
            return 1;
        }
        merged.Merge(r);
    }
    if (!o.command.empty()) merged.SetMeta("command", o.command);
    const std::string md = RenderMarkdown(merged);
    std::fputs(md.c_str(), stdout);
    if (!WriteFile(o.out, md)) {
        std::fprintf(stderr, "travik-bench: cannot write %s\n", o.out.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--child") {
        signal(SIGPIPE, SIG_IGN);
        return RunChild(std::vector<std::string>(argv + 2, argv + argc));
    }
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }
    if (!o.merge.empty()) return Merge(o);
    signal(SIGPIPE, SIG_IGN);

    const std::string codec = TRAVIK_BENCH_CODEC;
    Timing t{0.5, 2.0, 4.0, 1.0, 2.0, 4.0, 4.0, 8.0, 1.0, 5};
    if (o.quick) t = Timing{0.25, 0.6, 1.6, 0.9, 0.6, 0.8, 0.5, 1.0, 0.5, 2};
    if (o.smoke) t = Timing{0.2, 0.4, 1.6, 0.9, 0.4, 0.4, 0.3, 1.0, 0.2, 1};
    if (o.pinCpu == -2)
        o.pinCpu = sysconf(_SC_NPROCESSORS_ONLN) > 1 ? static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)) - 1 : -1;
    auto on = [&](const char* s) { return o.sections.count(s) > 0; };
    const bool zmq = on("zmq");
    const bool tcp = on("tcp");

    // The viewers in this process are library objects that print their
    // diagnostic lines to standard output; the table goes there at the end.
    std::fflush(stdout);
    const int savedStdout = dup(1);
    const int devnull = open("/dev/null", O_WRONLY);
    if (savedStdout >= 0 && devnull >= 0) dup2(devnull, 1);
    if (devnull >= 0) close(devnull);

    Results r;
    const double loadStart = Load1();
    r.SetMeta("machine", Machine());
    r.SetMeta("date", Now());
    r.SetMeta("codec", codec);
    r.SetMeta("mode", o.smoke ? "smoke" : (o.quick ? "quick" : "full"));
    r.SetMeta("pin_cpu", o.pinCpu < 0 ? "none" : std::to_string(o.pinCpu));
    if (o.command.empty()) {
        o.command = "travik-bench";
        for (int i = 1; i < argc; ++i) o.command += std::string(" ") + argv[i];
    }
    r.SetMeta("command", o.command);
    std::fprintf(stderr, "travik-bench: %s, library codec %s, %s mode, load %.2f\n", Machine().c_str(), codec.c_str(),
                 r.Meta("mode").c_str(), loadStart);

    std::vector<FrameShape> shapes = StandardShapes();
    // Each 1920x1080 RGB frame takes most of a second to compress with zlib;
    // a quick run leaves that shape out.
    if (o.quick) shapes.pop_back();
    if (o.smoke) shapes = {shapes[0]};
    std::vector<int> viewerCounts = {1, 8};
    if (o.smoke) viewerCounts = {1};

    if (on("limits") || on("images")) {
        // Rounds of: the compressor's limit (in a child pinned like the
        // send thread), then every pipeline row of the shape; medians and
        // ranges over the rounds, so that limit and pipeline alternate.
        const int minPasses = o.quick || o.smoke ? 1 : 3;
        for (const FrameShape& s : shapes) {
            const bool big = s.channels == 3;
            std::vector<std::string> codecs = {codec};
            if (zmq && on("images") && codec != "zlib") codecs.push_back("zlib");
            Rounds rounds;
            for (int round = 1; round <= t.imageRounds; ++round) {
                std::fprintf(stderr, "[images] %s, round %d of %d\n", s.Name().c_str(), round, t.imageRounds);
                Results one;
                for (const std::string& c : codecs)
                    MeasureCompressorLimitPinned(s, c, o.pinCpu, big ? 2 * t.limitWindow : t.limitWindow, minPasses,
                                                 one);
                if (on("images")) {
                    for (int v : viewerCounts) {
                        MeasureTravikImages(s, v, o.pinCpu, t, codec, one);
                        if (zmq && !(o.quick && v > 1)) MeasureZmqImages(s, v, o.pinCpu, t, one);
                    }
                }
                rounds.Add(one);
            }
            rounds.Store(r);
        }
        r.Set("img.rounds", t.imageRounds);
    }
    if (on("tls")) {
        // TLS against plain, with the same library viewers, on the first
        // frame shape; then full connects per second.
        std::fprintf(stderr, "[tls]\n");
        const BenchPki pki;
        if (!TravikMgr::TlsAvailable()) {
            std::fprintf(stderr, "travik-bench: the library was built without TLS\n");
        } else if (!pki.ok()) {
            std::fprintf(stderr, "travik-bench: the openssl command could not make the certificates\n");
        } else {
            for (int v : viewerCounts) {
                MeasureTlsImages(shapes[0], v, nullptr, t, r);
                MeasureTlsImages(shapes[0], v, &pki, t, r);
            }
            MeasureTlsConnects(nullptr, t, r);
            MeasureTlsConnects(&pki, t, r);
        }
    }
    if (on("logs")) {
        // Lossless rows (the producer waits until its line is taken), then
        // each system's behaviour when the producer runs flat out, then a
        // paced producer. A smoke run paces everything at 50,000 lines/s, so
        // that it does not depend on how a loaded machine copes.
        std::fprintf(stderr, "[logs]\n");
        auto picked = [&](int v, const LogProducer& p) {
            return LogKey("travik", v, p).find(o.logRows) != std::string::npos ||
                   LogKey("zmq", v, p).find(o.logRows) != std::string::npos;
        };
        const int smokeRate = 50000;
        if (o.smoke) r.Set("log.paced_rate", smokeRate);
        for (bool lossless : {true, false}) {
            if (o.smoke && !lossless) continue;
            for (int v : viewerCounts) {
                for (bool batched : {false, true}) {
                    LogProducer p;
                    p.batched = batched;
                    p.lossless = lossless;
                    p.perSecond = o.smoke ? smokeRate : 0;
                    if (!picked(v, p)) continue;
                    MeasureTravikLogs(v, p, t, r);
                    if (zmq && !(o.quick && v > 1)) MeasureZmqLogs(v, p, t, r);
                }
            }
        }
        LogProducer paced;
        paced.perSecond = o.logRate;
        if (!o.smoke && o.logRate > 0 && picked(8, paced)) {
            r.Set("log.paced_rate", o.logRate);
            MeasureTravikLogs(8, paced, t, r);
            if (zmq && !o.quick) MeasureZmqLogs(8, paced, t, r);
        }
    }
    if (on("logs") && o.logRows.empty()) {
        if (tcp && !o.smoke) MeasureTcpLogs(t, r);
        if (zmq) {
            MeasureZmqPlainPubSub(false, t, r);
            if (!o.smoke) MeasureZmqPlainPubSub(true, t, r);
        }
        std::fprintf(stderr, "[log latency]\n");
        MeasureTravikLogLatency(t, r);
        if (zmq && !o.smoke) {
            MeasureZmqLogLatency(false, t, r);
            MeasureZmqLogLatency(true, t, r);
        }
        if (tcp && !o.smoke) MeasureTcpLogLatency(t, r);
    }
    if (on("imglat") && !o.smoke) {
        std::fprintf(stderr, "[image latency]\n");
        MeasureTravikImageLatency(t, codec, r);
        if (zmq) MeasureZmqImageLatency(t, r);
    }
    if (on("idle")) {
        std::fprintf(stderr, "[idle device]\n");
        MeasureTravikIdle(t, r);
        if (zmq && !o.smoke) MeasureZmqIdle(t, r);
    }
    if (on("stall") && !o.smoke) {
        std::fprintf(stderr, "[stalled viewer]\n");
        MeasureTravikStall(t, r);
        if (zmq) MeasureZmqStall(t, r);
    }
    r.SetMeta("load", Fixed(loadStart) + " / " + Fixed(Load1()));
    std::fflush(stdout);
    if (savedStdout >= 0) {
        dup2(savedStdout, 1);
        close(savedStdout);
    }

    const std::string md = RenderMarkdown(r);
    std::fputs(md.c_str(), stdout);
    bool ok = WriteFile(o.out, md);
    if (!ok) std::fprintf(stderr, "travik-bench: cannot write %s\n", o.out.c_str());
    if (!o.tsv.empty() && !r.WriteTsv(o.tsv)) {
        std::fprintf(stderr, "travik-bench: cannot write %s\n", o.tsv.c_str());
        ok = false;
    }
    if (o.smoke) {
        std::vector<std::string> keys;
        const std::string s = ShapeKey(shapes[0]);
        if (on("limits") || on("images")) keys.push_back("limit." + codec + "." + s + ".mbps");
        if (on("images")) keys.push_back("img.travik." + codec + "." + s + ".v1.mbps");
        if (on("images") && zmq) keys.push_back("img.zmq." + s + ".v1.mbps");
        if (on("logs")) {
            keys.push_back("log.travik.line.paced.v1.lps");
            keys.push_back("log.travik.batch.paced.v1.lps");
            keys.push_back("loglat.travik.line.p50us");
        }
        if (on("logs") && zmq) {
            keys.push_back("log.zmq.line.paced.v1.lps");
            keys.push_back("log.zmq.batch.paced.v1.lps");
            keys.push_back("pubsub.zmq.plain.lps");
        }
        if (!SmokeValuesPresent(r, keys)) ok = false;
        // The smoke's log rows are lossless and paced well below what either
        // system takes: every accepted line must arrive, at every viewer.
        for (const std::string& k : keys) {
            if (k.compare(0, 4, "log.") != 0) continue;
            const std::string base = k.substr(0, k.size() - 4);  // without ".lps"
            if (r.Has(base + ".lost") && r.Get(base + ".lost") != 0) {
                std::fprintf(stderr, "smoke: %s lost %.0f of %.0f lines\n", base.c_str(), r.Get(base + ".lost"),
                             r.Get(base + ".accepted"));
                ok = false;
            }
        }
        if (on("idle") && !r.Has("idle.travik.cpu_pct")) {
            std::fprintf(stderr, "smoke: idle CPU was not measured\n");
            ok = false;
        }
        std::fprintf(stderr, "smoke: %s\n", ok ? "all rows measured" : "FAILED");
    }
    return ok ? 0 : 1;
}
