#include "travik_bench/results.h"

#include <algorithm>
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

// A pipeline that beats its compressor's limit by more than this was not
// measured under the same conditions; the row is marked invalid.
constexpr double kInvalidRatio = 1.02;

// "20.1 (19.6–20.5)": median and range over the rounds.
std::string MedianRange(const Results& r, const std::string& mbpsKey) {
    if (!r.Has(mbpsKey)) return "—";
    return Fmt(r, mbpsKey, 1) + Spread(r, mbpsKey);
}

// "0.98", or "**1.05 invalid**" when the pipeline beat the limit.
std::string LimitRatio(const Results& r, const std::string& num, const std::string& den) {
    if (!r.Has(num) || !r.Has(den) || r.Get(den) <= 0) return "—";
    const double ratio = r.Get(num) / r.Get(den);
    return ratio > kInvalidRatio ? "**" + Num(ratio, 2) + " invalid**" : Num(ratio, 2);
}

void ImageSection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "img.") && !AnyWithPrefix(r, "limit.")) return;
    const std::string cpus = r.Meta("send_thread_cpus").empty() ? r.Meta("pin_cpu") : r.Meta("send_thread_cpus");
    out << "## Image throughput\n\n"
        << "Four channels, staged as fast as the device takes them; interval 1 ms, set by a viewer's command. "
           "MB/s is raw image bytes (10^6 bytes) per second delivered to the slowest viewer, from the first to "
           "the last frame completed in the window. The **limit** is the same four-channel record sequences "
           "through the same compressor at level 6 in a tight loop, in a child process pinned to the same CPU as "
           "the device's send thread ("
        << (cpus == "none" || cpus.empty() ? std::string("here neither was pinned") : "CPU " + cpus)
        << "). Limit and pipeline rows alternate: each shape runs " << Fmt(r, "img.rounds", 0)
        << " rounds of (limit, then every pipeline row); figures are the median over the rounds with the range "
           "in brackets. A pipeline/limit ratio above "
        << Num(kInvalidRatio, 2)
        << " cannot be real and marks the row **invalid**. ZeroMQ: one PUB, N SUBs, each image compressed "
           "with zlib level 6 into one message on a thread pinned like the send thread. Viewers only follow frame "
           "boundaries (no inflating), so the figures are the sender's. Send thread busy: the busiest device "
           "thread's CPU share over the window; the limit loop's CPU share is the same for the limit child "
           "(two shares far apart mean the two did not get the same CPU); device CPU: the whole device "
           "process, in cores.\n\n";
    out << "| frames | viewers | codec | compression ratio | limit MB/s | travik MB/s | travik images/s | travik / "
           "limit | send thread busy | limit loop's CPU share | device CPU, cores | ZeroMQ+zlib MB/s | ZeroMQ / zlib "
           "limit |\n"
        << "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const FrameShape& shape : StandardShapes()) {
        const std::string s = ShapeKey(shape);
        for (int v : kViewerCounts) {
            const std::string vk = ".v" + std::to_string(v);
            for (const char* codec : kCodecs) {
                const std::string c = codec;
                const std::string limit = "limit." + c + "." + s + ".mbps";
                const std::string pipe = "img.travik." + c + "." + s + vk;
                if (!r.Has(pipe + ".mbps")) continue;
                const bool zmqRow = c == "zlib";
                const std::string zmq = "img.zmq." + s + vk;
                out << "| " << shape.Name() << " | " << v << " | " << c << " | "
                    << Fmt(r, "limit." + c + "." + s + ".ratio", 2) << " | " << MedianRange(r, limit) << " | "
                    << MedianRange(r, pipe + ".mbps") << " | " << Fmt(r, pipe + ".ips", 1) << " | "
                    << LimitRatio(r, pipe + ".mbps", limit) << " | " << Fmt(r, pipe + ".busiest_pct", 0)
                    << (r.Has(pipe + ".busiest_pct") ? "%" : "") << " | "
                    << Fmt(r, "limit." + c + "." + s + ".cpu_pct", 0)
                    << (r.Has("limit." + c + "." + s + ".cpu_pct") ? "%" : "") << " | "
                    << Fmt(r, pipe + ".device_cores", 2) << " | " << (zmqRow ? MedianRange(r, zmq + ".mbps") : "—")
                    << " | " << (zmqRow ? LimitRatio(r, zmq + ".mbps", "limit.zlib." + s + ".mbps") : "—") << " |\n";
            }
        }
    }
    out << "\n";
    if (!AnyWithPrefix(r, "img.travik.libdeflate.") || !AnyWithPrefix(r, "img.travik.zlib.")) return;
    out << "libdeflate pipeline against the zlib pipeline (same frames, same wire format; medians):\n\n"
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

