#include "travik_bench/results.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/synthetic_frames.h"

namespace travik_bench {

double Results::Get(const std::string& key) const {
    auto it = m_values.find(key);
    return it == m_values.end() ? 0.0 : it->second;
}

std::string Results::Meta(const std::string& key) const {
    auto it = m_meta.find(key);
    return it == m_meta.end() ? std::string() : it->second;
}

bool Results::WriteTsv(const std::string& path) const {
    std::ofstream out(path);
    if (!out) return false;
    for (const auto& m : m_meta) out << '@' << m.first << '\t' << m.second << '\n';
    char buf[64];
    for (const auto& v : m_values) {
        std::snprintf(buf, sizeof buf, "%.6g", v.second);
        out << v.first << '\t' << buf << '\n';
    }
    return static_cast<bool>(out);
}

bool Results::ReadTsv(const std::string& path, Results& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos || tab == 0) continue;
        std::string key = line.substr(0, tab);
        std::string value = line.substr(tab + 1);
        if (key[0] == '@') {
            out.SetMeta(key.substr(1), value);
        } else {
            out.Set(key, std::strtod(value.c_str(), nullptr));
        }
    }
    return true;
}

void Results::Merge(const Results& other) {
    for (const auto& v : other.m_values) m_values.insert(v);
    for (const auto& m : other.m_meta) {
        std::string& mine = m_meta[m.first];
        if (mine.empty()) {
            mine = m.second;
        } else if (mine != m.second) {
            mine += " + " + m.second;
        }
    }
}

std::string ShapeKey(const FrameShape& shape) {
    return std::to_string(shape.width) + "x" + std::to_string(shape.height) + (shape.channels == 3 ? "rgb" : "g");
}

namespace {

const char* const kCodecs[] = {"zlib", "libdeflate"};
const int kViewerCounts[] = {1, 8};

std::string Fmt(const Results& r, const std::string& key, int decimals, double scale = 1.0) {
    if (!r.Has(key)) return "—";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, r.Get(key) * scale);
    return buf;
}

std::string Num(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Thousands separators for large counts.
std::string Count(const Results& r, const std::string& key) {
    if (!r.Has(key)) return "—";
    std::string digits = Num(r.Get(key), 0);
    std::string out;
    int n = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (n > 0 && n % 3 == 0 && *it != '-') out.insert(out.begin(), ',');
        out.insert(out.begin(), *it);
        ++n;
    }
    return out;
}

std::string Ratio(const Results& r, const std::string& num, const std::string& den) {
    if (!r.Has(num) || !r.Has(den) || r.Get(den) <= 0) return "—";
    return Num(r.Get(num) / r.Get(den), 2);
}

// " (18.1–19.0)": the two measurements behind a limit, when they differ.
std::string Spread(const Results& r, const std::string& mbpsKey) {
    const std::string lo = mbpsKey + "_lo";
    const std::string hi = mbpsKey + "_hi";
    if (!r.Has(lo) || !r.Has(hi) || Num(r.Get(lo), 1) == Num(r.Get(hi), 1)) return "";
    return " (" + Num(r.Get(lo), 1) + "–" + Num(r.Get(hi), 1) + ")";
}

