#include "live/device.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "cli/console.h"
#include "cli/stats.h"
#include "cli/status_ticker.h"
#include "common/test_pattern.h"
#include "common/wire_meter.h"
#include "platform/clock.h"

namespace travik_tool {

using Clock = std::chrono::steady_clock;

DeviceHost::DeviceHost(TravikMgr& mgr, DeviceConfig config) : m_mgr(mgr), m_config(std::move(config)) {}

DeviceHost::~DeviceHost() { StopProducing(); }

int DeviceHost::Listen() {
    if (!m_config.tls.certFile.empty() && m_mgr.SetTls(m_config.tls) != 0) return -1;
    return m_mgr.Listen(m_config.bind.c_str(), m_config.port);
}

void DeviceHost::StartProducing() {
    if (m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
    }
    m_thread = std::thread(&DeviceHost::Produce, this);
}

void DeviceHost::StopProducing() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool DeviceHost::Log(const std::string& text) {
    // SendLogInfo takes the text up to its first NUL and does not keep the pointer.
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    bool ok = m_mgr.SendLogInfo(buf.data(), static_cast<int>(text.size())) == 0;
    ++(ok ? m_logsStaged : m_logsRefused);
    return ok;
}

DeviceCounters DeviceHost::Counters() const {
    DeviceCounters c;
    for (int i = 0; i < travik::kImageChannels; ++i) {
        c.offered[i] = m_offered[i].load();
        c.offeredBytes[i] = m_offeredBytes[i].load();
        c.refused[i] = m_refused[i].load();
    }
    c.frames = m_frames.load();
    c.logsStaged = m_logsStaged.load();
    c.logsRefused = m_logsRefused.load();
    return c;
}

void DeviceHost::StageImages(uint64_t frame) {
    for (const SyntheticCamera& src : m_config.cameras) {
        int attr1 = 0, attr5 = 0;
        travik::ChannelAttrs(src.channel, attr1, attr5);
        std::shared_ptr<unsigned char> data;
        int len = 0, attr2 = src.attr2, width = src.width, height = src.height;
        if (!m_config.files.empty()) {
            const LoadedImage& file = m_config.files[m_nextFile++ % m_config.files.size()];
            // Shared, not copied: the library only reads the bytes.
            data = file.data;
            len = file.len;
            attr2 = file.attr2;
            width = file.width;
            height = file.height;
        } else {
            size_t n = static_cast<size_t>(width) * static_cast<size_t>(height) * (attr2 == kFormatRgb ? 3u : 1u);
            data = std::shared_ptr<unsigned char>(new unsigned char[n], std::default_delete<unsigned char[]>());
            DrawTestPattern(data.get(), width, height, attr2, src.channel, frame, m_config.noise);
            len = static_cast<int>(n);
        }
        uint64_t tag = static_cast<uint64_t>(travik::NowMicros());  // capture time
        int rc = m_mgr.SendImageDataPtr(attr1, attr2, width, height, attr5, data, len, tag);
        int c = src.channel % travik::kImageChannels;
        if (rc == 0) {
            ++m_offered[c];
            m_offeredBytes[c] += static_cast<uint64_t>(len);
        } else {
            ++m_refused[c];
        }
    }
    ++m_frames;
}

void DeviceHost::StageLog(uint64_t frame, double uptime) {
    char line[160];
    std::snprintf(line, sizeof line, "device log line %" PRIu64 ": frame %" PRIu64 ", uptime %.2f s\n",
                  m_logsStaged.load() + m_logsRefused.load() + 1, frame, uptime);
    Log(line);
}

void DeviceHost::Produce() {
    using Seconds = std::chrono::duration<double>;
    const auto start = Clock::now();
    const bool images = !m_config.cameras.empty() && m_config.fps > 0;
    const bool logs = m_config.logRate > 0;
    const auto framePeriod = std::chrono::duration_cast<Clock::duration>(Seconds(images ? 1.0 / m_config.fps : 1.0));
    const auto logPeriod = std::chrono::duration_cast<Clock::duration>(Seconds(logs ? 1.0 / m_config.logRate : 1.0));
    auto nextFrame = start;
    auto nextLog = start + logPeriod;
    uint64_t frame = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        lock.unlock();
        auto now = Clock::now();
        if (images && now >= nextFrame) {
            StageImages(frame++);
            nextFrame += framePeriod;
            // After a stall, carry on at the rate rather than catch up in a burst.
            if (nextFrame < now) nextFrame = now + framePeriod;
        }
        if (logs && now >= nextLog) {
            StageLog(frame, Seconds(now - start).count());
            nextLog += logPeriod;
            if (nextLog < now) nextLog = now + logPeriod;
        }
        auto wake = Clock::time_point::max();
        if (images) wake = std::min(wake, nextFrame);
        if (logs) wake = std::min(wake, nextLog);
        lock.lock();
        if (wake == Clock::time_point::max()) {
            m_cond.wait(lock, [this] { return m_stop; });
        } else {
            m_cond.wait_until(lock, wake, [this] { return m_stop; });
        }
    }
}