struct LogSystem {
    const char* name;
    const char* key;
};
const LogSystem kLogSystems[] = {{"travik", "travik"}, {"ZeroMQ PUB/SUB", "zmq"}, {"raw TCP", "tcp"}};

// "1,234 (0.1%)": lines lost, and their share of what was accepted.
std::string Lost(const Results& r, const std::string& base) {
    if (!r.Has(base + ".lost")) return "—";
    const double lost = std::max(0.0, r.Get(base + ".lost"));
    const double accepted = r.Get(base + ".accepted");
    std::string out = Count(r, base + ".lost");
    if (lost <= 0) return "0";
    if (accepted > 0) out += " (" + Num(100.0 * lost / accepted, lost * 1000 < accepted ? 2 : 0) + "%)";
    return out;
}

void LogRowLine(const Results& r, const std::string& base, const std::string& system, const std::string& handsOver,
                int viewers, std::ostringstream& out) {
    if (!r.Has(base + ".lps")) return;
    out << "| " << system << " | " << handsOver << " | " << viewers << " | " << Count(r, base + ".lps") << " | "
        << Count(r, base + ".accepted_lps") << " | " << Fmt(r, base + ".lines_per_msg", 1) << " | "
        << Count(r, base + ".accepted") << " | " << Count(r, base + ".refused") << " | " << Lost(r, base) << " | "
        << Fmt(r, base + ".dropped", 0) << " |\n";
}

void LogSection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "log.")) return;
    out << "## Log stream, 100-byte lines\n\n"
        << "A producer thread in the device process hands over 100-byte lines either **one call per line** "
           "(travik: `SendLogInfo`; ZeroMQ: one `zmq_send`, one message per line) or **batched**: the producer "
           "stages each line into a buffer and a sending thread takes every line staged since its previous "
           "pass and hands them over in one call (one `SendLogInfo` call, one ZeroMQ message), the way travik's "
           "own send thread writes one log frame per pass. travik joins staged lines into one frame per pass in "
           "both cases (see lines per received message). Every receiver splits and counts lines with the same "
           "function. Delivered: lines/s reaching the slowest viewer in the window; accepted: lines/s the "
           "sending call took. After the window the producer halts and the viewers drain; then the lines "
           "accepted over the whole run are set against each viewer's count: **lost** is the difference at the "
           "viewer that lost most (lines silently dropped on the way). Refused: lines the sending call turned "
           "down and the producer gave up on (travik's `SendLogInfo` returns -1 as backpressure).\n\n"
        << "| system | producer hands over | viewers | delivered lines/s per viewer | accepted lines/s | lines per "
           "received message | accepted, whole run | refused | lost (worst viewer) | viewers closed as slow "
           "|\n"
        << "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    struct Group {
        const char* policy;
        const char* title;
    };
    const std::string paced = r.Has("log.paced_rate") ? Count(r, "log.paced_rate") : "?";
    const Group groups[] = {
        {"lossless",
         "**Lossless**: the producer waits until each line is taken (travik: retries while `SendLogInfo` returns "
         "-1; ZeroMQ: `ZMQ_XPUB_NODROP` and a blocking `zmq_send`; raw TCP: a blocking `write`)"},
        {"flat",
         "**Flat out, default behaviour**: a refused line is dropped by the producer (travik); a PUB drops "
         "what a subscriber's queue has no room for (ZeroMQ, default high-water marks)"},
        {"paced", "**Paced**: the producer offers a fixed rate"}};
    for (const Group& g : groups) {
        bool any = false;
        for (const LogSystem& sys : kLogSystems)
            for (const char* mode : {"line", "batch"})
                for (int v : kViewerCounts)
                    any = any || r.Has(std::string("log.") + sys.key + "." + mode + "." + g.policy + ".v" +
                                       std::to_string(v) + ".lps");
        if (!any) continue;
        std::string title = g.title;
        if (std::string(g.policy) == "paced") title += " of " + paced + " lines/s, refused lines dropped";
        out << "| " << title << " | | | | | | | | | |\n";
        for (int v : kViewerCounts) {
            for (const char* mode : {"line", "batch"}) {
                for (const LogSystem& sys : kLogSystems) {
                    const std::string base =
                        std::string("log.") + sys.key + "." + mode + "." + g.policy + ".v" + std::to_string(v);
                    LogRowLine(r, base, sys.name, std::string(mode) == "line" ? "message per line" : "batched", v, out);
                }
            }
        }
    }
    out << "\n";
}

