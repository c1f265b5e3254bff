#include "recording/replay.h"

#include <travik/travik.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <thread>

#include "cli/console.h"
#include "cli/options.h"
#include "cli/stats.h"
#include "cli/status_ticker.h"
#include "common/image_file.h"
#include "protocol/channel_rule.h"
#include "recording/mcap/read_ahead.h"
#include "recording/mcap/recording.h"

namespace travik_tool {

namespace {

using Clock = std::chrono::steady_clock;

// How long playing waits, once the first viewer is there, for its command
// (seen as the log stream opening) before it starts anyway.
constexpr auto kCommandGrace = std::chrono::seconds(1);
// After the last message: time for the send thread to hand it to viewers.
constexpr auto kDrain = std::chrono::seconds(1);
// Past the library's default interval (200 ms) after the priming images.
constexpr auto kPrimeLead = std::chrono::milliseconds(250);
// Lateness past which the schedule slips rather than catch up.
constexpr auto kMaxLate = std::chrono::milliseconds(20);
// With --loop, the shortest a pass through the file takes: a recording
// whose messages share one time (a single message, say) would otherwise
// replay as fast as the thread can go and flood the viewers.
constexpr auto kMinLoopPass = std::chrono::milliseconds(100);
// Sleeps until `due`, waking for a stop request. False when stopped.
bool SleepUntil(Clock::time_point due, StopSignal& stop) {
    for (;;) {
        auto left = due - Clock::now();
        if (left <= Clock::duration::zero()) return !stop.Requested();
        if (left > std::chrono::milliseconds(60)) {
            if (stop.WaitFor(std::chrono::milliseconds(50))) return false;
            continue;
        }
        std::this_thread::sleep_until(due);
    }
}

// How long `nanos` of the recording take at `speed`. A file's times are
// its writer's word: past a century the schedule stops growing, rather than
// overflowing the clock.
Clock::duration Played(uint64_t nanos, double speed) {
    const double played = static_cast<double>(nanos) / speed;
    constexpr double kCentury = 100.0 * 365 * 24 * 3600 * 1e9;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::nano>(played < kCentury ? played : kCentury));
}

// The mean step between a channel's images in one pass, the largest over
// the channels: how long after a pass's last image the next pass begins.
class PassCadence {
public:
    void Add(int channel, uint64_t offset) {
        if (channel < 0 || channel >= travik_mcap::kImageChannels) return;
        Span& s = m_spans[channel];
        s.first = s.count == 0 ? offset : std::min(s.first, offset);
        s.last = std::max(s.last, offset);
        ++s.count;
    }
    uint64_t Step() const {
        uint64_t step = 0;
        for (const Span& s : m_spans)
            if (s.count >= 2) step = std::max(step, (s.last - s.first) / (s.count - 1));
        return step;
    }

private:
    struct Span {
        uint64_t first = 0, last = 0, count = 0;
    };
    Span m_spans[travik_mcap::kImageChannels];
};

struct Progress {
    uint64_t logs = 0, logsRefused = 0, images = 0;
    Reservoir deviation;  // staging time minus due time, microseconds
};

}  // namespace