bool AnyWithPrefix(const Results& r, const std::string& prefix) {
    auto it = r.Values().lower_bound(prefix);
    return it != r.Values().end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

void ImageSection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "img.") && !AnyWithPrefix(r, "limit.")) return;
    out << "## Image throughput\n\n"
        << "Four channels, staged as fast as the device takes them; interval 1 ms, set by a viewer's command. "
           "Images/s is what each viewer receives, taken at the slowest viewer (from the first to the last frame "
           "completed within the window); raw MB/s is images/s times the image size. The **limit** is the same "
           "four-channel record sequences through the same compressor at level 6 in a tight loop on one thread, "
           "in the same units: the mean of one measurement right before the shape's pipeline rows and one right "
           "after them (both in brackets). ZeroMQ: one "
           "PUB, N SUBs, each image compressed with zlib level 6 into one message, as a user would build it. "
           "Viewers only parse frame headers (no inflating), so the figures are the sender's. Device send thread "
           "busy: the busiest device thread's CPU share over the window (100% = it never waited); device CPU: the "
           "whole device process, in cores.\n\n";
    out << "| frames | viewers | codec | compression ratio | limit MB/s | travik images/s | travik MB/s | travik / "
           "limit | device send thread busy | device CPU, cores | ZeroMQ+zlib images/s | ZeroMQ MB/s | ZeroMQ / "
           "zlib limit |\n"
        << "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const FrameShape& shape : StandardShapes()) {
        const std::string s = ShapeKey(shape);
        for (int v : kViewerCounts) {
            const std::string vk = ".v" + std::to_string(v);
            for (const char* codec : kCodecs) {
                const std::string c = codec;
                const std::string limit = "limit." + c + "." + s + ".mbps";
                const std::string pipe = "img.travik." + c + "." + s + vk;
                if (!r.Has(pipe + ".mbps") && !r.Has(limit)) continue;
                const bool zmqRow = c == "zlib";
                const std::string zmq = "img.zmq." + s + vk;
                out << "| " << shape.Name() << " | " << v << " | " << c << " | "
                    << Fmt(r, "limit." + c + "." + s + ".ratio", 2) << " | " << Fmt(r, limit, 1) << Spread(r, limit)
                    << " | " << Fmt(r, pipe + ".ips", 1) << " | " << Fmt(r, pipe + ".mbps", 1) << " | "
                    << Ratio(r, pipe + ".mbps", limit) << " | " << Fmt(r, pipe + ".busiest_pct", 0)
                    << (r.Has(pipe + ".busiest_pct") ? "%" : "") << " | " << Fmt(r, pipe + ".device_cores", 2) << " | "
                    << (zmqRow ? Fmt(r, zmq + ".ips", 1) : "—") << " | " << (zmqRow ? Fmt(r, zmq + ".mbps", 1) : "—")
                    << " | " << (zmqRow ? Ratio(r, zmq + ".mbps", "limit.zlib." + s + ".mbps") : "—") << " |\n";
            }
        }
    }
    out << "\n";
    if (!AnyWithPrefix(r, "img.travik.libdeflate.") || !AnyWithPrefix(r, "img.travik.zlib.")) return;
    out << "libdeflate pipeline against the zlib pipeline (same frames, same wire format):\n\n"
        << "| frames | viewers | zlib MB/s | libdeflate MB/s | libdeflate / zlib |\n|---|---:|---:|---:|---:|\n";
    for (const FrameShape& shape : StandardShapes()) {
        const std::string s = ShapeKey(shape);
        for (int v : kViewerCounts) {
            const std::string z = "img.travik.zlib." + s + ".v" + std::to_string(v) + ".mbps";
            const std::string l = "img.travik.libdeflate." + s + ".v" + std::to_string(v) + ".mbps";
            if (!r.Has(z) || !r.Has(l)) continue;
            out << "| " << shape.Name() << " | " << v << " | " << Fmt(r, z, 1) << " | " << Fmt(r, l, 1) << " | "
                << Ratio(r, l, z) << " |\n";
        }
    }
    out << "\n";
}

void LogSection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "log") || (!AnyWithPrefix(r, "log.") && !AnyWithPrefix(r, "loglat."))) return;
    out << "## Log stream, 100-byte lines\n\n"
        << "Throughput: a producer thread stages lines as fast as it can (or, in the paced rows, at a fixed "
           "rate); lines/s is what reaches each viewer's callback (the slowest viewer's figure). Latency: 1000 "
           "lines/s, each carrying its staging time, "
           "measured when the viewer's callback (or receive call) has it. Offered: lines the producer got accepted "
           "(SendLogInfo returned 0, zmq_send succeeded) in the same window; a PUB drops what a SUB has no room "
           "for, a travik device closes a viewer whose backlog passes its hard bound. Raw TCP: one write() per "
           "line on a TCP_NODELAY socket (the writer blocks when the reader lags), the reader splitting lines.\n\n"
        << "| transport | viewers | lines/s per viewer | lines/s offered by the producer | viewers dropped as slow | "
           "latency p50 µs | latency p99 µs |\n"
        << "|---|---:|---:|---:|---:|---:|---:|\n";
    struct Row {
        const char* name;
        const char* key;
    };
    const Row rows[] = {{"travik", "travik"}, {"ZeroMQ PUB/SUB", "zmq"}, {"raw TCP", "tcp"}};
    const std::string pacedLabel =
        r.Has("log.paced_rate") ? ", paced at " + Count(r, "log.paced_rate") + " lines/s" : "";
    for (const Row& row : rows) {
        for (bool paced : {false, true}) {
            for (int v : kViewerCounts) {
                const std::string base =
                    std::string("log.") + row.key + ".v" + std::to_string(v) + (paced ? ".paced" : "");
                const bool lat = v == 1 && !paced;
                const std::string p = std::string("loglat.") + row.key;
                if (!r.Has(base + ".lps") && !(lat && r.Has(p + ".p50us"))) continue;
                out << "| " << row.name << (paced ? pacedLabel : "") << " | " << v << " | " << Count(r, base + ".lps")
                    << " | " << Count(r, base + ".offered_lps") << " | " << Fmt(r, base + ".dropped", 0) << " | "
                    << (lat ? Fmt(r, p + ".p50us", 0) : "—") << " | " << (lat ? Fmt(r, p + ".p99us", 0) : "—")
                    << " |\n";
            }
        }
    }
    out << "\n";
}