void PubSubSection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "pubsub.zmq.")) return;
    out << "## ZeroMQ setup check: plain PUB/SUB\n\n"
        << "One PUB process sending 100-byte messages flat out with `zmq_send`, one SUB in the harness process "
           "counting them in a blocking `zmq_recv` loop (no splitting), TCP over loopback; first with default "
           "settings (the PUB drops at its high-water mark), then with `ZMQ_XPUB_NODROP` (the send blocks "
           "instead). An independent measurement on this machine class gave 2.3–3.3 M messages/s to one "
           "subscriber; see the notes for a figure far below that.\n\n"
        << "| PUB | received messages/s | sent messages/s | sent, whole run | lost |\n"
        << "|---|---:|---:|---:|---:|\n";
    for (const char* kind : {"plain", "nodrop"}) {
        const std::string k = std::string("pubsub.zmq.") + kind;
        if (!r.Has(k + ".lps")) continue;
        out << "| " << (std::string(kind) == "plain" ? "default (drops)" : "ZMQ_XPUB_NODROP, blocking send") << " | "
            << Count(r, k + ".lps") << " | " << Count(r, k + ".accepted_lps") << " | " << Count(r, k + ".accepted")
            << " | " << Lost(r, k) << " |\n";
    }
    out << "\n";
}

