#include "replay.h"

#include <travik/travik.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <thread>

#include "console.h"
#include "image_file.h"
#include "mcap/recording.h"
#include "stats.h"

namespace travik_tool {

namespace {

using Clock = std::chrono::steady_clock;

// How long playing waits, once the first viewer is there, for its command
// (seen as the log stream opening) before it starts anyway.
constexpr auto kCommandGrace = std::chrono::milliseconds(500);
// After the last message: time for the send thread to hand it to viewers.
constexpr auto kDrain = std::chrono::seconds(1);

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
    if (mgr.Listen(o.port) != 0) {
        Status("travik replay: cannot listen on port %d (in use?)", o.port);
        return 1;
    }
    Status("travik replay: %s at %.3gx%s; listening on port %d, waiting for a viewer", o.file.c_str(), o.speed,
           o.loop ? ", looping" : "", o.port);
    while (mgr.IsConnected() != 1) {
        if (stop.WaitFor(std::chrono::milliseconds(20))) {
            mgr.Release();
            Status("travik replay: stopped");
            return 0;
        }
    }
    // The library drops the first image of each channel after Listen (it
    // only starts the channel's timer); spend that on an empty image now so
    // that the recording's first images go out.
    unsigned char none = 0;
    for (int c = 0; c < travik_mcap::kImageChannels; ++c) {
        int a1 = 0, a5 = 0;
        ChannelAttrs(c, a1, a5);
        mgr.SendImageData(a1, kFormatOpaque, 0, 0, a5, &none, 0, 0);
    }
    char empty[] = "";
    const auto graceEnd = Clock::now() + kCommandGrace;
    while (mgr.SendLogInfo(empty, 0) != 0 && Clock::now() < graceEnd) {
        if (stop.WaitFor(std::chrono::milliseconds(5))) break;
    }

    Progress progress;
    std::string text;
    auto passStart = Clock::now();
    auto lastStatus = passStart;
    int rc = 0;
    bool stopped = false;
    for (int pass = 1; !stopped; ++pass) {
        bool haveFirst = false;
        uint64_t t0 = 0, lastOffset = 0;
        travik_mcap::ScanResult r = reader.Scan([&](const travik_mcap::Channel& ch, const travik_mcap::Message& m) {
            travik_mcap::Decoded d;
            if (!travik_mcap::DecodeMessage(ch, m, d, error)) return false;
            if (d.kind == travik_mcap::Decoded::kOther) return true;
            if (!haveFirst) {
                haveFirst = true;
                t0 = m.logTime;
            }
            const uint64_t offset = m.logTime > t0 ? m.logTime - t0 : 0;
            lastOffset = std::max(lastOffset, offset);
            const auto due =
                passStart + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double, std::nano>(static_cast<double>(offset) / o.speed));
            if (!SleepUntil(due, stop)) {
                stopped = true;
                return false;
            }
            const auto now = Clock::now();
            progress.deviation.Add(std::chrono::duration_cast<std::chrono::microseconds>(now - due).count());
            if (d.kind == travik_mcap::Decoded::kLog) {
                text.assign(reinterpret_cast<const char*>(d.data), d.size);  // NUL-terminated for the library
                ++(mgr.SendLogInfo(&text[0], static_cast<int>(text.size())) == 0 ? progress.logs
                                                                                 : progress.logsRefused);
            } else {
                // The library copies the bytes; it does not write through the pointer.
                mgr.SendImageData(d.attrs[0], d.attrs[1], d.attrs[2], d.attrs[3], d.attrs[4],
                                  const_cast<unsigned char*>(d.data), static_cast<int>(d.size), d.tag);
                ++progress.images;
            }
            if (now - lastStatus >= std::chrono::seconds(1)) {
                lastStatus = now;
                Status("[replay] pass %d, t %.1f s | staged %" PRIu64 " images, %" PRIu64 " log texts | viewers %s",
                       pass, static_cast<double>(offset) / 1e9, progress.images, progress.logs,
                       mgr.IsConnected() == 1 ? "yes" : "none");
            }
            return true;
        });
        if (!error.empty()) {
            Status("travik replay: %s: %s", o.file.c_str(), error.c_str());
            rc = 1;
            break;
        }
        if (r.status == travik_mcap::ScanResult::kCorrupt) {
            Status("travik replay: %s: %s", o.file.c_str(), r.error.c_str());
            rc = 1;
            break;
        }
        if (r.status == travik_mcap::ScanResult::kTruncated && pass == 1)
            Status("travik replay: %s: %s; played up to there", o.file.c_str(), r.error.c_str());
        if (stopped || !o.loop || !haveFirst) break;
        passStart += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::nano>(static_cast<double>(lastOffset) / o.speed));
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
