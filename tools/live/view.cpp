#include "live/view.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstring>

#include "cli/console.h"
#include "cli/status_ticker.h"
#include "cli/terminal_text.h"
#include "common/wire_meter.h"
#include "platform/clock.h"

namespace travik_tool {

namespace {

using Clock = std::chrono::steady_clock;

// The writer's queue holds images by reference; past these it drops saves
// rather than let memory grow while the disk is slow.
constexpr size_t kMaxQueuedJobs = 256;
constexpr size_t kMaxQueuedBytes = 256u << 20;

}  // namespace

ViewerHost::ViewerHost(ViewSource& source, ViewConfig config)
    : m_source(source), m_config(std::move(config)), m_logTerminal(IsTerminal(m_config.logOut)) {}

ViewerHost::~ViewerHost() {
    std::string ignored;
    FinishOutput(ignored);
}

bool ViewerHost::OpenOutput(std::string& error) {
    if (m_config.outDir.empty()) return true;
    if (!PrepareOutputDir(m_config.outDir, error)) return false;
    if (!m_index.Open(m_config.outDir + "/index.csv", error)) return false;
    m_writer = std::thread(&ViewerHost::WriteFiles, this);
    return true;
}

int ViewerHost::Connect() {
    SourceWish wish;
    wish.logs = m_config.logs;
    for (int c = 0; c < travik::kImageChannels; ++c) wish.channels[c] = m_config.channels[c];
    wish.intervalMs = m_config.intervalMs;
    return m_source.Connect(
        wish, [this](std::string& text) { OnLog(text); },
        [this](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
               unsigned long long tag) { OnImage(a1, a2, a3, a4, a5, data, len, tag); });
}

bool ViewerHost::Up() { return m_source.Up(); }

void ViewerHost::Disconnect() { m_source.Release(); }

bool ViewerHost::Done() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.count > 0 && m_total >= m_config.count;
}

void ViewerHost::OnLog(std::string& text) {
    uint64_t lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    if (!text.empty() && text.back() != '\n') ++lines;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_logTexts;
        m_logLines += lines;
        ++m_window.logTexts;
        m_window.logLines += lines;
    }
    if (m_config.logOut && !text.empty()) {
        if (m_logTerminal) MakeTerminalSafe(text);
        std::fwrite(text.data(), 1, text.size(), m_config.logOut);
        if (text.back() != '\n') std::fputc('\n', m_config.logOut);
        std::fflush(m_config.logOut);
    }
}

void ViewerHost::OnImage(int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                         uint64_t tag) {
    const uint64_t now = static_cast<uint64_t>(travik::NowMicros());
    const int channel = travik::ChannelOf(a1, a5);
    int64_t latency = 0;
    const bool hasLatency = LatencyOf(tag, now, latency);
    bool save = false;
    uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_config.count > 0 && m_total >= m_config.count) return;
        ++m_total;
        ChannelStats& cs = m_channels[channel];
        seq = ++cs.images;
        cs.bytes += static_cast<uint64_t>(len);
        ++m_window.images[channel];
        m_window.bytes[channel] += static_cast<uint64_t>(len);
        if (hasLatency) {
            cs.latency.Add(latency);
            m_allLatency.Add(latency);
            m_window.latency.push_back(latency);
        }
        if (!m_config.outDir.empty()) {
            uint64_t period = static_cast<uint64_t>(m_config.saveEveryMs) * 1000;
            if (period == 0 || m_lastSave[channel] == 0 || now - m_lastSave[channel] >= period) {
                save = true;
                m_lastSave[channel] = now;
            }
        }
    }
    if (!save) return;
    SaveJob job;
    job.file = ImageFileName(channel, seq, ExtensionFor(a2, a3, a4, len));
    job.time = now;
    job.channel = channel;
    int attrs[5] = {a1, a2, a3, a4, a5};
    std::copy(attrs, attrs + 5, job.attrs);
    job.tag = tag;
    job.data = data;  // the library hands over a buffer the callee may keep
    job.len = len;
    job.hasLatency = hasLatency;
    job.latency = latency;
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_writerStop || m_outputFailed.load() || m_queue.size() >= kMaxQueuedJobs ||
        m_queuedBytes + static_cast<size_t>(len) > kMaxQueuedBytes) {
        ++m_notSaved;
        return;
    }
    m_queuedBytes += static_cast<size_t>(len);
    m_queue.push_back(std::move(job));
    m_queueCond.notify_one();
}