namespace {

void PrintDeviceStatus(const DeviceCounters& now, const DeviceCounters& before, const WireSample& wire,
                       const WireSample& wireBefore, double seconds) {
    std::string line = "[device] viewers " + std::to_string(wire.connections) + " | offered/s";
    uint64_t bytes = 0;
    for (int c = 0; c < travik::kImageChannels; ++c) {
        bytes += now.offeredBytes[c] - before.offeredBytes[c];
        if (now.offered[c] + now.refused[c] == 0) continue;
        char part[48];
        std::snprintf(part, sizeof part, " ch%d %.0f", c,
                      static_cast<double>(now.offered[c] - before.offered[c]) / seconds);
        line += part;
    }
    char tail[256];
    std::snprintf(tail, sizeof tail, " | raw offered %s MB/s | wire %s | logs %.0f/s (refused %" PRIu64 ")",
                  FormatMB(static_cast<double>(bytes) / seconds).c_str(),
                  wire.available && wire.connections > 0
                      ? (FormatMB(static_cast<double>(wire.bytesOut - wireBefore.bytesOut) / seconds) + " MB/s").c_str()
                      : "-",
                  static_cast<double>(now.logsStaged - before.logsStaged) / seconds,
                  now.logsRefused - before.logsRefused);
    Status("%s%s", line.c_str(), tail);
}

}  // namespace

int RunDevice(const DeviceOptions& options, StopSignal& stop) {
    DeviceConfig config;
    config.port = options.port;
    config.bind = options.bind;
    config.tls.certFile = options.tlsCert;
    config.tls.keyFile = options.tlsKey;
    config.tls.caFile = options.tlsClientCa;
    const bool tls = !options.tlsCert.empty();
    if (tls && TravikMgr::TlsAvailable() == 0) {
        Status("travik device: --tls-cert is not available in this build (the library was built without TLS)");
        return 2;
    }
    config.fps = options.fps;
    config.logRate = options.logRate;
    config.noise = options.noise;
    int width = 0, height = 0;
    if (!ParseSize(options.size, width, height)) {
        Status("travik device: bad --size %s", options.size.c_str());
        return 2;
    }
    std::vector<int> channels = options.channels;
    std::sort(channels.begin(), channels.end());
    channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
    for (int c : channels) {
        config.cameras.push_back(SyntheticCamera{c, options.format == "rgb" ? kFormatRgb : kFormatGray, width, height});
    }
    std::string error;
    if (!options.imagesDir.empty() && !LoadImageDir(options.imagesDir, config.files, error)) {
        Status("travik device: %s", error.c_str());
        return 1;
    }

    TravikMgr& mgr = *Singleton<TravikMgr>::GetInstance();
    DeviceHost host(mgr, config);
    if (host.Listen() != 0) {
        Status("travik device: cannot listen on port %d at %s (%s)", options.port, options.bind.c_str(),
               tls ? "in use, not a local address, or a TLS file the library refused: see the line above"
                   : "in use, not a local address, or not allowed");
        return 1;
    }
    WarnWhenExposed(options.bind, !options.tlsCert.empty(), !options.tlsClientCa.empty());
    // After Listen, so that flags given on the command line win over the
    // environment variables Listen reads.
    if (options.level > 0 || options.compressThreads >= 0) {
        mgr.SetCompression(options.level > 0 ? options.level : mgr.m_compressLevel.load(),
                           options.compressThreads >= 0 ? options.compressThreads : mgr.m_compressThreads.load());
    }
    std::string what =
        config.files.empty()
            ? std::to_string(width) + "x" + std::to_string(height) + " " + options.format + " test frames"
            : std::to_string(config.files.size()) + " file(s) from " + options.imagesDir;
    Status("travik device: listening on port %d at %s%s; %s on channel(s) %s at %g fps, %g log lines/s; Ctrl-C stops",
           options.port, options.bind.c_str(),
           !tls                          ? ""
           : options.tlsClientCa.empty() ? " (TLS)"
                                         : " (TLS, viewers need a certificate)",
           what.c_str(), JoinChannels(channels).c_str(), options.fps, options.logRate);
    host.StartProducing();

    WireMeter meter(WireMeter::Match::LocalPort, options.port);
    const auto start = Clock::now();
    StatusTicker ticker(start);
    DeviceCounters before = host.Counters();
    WireSample wireBefore = meter.Poll();
    const bool timed = options.duration > 0;
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration));
    for (;;) {
        auto now = Clock::now();
        if (timed && now >= end) break;
        auto next = ticker.NextDue();
        if (timed) next = std::min(next, end);
        if (stop.WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(next - now) +
                         std::chrono::milliseconds(1)))
            break;
        double seconds = 0;
        if (ticker.Due(Clock::now(), seconds)) {
            DeviceCounters counters = host.Counters();
            WireSample wire = meter.Poll();
            PrintDeviceStatus(counters, before, wire, wireBefore, seconds);
            before = counters;
            wireBefore = wire;
        }
    }
    host.StopProducing();
    mgr.Release();
    DeviceCounters total = host.Counters();
    uint64_t offered = 0;
    for (int c = 0; c < travik::kImageChannels; ++c) offered += total.offered[c];
    Status("travik device: stopped after %.1f s: %" PRIu64 " frames produced, %" PRIu64 " images offered, %" PRIu64
           " log lines staged, %" PRIu64 " refused",
           std::chrono::duration<double>(Clock::now() - start).count(), total.frames, offered, total.logsStaged,
           total.logsRefused);
    return 0;
}

}  // namespace travik_tool