void LatencySection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "imglat.")) return;
    out << "## Image latency, 640x480 gray at 30 fps\n\n"
        << "From the staging call (the image's tag carries the time) to the viewer's image callback, inflating "
           "included. ZeroMQ: compress with zlib, send, receive, uncompress.\n\n"
        << "| pipeline | p50 ms | p99 ms |\n|---|---:|---:|\n";
    for (const char* codec : kCodecs) {
        const std::string p = std::string("imglat.travik.") + codec;
        if (!r.Has(p + ".p50ms")) continue;
        out << "| travik (" << codec << ") | " << Fmt(r, p + ".p50ms", 2) << " | " << Fmt(r, p + ".p99ms", 2) << " |\n";
    }
    if (r.Has("imglat.zmq.p50ms"))
        out << "| ZeroMQ + zlib | " << Fmt(r, "imglat.zmq.p50ms", 2) << " | " << Fmt(r, "imglat.zmq.p99ms", 2)
            << " |\n";
    out << "\n";
}

void DeviceSection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "idle.") && !AnyWithPrefix(r, "stall.")) return;
    out << "## Device cost\n\n"
        << "The device runs in its own process; CPU is that process's CPU time over the window, RSS is read from "
           "/proc. The stalled viewer connects with a 4 KiB receive buffer, asks for everything and never reads, "
           "while the device produces 640x480 gray images on four channels (interval 1 ms) and 1000 log lines/s. "
           "ZeroMQ: a SUB with a 4 KiB receive buffer that never receives, default high-water marks.\n\n"
        << "| measure | travik | ZeroMQ PUB |\n|---|---:|---:|\n";
    out << "| idle CPU, one viewer connected (" << Fmt(r, "idle.seconds", 1) << " s), % of one core | "
        << Fmt(r, "idle.travik.cpu_pct", 3) << " | " << Fmt(r, "idle.zmq.cpu_pct", 3) << " |\n";
    out << "| RSS before the stalled viewer, MB | " << Fmt(r, "stall.travik.rss_base_mb", 1) << " | "
        << Fmt(r, "stall.zmq.rss_base_mb", 1) << " |\n";
    out << "| peak RSS during " << Fmt(r, "stall.seconds", 1) << " s with the stalled viewer, MB | "
        << Fmt(r, "stall.travik.rss_peak_mb", 1) << " | " << Fmt(r, "stall.zmq.rss_peak_mb", 1) << " |\n";
    out << "| growth, MB | " << Fmt(r, "stall.travik.growth_mb", 1) << " | " << Fmt(r, "stall.zmq.growth_mb", 1)
        << " |\n";
    if (r.Has("stall.travik.connected_at_end"))
        out << "| stalled viewer still connected at the end | "
            << (r.Get("stall.travik.connected_at_end") > 0 ? "yes" : "no") << " | — |\n";
    out << "\n";
}

struct Target {
    std::string what;
    std::string figures;
    int met = -1;  // 1 met, 0 missed, -1 not measured
};