void ViewerHost::WriteFiles() {
    std::unique_lock<std::mutex> lock(m_queueMutex);
    for (;;) {
        m_queueCond.wait(lock, [this] { return m_writerStop || !m_queue.empty(); });
        if (m_queue.empty()) return;  // stop requested and all written
        SaveJob job = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        std::string error;
        // After a failed write the disk is full or the file size limit
        // reached: nothing more is written, and the run ends with the error.
        bool ok = !m_outputFailed.load() && WriteImageFile(m_config.outDir + "/" + job.file, job.attrs[1], job.attrs[2],
                                                           job.attrs[3], job.data.get(), job.len, error);
        if (ok &&
            !m_index.Row(job.time, job.channel, job.attrs, job.tag, job.len, job.hasLatency, job.latency, job.file)) {
            // An image missing from the index is as lost as an unwritten one.
            const int err = errno;
            ok = false;
            error = m_index.Path() + ": write failed" + (err ? std::string(": ") + std::strerror(err) : std::string());
        }
        if (!ok && !error.empty() && !m_outputFailed.load()) {
            m_outputError = error;
            m_outputFailed = true;
        }
        lock.lock();
        m_queuedBytes -= static_cast<size_t>(job.len);
        ++(ok ? m_saved : m_notSaved);
    }
}

bool ViewerHost::FinishOutput(std::string& error) {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_writerStop = true;
    }
    m_queueCond.notify_all();
    if (m_writer.joinable()) m_writer.join();
    if (m_config.outDir.empty()) return true;
    // Buffered rows may fail only when flushed here.
    errno = 0;
    const bool closed = m_index.Close();
    const int err = errno;
    if (m_outputFailed.load()) {
        error = m_outputError;
        return false;
    }
    if (closed) return true;
    error = m_index.Path() + ": write failed" + (err ? std::string(": ") + std::strerror(err) : std::string());
    return false;
}

ViewCounts ViewerHost::TakeWindow() {
    ViewCounts window;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(window, m_window);
    }
    return window;
}

ViewCounts ViewerHost::Totals() {
    ViewCounts totals;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int c = 0; c < travik::kImageChannels; ++c) {
            totals.images[c] = m_channels[c].images;
            totals.bytes[c] = m_channels[c].bytes;
        }
        totals.logTexts = m_logTexts;
        totals.logLines = m_logLines;
    }
    std::lock_guard<std::mutex> lock(m_queueMutex);
    totals.saved = m_saved;
    totals.notSaved = m_notSaved;
    return totals;
}

bool ViewerHost::LatencyPercentiles(int channel, int64_t& p50, int64_t& p99) {
    std::vector<int64_t> values;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        values = channel < 0 ? m_allLatency.Values() : m_channels[channel % travik::kImageChannels].latency.Values();
    }
    if (values.empty()) return false;
    p50 = Percentile(values, 50);
    p99 = Percentile(values, 99);
    return true;
}

namespace {

void PrintViewStatus(const ViewCounts& window, const WireSample& wire, const WireSample& wireBefore, double seconds) {
    std::string line = "[view] images/s";
    uint64_t bytes = 0;
    for (int c = 0; c < travik::kImageChannels; ++c) {
        bytes += window.bytes[c];
        char part[32];
        std::snprintf(part, sizeof part, " ch%d %.1f", c, static_cast<double>(window.images[c]) / seconds);
        line += part;
    }
    line += " | raw " + FormatMB(static_cast<double>(bytes) / seconds) + " MB/s";
    if (wire.available) {
        uint64_t in = wire.bytesIn - wireBefore.bytesIn;
        line += ", wire " + FormatMB(static_cast<double>(in) / seconds) + " MB/s";
        if (in > 0 && bytes > 0) {
            char ratio[32];
            std::snprintf(ratio, sizeof ratio, " (ratio %.1f:1)", static_cast<double>(bytes) / static_cast<double>(in));
            line += ratio;
        }
    }
    if (!window.latency.empty()) {
        line += " | latency p50 " + FormatMicros(Percentile(window.latency, 50)) + " p99 " +
                FormatMicros(Percentile(window.latency, 99));
    }
    char logs[48];
    std::snprintf(logs, sizeof logs, " | logs %" PRIu64 " lines", window.logLines);
    line += logs;
    Status("%s", line.c_str());
}

// Connects, retrying every second when `retry` until stopped or past
// `deadline`. True when connected.
bool ConnectLoop(ViewerHost& viewer, bool retry, StopSignal& stop, bool timed, Clock::time_point deadline) {
    for (;;) {
        if (viewer.Connect() == 0) return true;
        viewer.Disconnect();
        if (!retry) return false;
        if (stop.WaitFor(std::chrono::seconds(1))) return false;
        if (timed && Clock::now() >= deadline) return false;
    }
}

}  // namespace

