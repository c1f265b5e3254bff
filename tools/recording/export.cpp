#include "recording/export.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>

#include "cli/console.h"
#include "cli/stats.h"
#include "cli/status_ticker.h"
#include "common/annex_b.h"
#include "common/image_file.h"
#include "protocol/channel_rule.h"
#include "recording/mcap/recording.h"

namespace travik_tool {

namespace {

// DIR/chC.h264 of each channel with video: the access units one after the
// other, an Annex B elementary stream that players open as it is. Opened at
// the channel's first unit.
class VideoStreams {
public:
    ~VideoStreams() {
        for (FILE* f : m_files)
            if (f) std::fclose(f);
    }
    bool Write(const std::string& dir, int channel, const uint8_t* data, size_t size, std::string& error) {
        FILE*& f = m_files[channel];
        const std::string path = dir + "/ch" + std::to_string(channel) + ".h264";
        if (!f && !(f = std::fopen(path.c_str(), "wb"))) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        if (std::fwrite(data, 1, size, f) != size) {
            error = path + ": write failed: " + std::strerror(errno);
            return false;
        }
        ++m_units;
        return true;
    }
    // Flushes and closes each stream; false with `error` for the first that fails.
    bool Close(const std::string& dir, std::string& error) {
        bool ok = true;
        for (int c = 0; c < travik_mcap::kImageChannels; ++c) {
            FILE*& f = m_files[c];
            if (!f) continue;
            errno = 0;
            const bool closed = !std::ferror(f) && std::fclose(f) == 0;
            f = nullptr;
            if (!closed && ok) {
                error = dir + "/ch" + std::to_string(c) + ".h264: write failed: " + std::strerror(errno);
                ok = false;
            }
        }
        return ok;
    }
    uint64_t Units() const { return m_units; }

private:
    FILE* m_files[travik_mcap::kImageChannels] = {};
    uint64_t m_units = 0;
};

}  // namespace

int RunExport(const ExportOptions& o, StopSignal& stop) {
    travik_mcap::FileSource source;
    std::string error;
    if (!source.Open(o.file, error)) {
        Status("travik export: %s", error.c_str());
        return 1;
    }
    if (!PrepareOutputDir(o.dir, error)) {
        Status("travik export: %s", error.c_str());
        return 1;
    }
    // A file size limit is reported as a failed write, not as SIGXFSZ (POSIX only).
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    IndexCsv index;
    if (!index.Open(o.dir + "/index.csv", error)) {
        Status("travik export: %s", error.c_str());
        return 1;
    }
    const std::string logPath = o.dir + "/log.txt";
    // Binary, so the log text stays byte for byte on Windows too (no CR added before LF).
    FILE* log = std::fopen(logPath.c_str(), "wb");
    if (!log) {
        Status("travik export: %s: %s", logPath.c_str(), std::strerror(errno));
        return 1;
    }
    bool wanted[travik_mcap::kImageChannels] = {};
    for (int c : o.channels)
        if (travik::ValidChannel(c)) wanted[c] = true;
    uint64_t seq[travik_mcap::kImageChannels] = {};
    uint64_t logTexts = 0, images = 0;
    VideoStreams video;
    travik_mcap::Reader reader(source);
    travik_mcap::MessageDecoder decoder;
    StatusTicker ticker;
    travik_mcap::ScanResult r = reader.Scan([&](const travik_mcap::Channel& ch, const travik_mcap::Message& m) {
        if (stop.Requested()) return false;
        double window = 0;
        if (ticker.Due(StatusTicker::Clock::now(), window)) {
            Status("[export] %" PRIu64 " images, %" PRIu64 " log texts (chunk at offset %" PRIu64 " of %" PRIu64 ")",
                   images, logTexts, m.recordOffset, source.Size());
        }
        travik_mcap::Decoded d;
        if (!decoder.Decode(ch, m, d, error)) return false;
        if (d.kind == travik_mcap::Decoded::kLog) {
            // As `travik view` prints a log text: its bytes, then a newline unless it ends with one.
            if (d.size > 0 && (std::fwrite(d.data, 1, d.size, log) != d.size ||
                               (d.data[d.size - 1] != '\n' && std::fputc('\n', log) == EOF))) {
                error = logPath + ": write failed: " + std::strerror(errno);
                return false;
            }
            ++logTexts;
        } else if (d.kind == travik_mcap::Decoded::kImage && wanted[d.channel]) {
            const int len = static_cast<int>(d.size);  // at most a chunk, 128 MiB
            const uint64_t timeMicros = m.logTime / 1000;
            std::string file =
                ImageFileName(d.channel, ++seq[d.channel], ExtensionFor(d.attrs[1], d.attrs[2], d.attrs[3], len));
            if (!WriteImageFile(o.dir + "/" + file, d.attrs[1], d.attrs[2], d.attrs[3], d.data, len, error))
                return false;
            int64_t latency = 0;
            const bool hasLatency = LatencyOf(d.tag, timeMicros, latency);
            if (!index.Row(timeMicros, d.channel, d.attrs, d.tag, len, hasLatency, latency, file)) {
                error = index.Path() + ": write failed: " + std::strerror(errno);
                return false;
            }
            ++images;
        } else if (d.kind == travik_mcap::Decoded::kVideo && wanted[d.channel]) {
            if (!video.Write(o.dir, d.channel, d.data, d.size, error)) return false;
        }
        return true;
    });
    std::string videoError;
    const bool videoOk = video.Close(o.dir, videoError);
    if (error.empty() && !videoOk) error = videoError;
    // Buffered writes may fail only when flushed here: a full disk or a file
    // size limit must not leave a short file behind an exit status of 0.
    errno = 0;
    const bool indexOk = index.Close();
    const int indexErrno = errno;
    errno = 0;
    const bool logOk = !std::ferror(log) && std::fclose(log) == 0;
    const int logErrno = errno;
    if (!error.empty()) {
        Status("travik export: %s", error.c_str());
        return 1;
    }
    if (!indexOk || !logOk) {
        const int err = indexOk ? logErrno : indexErrno;
        Status("travik export: %s: write failed%s%s", (indexOk ? logPath : index.Path()).c_str(), err ? ": " : "",
               err ? std::strerror(err) : "");
        return 1;
    }
    if (r.status == travik_mcap::ScanResult::kCorrupt) {
        Status("travik export: %s: %s", o.file.c_str(), r.error.c_str());
        return 1;
    }
    if (r.status == travik_mcap::ScanResult::kTruncated)
        Status("travik export: warning: %s: %s; exported up to there", o.file.c_str(), r.error.c_str());
    if (r.skippedChunks > 0)
        Status("travik export: warning: %s: %s; exported the rest", o.file.c_str(),
               travik_mcap::DescribeSkipped(r).c_str());
    Status("travik export: %" PRIu64 " images, %" PRIu64 " video units and %" PRIu64 " log texts from %s written to %s",
           images, video.Units(), logTexts, o.file.c_str(), o.dir.c_str());
    return 0;
}

int RunInfo(const std::string& file, FILE* out) {
    travik_mcap::FileSource source;
    std::string error;
    if (!source.Open(file, error)) {
        Status("travik info: %s", error.c_str());
        return 1;
    }
    travik_mcap::Reader reader(source);
    struct PerChannel {
        uint64_t messages = 0, bytes = 0;
        uint64_t keyframes = 0, badUnits = 0;  // video topics
        bool video = false;
    };
    std::map<std::string, PerChannel> topics;
    uint64_t first = 0, last = 0, messages = 0;
    travik_mcap::MessageDecoder decoder;
    travik_mcap::ScanResult r = reader.Scan([&](const travik_mcap::Channel& ch, const travik_mcap::Message& m) {
        if (messages++ == 0) first = last = m.logTime;
        first = std::min(first, m.logTime);
        last = std::max(last, m.logTime);
        PerChannel& pc = topics[ch.topic];
        ++pc.messages;
        pc.bytes += m.size;
        travik_mcap::Decoded d;
        std::string ignored;  // info describes; a malformed message of another kind is export's to refuse
        if (decoder.Decode(ch, m, d, ignored) && d.kind == travik_mcap::Decoded::kVideo) {
            pc.video = true;
            const AnnexBSummary units = SummarizeAnnexB(d.data, d.size);
            if (!units.valid) ++pc.badUnits;
            if (units.Keyframe()) ++pc.keyframes;
        }
        return true;
    });
    travik_mcap::SummaryInfo summary;
    std::string summaryError;
    const bool summaryOk = reader.ReadSummary(summary, summaryError);

    std::fprintf(out, "file:       %s (%" PRIu64 " bytes)\n", file.c_str(), source.Size());
    if (!summaryOk) {
        std::fprintf(out, "closed:     no (%s)\n", summaryError.c_str());
    } else if (summary.present && r.status == travik_mcap::ScanResult::kComplete && r.dataEnd) {
        std::fprintf(out, "closed:     yes (summary: %" PRIu64 " messages in %u chunks)\n", summary.messages,
                     summary.chunks);
    } else {
        std::fprintf(out, "closed:     no (%s)\n", travik_mcap::Describe(r).c_str());
    }
    const double seconds = messages > 1 ? static_cast<double>(last - first) / 1e9 : 0;
    std::fprintf(out, "duration:   %.3f s\n", seconds);
    if (messages > 0) {
        time_t t = static_cast<time_t>(first / 1000000000ull);
        char when[64];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&t));
        std::fprintf(out, "start:      %s\n", when);
    }
    std::fprintf(out, "chunks:     %" PRIu64 ", %" PRIu64 " bytes stored, %" PRIu64 " bytes uncompressed\n", r.chunks,
                 r.compressedBytes, r.uncompressedBytes);
    std::fprintf(out, "messages:   %" PRIu64 "\n", messages);
    std::string schemas;
    bool travikLayout = false;
    for (const auto& s : reader.Schemas()) {
        schemas += (schemas.empty() ? "" : ", ") + s.second.name;
        travikLayout = travikLayout || s.second.name == travik_mcap::kImageSchemaName;
    }
    std::fprintf(out, "schemas:    %s%s\n", schemas.empty() ? "none" : schemas.c_str(),
                 travikLayout ? " (travik layout of earlier versions)" : "");
    std::fprintf(out, "%-30s %10s %14s\n", "channel", "messages", "bytes");
    for (const auto& t : topics)
        std::fprintf(out, "%-30s %10" PRIu64 " %14" PRIu64 "\n", t.first.c_str(), t.second.messages, t.second.bytes);
    for (const auto& t : topics) {
        if (!t.second.video) continue;
        std::fprintf(out, "video:      %s: h264, %" PRIu64 " access units, %" PRIu64 " keyframes%s\n", t.first.c_str(),
                     t.second.messages, t.second.keyframes,
                     t.second.badUnits ? (", " + std::to_string(t.second.badUnits) + " not Annex B").c_str() : "");
    }
    if (r.skippedChunks > 0) std::fprintf(out, "damaged:    %s\n", travik_mcap::DescribeSkipped(r).c_str());
    std::fflush(out);
    if (r.status == travik_mcap::ScanResult::kCorrupt) {
        Status("travik info: %s: %s", file.c_str(), r.error.c_str());
        return 1;
    }
    if (r.skippedChunks > 0) {
        Status("travik info: %s: %s", file.c_str(), travik_mcap::DescribeSkipped(r).c_str());
        return 1;
    }
    return 0;
}

}  // namespace travik_tool
