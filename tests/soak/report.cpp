#include "report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

namespace travik_soak {

namespace {

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

double MiB(long long bytes) { return bytes < 0 ? -1 : static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

bool WriteCsv(const std::string& path, const std::vector<std::string>& names, const std::vector<SampleRow>& rows) {
    std::ofstream out(path);
    out << "seconds,phase";
    for (const std::string& n : names) out << ',' << n << "_rss_mib," << n << "_fds," << n << "_threads";
    out << ",steady_images,churn_rounds\n";
    for (const SampleRow& r : rows) {
        out << Fixed(r.seconds, 1) << ',' << r.phase;
        for (const ProcStats& p : r.procs) out << ',' << Fixed(MiB(p.rssBytes), 1) << ',' << p.fds << ',' << p.threads;
        out << ',' << r.steadyImages << ',' << r.churnRounds << '\n';
    }
    out.flush();
    return static_cast<bool>(out);
}

std::string MarkdownTable(const std::vector<std::string>& names, const std::vector<SampleRow>& rows, size_t maxRows) {
    std::ostringstream out;
    out << "| min | phase |";
    for (const std::string& n : names) out << ' ' << n << " RSS MiB | " << n << " fds | " << n << " threads |";
    out << " steady images | churn actions |\n|---:|---|";
    for (size_t i = 0; i < names.size(); ++i) out << "---:|---:|---:|";
    out << "---:|---:|\n";
    if (rows.empty()) return out.str();
    const size_t keep = std::max<size_t>(2, maxRows);
    const size_t n = rows.size();
    size_t last = n;  // the index written last, to skip repeats
    for (size_t k = 0; k < std::min(n, keep); ++k) {
        const size_t i = n <= keep ? k : k * (n - 1) / (keep - 1);
        if (i == last) continue;
        last = i;
        const SampleRow& r = rows[i];
        out << "| " << Fixed(r.seconds / 60, 1) << " | " << r.phase << " |";
        for (const ProcStats& p : r.procs)
            out << ' ' << Fixed(MiB(p.rssBytes), 1) << " | " << p.fds << " | " << p.threads << " |";
        out << ' ' << r.steadyImages << " | " << r.churnRounds << " |\n";
    }
    return out.str();
}

bool WriteSvg(const std::string& path, const std::vector<std::string>& names, const std::vector<SampleRow>& rows) {
    static const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e"};
    constexpr double kWidth = 720, kPanel = 180, kLeft = 60, kRight = 150, kTop = 24;
    struct Panel {
        const char* title;
        std::function<double(const ProcStats&)> value;
    };
    const Panel panels[] = {
        {"RSS (MiB)", [](const ProcStats& p) { return MiB(p.rssBytes); }},
        {"open descriptors", [](const ProcStats& p) { return static_cast<double>(p.fds); }},
        {"threads", [](const ProcStats& p) { return static_cast<double>(p.threads); }},
    };
    const double span = rows.empty() ? 1 : std::max(1.0, rows.back().seconds);
    std::ofstream out(path);
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << 3 * (kPanel + kTop) + 30
        << "\" font-family=\"sans-serif\" font-size=\"11\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    double top = kTop;
    for (const Panel& panel : panels) {
        double high = 1;
        for (const SampleRow& r : rows)
            for (const ProcStats& p : r.procs) high = std::max(high, panel.value(p));
        high *= 1.1;
        const double plotW = kWidth - kLeft - kRight;
        out << "<text x=\"" << kLeft << "\" y=\"" << top - 6 << "\">" << panel.title << " (max " << Fixed(high / 1.1, 1)
            << ") against minutes (0 to " << Fixed(span / 60, 1) << ")</text>\n";
        out << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << plotW << "\" height=\"" << kPanel
            << "\" fill=\"none\" stroke=\"#999\"/>\n";
        out << "<text x=\"" << kLeft - 4 << "\" y=\"" << top + 10 << "\" text-anchor=\"end\">" << Fixed(high, 0)
            << "</text><text x=\"" << kLeft - 4 << "\" y=\"" << top + kPanel << "\" text-anchor=\"end\">0</text>\n";
        for (size_t i = 0; i < names.size(); ++i) {
            const char* colour = kColours[i % (sizeof kColours / sizeof kColours[0])];
            out << "<polyline fill=\"none\" stroke=\"" << colour << "\" points=\"";
            for (const SampleRow& r : rows) {
                if (i >= r.procs.size() || !r.procs[i].Valid()) continue;
                const double x = kLeft + plotW * r.seconds / span;
                const double y = top + kPanel - kPanel * panel.value(r.procs[i]) / high;
                out << Fixed(x, 1) << ',' << Fixed(y, 1) << ' ';
            }
            out << "\"/>\n<text x=\"" << kWidth - kRight + 8 << "\" y=\"" << top + 14 + 14 * static_cast<double>(i)
                << "\" fill=\"" << colour << "\">" << names[i] << "</text>\n";
        }
        top += kPanel + kTop;
    }
    out << "</svg>\n";
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace travik_soak