int RunView(const ViewOptions& options, ViewSource& source, StopSignal& stop, FILE* out) {
    ViewConfig config;
    config.logs = options.logs;
    for (bool& on : config.channels) on = false;
    for (int c : options.channels) config.channels[c % travik::kImageChannels] = true;
    config.intervalMs = options.interval;
    config.outDir = options.outDir;
    config.count = options.count > 0 ? static_cast<uint64_t>(options.count) : 0;
    config.logOut = out;

    // A file size limit is reported as a failed write, not as SIGXFSZ.
#if defined(SIGXFSZ)  // POSIX only
    if (!config.outDir.empty()) std::signal(SIGXFSZ, SIG_IGN);
#endif
    ViewerHost viewer(source, config);
    std::string error;
    if (!viewer.OpenOutput(error)) {
        Status("travik view: %s", error.c_str());
        return 1;
    }
    const auto start = Clock::now();
    const bool timed = options.duration > 0;
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration));
    const std::string where = source.Where();
    const int port = source.DevicePort();
    if (options.reconnect) Status("travik view: connecting to %s (retrying every second)", where.c_str());
    if (!ConnectLoop(viewer, options.reconnect, stop, timed, deadline)) {
        viewer.FinishOutput(error);
        if (stop.Requested()) return 0;  // Ctrl-C while waiting for the device
        Status("travik view: cannot connect to %s (%s)", where.c_str(), ConnectHint(where));
        return 1;
    }
    Status("travik view: connected to %s; logs %s, channels %s, interval %d ms%s%s", where.c_str(),
           options.logs ? "on" : "off", JoinChannels(options.channels).c_str(), options.interval,
           options.outDir.empty() ? "" : ", saving to ", options.outDir.c_str());

    WireMeter meter(WireMeter::Match::PeerPort, port);
    WireSample wireBefore = meter.Poll();
    StatusTicker ticker;
    int rc = 0;
    for (;;) {
        if (stop.WaitFor(std::chrono::milliseconds(50))) break;
        auto now = Clock::now();
        if (viewer.Done() || (timed && now >= deadline) || viewer.OutputFailed()) break;
        if (!viewer.Up()) {
            if (!options.reconnect) {
                Status("travik view: connection to %s lost", where.c_str());
                rc = 1;
                break;
            }
            Status("travik view: connection to %s lost; reconnecting every second", where.c_str());
            viewer.Disconnect();
            if (!ConnectLoop(viewer, true, stop, timed, deadline)) break;
            Status("travik view: reconnected to %s", where.c_str());
            meter = WireMeter(WireMeter::Match::PeerPort, port);
            wireBefore = meter.Poll();
        }
        double seconds = 0;
        if (ticker.Due(now, seconds)) {
            WireSample wire = meter.Poll();
            PrintViewStatus(viewer.TakeWindow(), wire, wireBefore, seconds);
            wireBefore = wire;
        }
    }
    viewer.Disconnect();
    if (!viewer.FinishOutput(error)) {
        Status("travik view: %s", error.c_str());
        rc = 1;
    }
    ViewCounts totals = viewer.Totals();
    uint64_t images = 0;
    std::string perChannel;
    for (int c = 0; c < travik::kImageChannels; ++c) {
        images += totals.images[c];
        perChannel += " ch" + std::to_string(c) + " " + std::to_string(totals.images[c]);
    }
    Status("travik view: %" PRIu64 " images (%s), %" PRIu64 " log lines in %.1f s%s%s%s", images,
           perChannel.c_str() + 1, totals.logLines, std::chrono::duration<double>(Clock::now() - start).count(),
           options.outDir.empty() ? "" : "; saved ",
           options.outDir.empty() ? "" : (std::to_string(totals.saved) + " to " + options.outDir).c_str(),
           totals.notSaved ? (", " + std::to_string(totals.notSaved) + " not saved").c_str() : "");
    return rc;
}

}  // namespace travik_tool