int RunReplay(const ReplayOptions& o, StopSignal& stop) {
    travik_mcap::FileSource source;
    std::string error;
    if (!source.Open(o.file, error)) {
        Status("travik replay: %s", error.c_str());
        return 1;
    }
    travik_mcap::Reader reader(source);
    // Refuse a foreign or broken file before opening the port.
    travik_mcap::ScanResult probe =
        reader.Scan([](const travik_mcap::Channel&, const travik_mcap::Message&) { return false; });
    if (probe.status == travik_mcap::ScanResult::kCorrupt) {
        Status("travik replay: %s: %s", o.file.c_str(), probe.error.c_str());
        return 1;
    }

    TravikMgr& mgr = *Singleton<TravikMgr>::GetInstance();
    if (mgr.Listen(o.bind.c_str(), o.port) != 0) {
        Status("travik replay: cannot listen on port %d at %s (in use?)", o.port, o.bind.c_str());
        return 1;
    }
    WarnWhenExposed(o.bind, false, false);
    Status("travik replay: %s at %.3gx%s; listening on port %d at %s, waiting for a viewer", o.file.c_str(), o.speed,
           o.loop ? ", looping" : "", o.port, o.bind.c_str());
    while (mgr.IsConnected() != 1) {
        if (stop.WaitFor(std::chrono::milliseconds(20))) {
            mgr.Release();
            Status("travik replay: stopped");
            return 0;
        }
    }
    travik_mcap::ReadAhead ahead(reader, o.loop);  // decodes the first chunk while the viewer settles
    // The library drops the first image of each channel after Listen (it
    // only starts the channel's timer); spend that on an empty image now so
    // that the recording's first images go out.
    unsigned char none = 0;
    for (int c = 0; c < travik_mcap::kImageChannels; ++c) {
        int a1 = 0, a5 = 0;
        travik::ChannelAttrs(c, a1, a5);
        mgr.SendImageData(a1, kFormatOpaque, 0, 0, a5, &none, 0, 0);
    }
    const auto primed = Clock::now();
    char empty[] = "";
    const auto graceEnd = Clock::now() + kCommandGrace;
    while (mgr.SendLogInfo(empty, 0) != 0 && Clock::now() < graceEnd) {
        if (stop.WaitFor(std::chrono::milliseconds(5))) break;
    }

    Progress progress;
    // The first images go out more than the default interval after the
    // priming, so that they pass the gate even if the viewer's command (its
    // own interval) is still being applied.
    auto passStart = std::max(Clock::now(), primed + kPrimeLead);
    StatusTicker ticker(passStart);
    int rc = 0, pass = 1;
    bool stopped = false, haveFirst = false;
    uint64_t t0 = 0, lastOffset = 0;
    PassCadence cadence;
    for (;;) {
        travik_mcap::ReadAheadItem item = ahead.Pop();
        if (item.kind == travik_mcap::ReadAheadItem::kEnd) break;
        if (item.kind == travik_mcap::ReadAheadItem::kEndOfPass) {
            // The next pass goes on at the recording's own pace: one frame
            // step after the last image, not at its instant, which the
            // viewer's interval gate would take as too soon and drop.
            const uint64_t step = cadence.Step();
            const uint64_t passNanos = lastOffset > UINT64_MAX - step ? UINT64_MAX : lastOffset + step;
            passStart += std::max<Clock::duration>(kMinLoopPass, Played(passNanos, o.speed));
            haveFirst = false;
            lastOffset = 0;
            cadence = PassCadence();
            ++pass;
            continue;
        }
        if (!haveFirst) {
            haveFirst = true;
            t0 = item.logTime;
        }
        const uint64_t offset = item.logTime > t0 ? item.logTime - t0 : 0;
        lastOffset = std::max(lastOffset, offset);
        if (item.kind == travik_mcap::ReadAheadItem::kImage)
            cadence.Add(travik::ChannelOf(item.attrs[0], item.attrs[4]), offset);
        const auto due = passStart + Played(offset, o.speed);
        if (!SleepUntil(due, stop)) {
            stopped = true;
            break;
        }
        const auto now = Clock::now();
        progress.deviation.Add(std::chrono::duration_cast<std::chrono::microseconds>(now - due).count());
        // Behind schedule (the process was not scheduled, the disk was slow):
        // the schedule slips instead of catching up in a burst, which would
        // put two images of a channel closer than recorded and let the
        // library's interval gate drop the second.
        if (now - due > kMaxLate) passStart += now - due;
        if (item.kind == travik_mcap::ReadAheadItem::kLog) {
            // std::string keeps a NUL after its bytes, which is where the library stops reading.
            ++(mgr.SendLogInfo(&item.bytes[0], static_cast<int>(item.bytes.size())) == 0 ? progress.logs
                                                                                         : progress.logsRefused);
        } else {
            // The library copies the bytes; it does not write through the pointer.
            mgr.SendImageData(item.attrs[0], item.attrs[1], item.attrs[2], item.attrs[3], item.attrs[4],
                              reinterpret_cast<unsigned char*>(&item.bytes[0]), static_cast<int>(item.bytes.size()),
                              item.tag);
            ++progress.images;
        }
        double window = 0;
        if (ticker.Due(now, window)) {
            Status("[replay] pass %d, t %.1f s | staged %" PRIu64 " images, %" PRIu64 " log texts | viewers %s", pass,
                   static_cast<double>(offset) / 1e9, progress.images, progress.logs,
                   mgr.IsConnected() == 1 ? "yes" : "none");
        }
    }
    ahead.Stop();
    if (!stopped) {
        const travik_mcap::ScanResult r = ahead.Result();
        const std::string error = ahead.Error();
        if (!error.empty() || r.status == travik_mcap::ScanResult::kCorrupt) {
            Status("travik replay: %s: %s", o.file.c_str(), error.empty() ? r.error.c_str() : error.c_str());
            rc = 1;
        } else if (r.status == travik_mcap::ScanResult::kTruncated) {
            Status("travik replay: %s: %s; played up to there", o.file.c_str(), r.error.c_str());
        }
        if (r.skippedChunks > 0)
            Status("travik replay: warning: %s: %s%s; played the rest", o.file.c_str(),
                   travik_mcap::DescribeSkipped(r).c_str(), o.loop ? " in each pass" : "");
    }
    if (!stopped && rc == 0) stop.WaitFor(kDrain);
    mgr.Release();
    const auto& dev = progress.deviation.Values();
    Status("travik replay: staged %" PRIu64 " images and %" PRIu64 " log texts (%" PRIu64
           " refused: log stream closed); pace deviation p50 %" PRId64 " us, p99 %" PRId64 " us",
           progress.images, progress.logs, progress.logsRefused, Percentile(dev, 50), Percentile(dev, 99));
    return rc;
}

}  // namespace travik_tool