void TargetsSection(const Results& r, std::ostringstream& out) {
    std::vector<Target> targets;
    for (const char* codec : kCodecs) {
        for (int v : kViewerCounts) {
            Target t;
            t.what = std::string("travik ") + codec + " pipeline ≥ 95% of the compressor limit, " + std::to_string(v) +
                     (v == 1 ? " viewer" : " viewers");
            bool any = false;
            bool all = true;
            for (const FrameShape& shape : StandardShapes()) {
                const std::string s = ShapeKey(shape);
                const std::string pipe =
                    std::string("img.travik.") + codec + "." + s + ".v" + std::to_string(v) + ".mbps";
                const std::string limit = std::string("limit.") + codec + "." + s + ".mbps";
                if (!r.Has(pipe) || !r.Has(limit) || r.Get(limit) <= 0) continue;
                const double ratio = r.Get(pipe) / r.Get(limit);
                t.figures += (any ? ", " : "") + shape.Name() + " " + Num(100.0 * ratio, 0) + "%";
                any = true;
                all = all && ratio >= 0.95;
            }
            if (!any) continue;
            t.met = all ? 1 : 0;
            targets.push_back(t);
        }
    }
    for (int v : kViewerCounts) {
        const std::string z = "img.travik.zlib.1280x720g.v" + std::to_string(v) + ".mbps";
        const std::string l = "img.travik.libdeflate.1280x720g.v" + std::to_string(v) + ".mbps";
        if (!r.Has(z) || !r.Has(l) || r.Get(z) <= 0) continue;
        Target t;
        t.what = "libdeflate pipeline ≥ 2.0x zlib pipeline, 1280x720 gray, " + std::to_string(v) +
                 (v == 1 ? " viewer" : " viewers");
        t.figures = Num(r.Get(l), 1) + " / " + Num(r.Get(z), 1) + " MB/s = " + Num(r.Get(l) / r.Get(z), 2) + "x";
        t.met = r.Get(l) >= 2.0 * r.Get(z) ? 1 : 0;
        targets.push_back(t);
    }
    for (int v : kViewerCounts) {
        const std::string a = "log.travik.v" + std::to_string(v) + ".lps";
        const std::string b = "log.zmq.v" + std::to_string(v) + ".lps";
        if (!r.Has(a) || !r.Has(b)) continue;
        Target t;
        t.what = "log lines/s ≥ ZeroMQ's 100-byte rate, " + std::to_string(v) + (v == 1 ? " viewer" : " viewers");
        t.figures = Count(r, a) + " vs " + Count(r, b);
        t.met = r.Get(a) >= r.Get(b) ? 1 : 0;
        targets.push_back(t);
    }
    if (r.Has("loglat.travik.p50us") && r.Has("loglat.zmq.p50us")) {
        Target t;
        t.what = "log latency p50 ≤ ZeroMQ's";
        t.figures = Fmt(r, "loglat.travik.p50us", 0) + " µs vs " + Fmt(r, "loglat.zmq.p50us", 0) + " µs";
        t.met = r.Get("loglat.travik.p50us") <= r.Get("loglat.zmq.p50us") ? 1 : 0;
        targets.push_back(t);
    }
    if (r.Has("idle.travik.cpu_pct")) {
        Target t;
        t.what = "idle device CPU < 1% of a core";
        t.figures = Fmt(r, "idle.travik.cpu_pct", 3) + "%";
        t.met = r.Get("idle.travik.cpu_pct") < 1.0 ? 1 : 0;
        targets.push_back(t);
    }
    if (targets.empty()) return;
    out << "## Targets\n\n| target | figures | met |\n|---|---|---|\n";
    for (const Target& t : targets)
        out << "| " << t.what << " | " << t.figures << " | " << (t.met == 1 ? "yes" : "**no**") << " |\n";
    out << "\n";
}

}  // namespace

std::string RenderMarkdown(const Results& r) {
    std::ostringstream out;
    out << "# travik benchmark results\n\n";
    out << "- Machine: " << r.Meta("machine") << "\n";
    out << "- Date: " << r.Meta("date") << "\n";
    out << "- Library codec build(s): " << r.Meta("codec") << "\n";
    out << "- Mode: " << r.Meta("mode") << "\n";
    out << "- Load average (1 min) at start / end of the run: " << r.Meta("load") << "\n";
    out << "- Reproduce: `" << r.Meta("command") << "`\n\n";
    ImageSection(r, out);
    LogSection(r, out);
    LatencySection(r, out);
    DeviceSection(r, out);
    TargetsSection(r, out);
    return out.str();
}

bool SmokeValuesPresent(const Results& r, const std::vector<std::string>& keys) {
    bool ok = true;
    for (const std::string& k : keys) {
        if (!r.Has(k) || !(r.Get(k) > 0)) {
            std::fprintf(stderr, "smoke: %s was not measured or is not positive\n", k.c_str());
            ok = false;
        }
    }
    return ok;
}

}  // namespace travik_bench