void LatencySection(const Results& r, std::ostringstream& out) {
    if (AnyWithPrefix(r, "loglat.")) {
        out << "## Log latency, 1000 lines/s\n\n"
            << "From the producer's call (each line carries its time) to the viewer's callback or receive call, one "
               "viewer; percentiles over the window.\n\n"
            << "| transport | producer hands over | p50 µs | p99 µs |\n|---|---|---:|---:|\n";
        struct Row {
            const char* name;
            const char* key;
            const char* how;
        };
        const Row rows[] = {{"travik", "loglat.travik.line", "message per line (joined per pass)"},
                            {"ZeroMQ PUB/SUB", "loglat.zmq.line", "message per line"},
                            {"ZeroMQ PUB/SUB", "loglat.zmq.batch", "batched"},
                            {"raw TCP", "loglat.tcp", "one write per line"}};
        for (const Row& row : rows) {
            const std::string k = row.key;
            if (!r.Has(k + ".p50us")) continue;
            out << "| " << row.name << " | " << row.how << " | " << Fmt(r, k + ".p50us", 0) << " | "
                << Fmt(r, k + ".p99us", 0) << " |\n";
        }
        out << "\n";
    }
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

std::string Bytes(double v) {
    Results tmp;
    tmp.Set("v", v);
    return Count(tmp, "v") + " B";
}

void DeviceSection(const Results& r, std::ostringstream& out) {
    if (!AnyWithPrefix(r, "idle.") && !AnyWithPrefix(r, "stall.")) return;
    const double msg = r.Get("stall.zmq.image_msg_bytes");
    out << "## Device cost\n\n"
        << "CPU is the device (PUB) process's CPU time over the window. The stalled viewer connects with a 4 KiB "
           "receive buffer, asks for everything and never reads, while the device produces 640x480 gray images on "
           "four channels (interval 1 ms) and 1000 log lines/s. travik's stalled viewer is a plain socket in the "
           "harness (it holds nothing but its kernel receive buffer); ZeroMQ's is a SUB in a process of its own "
           "that never calls `zmq_recv`, whose I/O thread still reads into its queue, so both ZeroMQ ends are "
           "measured. RSS from /proc, in MiB (2^20 bytes). ZeroMQ's queues are bounded in messages; their byte "
           "bound is the high-water mark times the mean image message ("
        << (msg > 0 ? Bytes(msg) : std::string("—")) << " in this run).\n\n"
        << "| measure | travik | ZeroMQ |\n|---|---:|---:|\n";
    out << "| idle CPU of the device / PUB, one viewer connected (" << Fmt(r, "idle.seconds", 1)
        << " s), % of one core | " << Fmt(r, "idle.travik.cpu_pct", 3) << " | " << Fmt(r, "idle.zmq.cpu_pct", 3)
        << " |\n";
    if (!AnyWithPrefix(r, "stall.")) {
        out << "\n";
        return;
    }
    out << "| device / PUB RSS before the stall, MiB | " << Fmt(r, "stall.travik.rss_base_mib", 1) << " | "
        << Fmt(r, "stall.zmq.rss_base_mib", 1) << " |\n";
    out << "| device / PUB peak RSS during " << Fmt(r, "stall.seconds", 1) << " s of stall, MiB | "
        << Fmt(r, "stall.travik.rss_peak_mib", 1) << " | " << Fmt(r, "stall.zmq.rss_peak_mib", 1) << " |\n";
    out << "| device / PUB growth, MiB | " << Fmt(r, "stall.travik.growth_mib", 1) << " | "
        << Fmt(r, "stall.zmq.growth_mib", 1) << " |\n";
    out << "| stalled viewer / SUB process growth, MiB | — (plain socket) | " << Fmt(r, "stall.zmqsub.growth_mib", 1)
        << " |\n";
    out << "| sending side's limit per viewer | 16,777,216 B backlog: images skipped beyond it; 50,331,648 B: "
           "connection closed | "
        << (r.Has("stall.zmq.sndhwm")
                ? Count(r, "stall.zmq.sndhwm") + " messages (SNDHWM) ≈ " + Bytes(r.Get("stall.zmq.sndhwm") * msg)
                : std::string("—"))
        << " |\n";
    const std::string kernel = r.Has("stall.viewer_rcvbuf_bytes") ? Bytes(r.Get("stall.viewer_rcvbuf_bytes")) : "—";
    out << "| receiving side's limit | " << kernel << " (kernel receive buffer) | "
        << (r.Has("stall.zmq.rcvhwm") ? Count(r, "stall.zmq.rcvhwm") + " messages (RCVHWM) ≈ " +
                                            Bytes(r.Get("stall.zmq.rcvhwm") * msg) + " + kernel buffer"
                                      : std::string("—"))
        << " |\n";
    if (r.Has("stall.travik.connected_at_end"))
        out << "| stalled viewer still connected at the end | "
            << (r.Get("stall.travik.connected_at_end") > 0 ? "yes" : "no") << " | — |\n";
    out << "\n";
}

struct Target {
    std::string what;
    std::string figures;
    int met = -1;  // 1 met, 0 missed, 2 invalid measurement
};

void TlsSection(const Results& r, std::ostringstream& out) {
    // Rows: every shape and viewer count measured both ways.
    std::vector<std::string> rows;  // "SHAPE.vN"
    const std::string prefix = "tls.img.", suffix = ".plain.mbps";
    for (const auto& kv : r.Values()) {
        const std::string& k = kv.first;
        if (k.compare(0, prefix.size(), prefix) != 0 || k.size() <= prefix.size() + suffix.size() ||
            k.compare(k.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        rows.push_back(k.substr(prefix.size(), k.size() - prefix.size() - suffix.size()));
    }
    if (rows.empty() && !r.Has("tls.connects.tls.per_s")) return;
    out << "## TLS on the device link\n\n"
           "The same device child in plain TCP and over mutual TLS (P-256 certificates, both sides verified), read by "
           "library viewers that decrypt and inflate; MB/s is image bytes per second at the slowest viewer. Connects: "
           "one viewer at a time connects (with the TLS handshake) and releases.\n\n"
        << "| frames | viewers | plain MB/s | TLS MB/s | TLS / plain |\n|---|---:|---:|---:|---:|\n";
    for (const std::string& row : rows) {
        const size_t dot = row.rfind(".v");
        const std::string base = prefix + row;
        out << "| " << row.substr(0, dot) << " | " << row.substr(dot + 2) << " | " << Fmt(r, base + ".plain.mbps", 1)
            << " | " << Fmt(r, base + ".tls.mbps", 1) << " | " << Ratio(r, base + ".tls.mbps", base + ".plain.mbps")
            << " |\n";
    }
    out << "\n| connects per second | plain | TLS |\n|---|---:|---:|\n| one viewer at a time | "
        << Fmt(r, "tls.connects.plain.per_s", 0) << " | " << Fmt(r, "tls.connects.tls.per_s", 0) << " |\n\n";
}

void TargetsSection(const Results& r, std::ostringstream& out) {
    std::vector<Target> targets;
    for (const char* codec : kCodecs) {
        for (int v : kViewerCounts) {
            Target t;
            t.what = std::string("travik ") + codec + " pipeline ≥ 95% of the compressor limit, " + std::to_string(v) +
                     (v == 1 ? " viewer" : " viewers");
            bool any = false;
            bool all = true;
            bool invalid = false;
            for (const FrameShape& shape : StandardShapes()) {
                const std::string s = ShapeKey(shape);
                const std::string pipe =
                    std::string("img.travik.") + codec + "." + s + ".v" + std::to_string(v) + ".mbps";
                const std::string limit = std::string("limit.") + codec + "." + s + ".mbps";
                if (!r.Has(pipe) || !r.Has(limit) || r.Get(limit) <= 0) continue;
                const double ratio = r.Get(pipe) / r.Get(limit);
                t.figures += (any ? ", " : "") + shape.Name() + " " + Num(100.0 * ratio, 0) + "%" +
                             (ratio > kInvalidRatio ? " (invalid)" : "");
                any = true;
                all = all && ratio >= 0.95;
                invalid = invalid || ratio > kInvalidRatio;
            }
            if (!any) continue;
            t.met = invalid ? 2 : (all ? 1 : 0);
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
    for (const char* mode : {"line", "batch"}) {
        for (int v : kViewerCounts) {
            const std::string a = std::string("log.travik.") + mode + ".lossless.v" + std::to_string(v);
            const std::string b = std::string("log.zmq.") + mode + ".lossless.v" + std::to_string(v);
            if (!r.Has(a + ".lps") || !r.Has(b + ".lps")) continue;
            Target t;
            t.what = std::string("lossless log lines/s ≥ ZeroMQ's, ") +
                     (std::string(mode) == "line" ? "message per line" : "batched") + ", " + std::to_string(v) +
                     (v == 1 ? " viewer" : " viewers");
            t.figures = Count(r, a + ".lps") + " vs " + Count(r, b + ".lps") + " (lost " + Lost(r, a) + " vs " +
                        Lost(r, b) + ")";
            t.met = r.Get(a + ".lps") >= r.Get(b + ".lps") && r.Get(a + ".lost") <= 0 ? 1 : 0;
            targets.push_back(t);
        }
    }
    for (const char* pct : {"p50", "p99"}) {
        const std::string a = std::string("loglat.travik.line.") + pct + "us";
        const std::string b = std::string("loglat.zmq.line.") + pct + "us";
        if (!r.Has(a) || !r.Has(b)) continue;
        Target t;
        t.what = std::string("log latency ") + pct + " ≤ ZeroMQ's (message per line)";
        t.figures = Fmt(r, a, 0) + " µs vs " + Fmt(r, b, 0) + " µs";
        t.met = r.Get(a) <= r.Get(b) ? 1 : 0;
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
    for (const Target& t : targets) {
        const char* met = t.met == 1 ? "yes" : (t.met == 2 ? "**invalid measurement**" : "**no**");
        out << "| " << t.what << " | " << t.figures << " | " << met << " |\n";
    }
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
    out << "- Device send thread pinned to CPU: " << r.Meta("pin_cpu") << "\n";
    out << "- Reproduce: `" << r.Meta("command") << "`\n";
    out << "- Method and how to read the figures: [NOTES.md](NOTES.md)\n\n";
    ImageSection(r, out);
    LogSection(r, out);
    PubSubSection(r, out);
    LatencySection(r, out);
    DeviceSection(r, out);
    TlsSection(r, out);
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
