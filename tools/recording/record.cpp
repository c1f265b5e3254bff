#include "recording/record.h"

#include <travik/travik.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/console.h"
#include "cli/options.h"
#include "cli/stats.h"
#include "cli/status_ticker.h"
#include "platform/clock.h"
#include "protocol/channel_rule.h"
#include "recording/mcap/recording.h"
#if TRAVIK_RECORD_VIDEO
#include "video/h264_encoder.h"
#endif

namespace travik_tool {

namespace {

using Clock = std::chrono::steady_clock;
#if TRAVIK_RECORD_VIDEO
using travik_tool::AccessUnit;
using travik_tool::H264Encoder;
#endif

// Past these the recorder drops messages rather than let memory grow while
// the disk is slower than the stream; each drop is counted and reported.
constexpr size_t kMaxQueued = 4096;
constexpr size_t kMaxQueuedBytes = 512u << 20;
// A chunk is written at least this often, bounding what a crash can lose.
constexpr auto kChunkAge = std::chrono::seconds(1);

struct Item {
    uint64_t time = 0;  // arrival, ns since 1970
    int channel = -1;   // -1: log text
    int attrs[5] = {};
    uint64_t tag = 0;
    std::shared_ptr<unsigned char> image;
    std::string text;
    size_t size = 0;
};

struct Counts {
    uint64_t logs = 0;
    uint64_t images[travik_mcap::kImageChannels] = {};
    uint64_t units[travik_mcap::kImageChannels] = {};  // access units written (video)
    uint64_t dropped = 0;
    uint64_t skipped = 0;  // over the file's message limit (kMaxMessageRecord): not written
};

#if TRAVIK_RECORD_VIDEO
constexpr bool kVideoBuilt = true;
#else
constexpr bool kVideoBuilt = false;
#endif

class Recorder {
public:
    Recorder(travik_mcap::Writer& writer, const travik_mcap::RecordingChannels& ids, const RecordOptions& o,
             int bitrate)
        : m_writer(writer),
          m_ids(ids),
          m_video(!o.video.empty()),
          m_keepRaw(o.keepRaw),
          m_videoBitrate(bitrate),
          m_thread(&Recorder::Run, this) {}
    ~Recorder() { Finish(); }

    // Library loop thread: queue, never block on the disk.
    void Push(Item item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || m_queue.size() >= kMaxQueued || m_bytes + item.size > kMaxQueuedBytes) {
            ++m_counts.dropped;
            return;
        }
        if (item.channel < 0) {
            ++m_counts.logs;
        } else {
            ++m_counts.images[item.channel];
        }
        m_bytes += item.size;
        m_queue.push_back(std::move(item));
        m_cond.notify_one();
    }
    // Writes what is queued, then stops the writer thread.
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cond.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }
    Counts Totals() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_counts;
    }
    // File bytes written so far and whether a write failed.
    uint64_t Written(bool& failed) {
        std::lock_guard<std::mutex> lock(m_mutex);
        failed = m_failed;
        return m_written;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto chunkSince = Clock::now();
        for (;;) {
            m_cond.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty() && m_stop) return;
            bool ok = true;
            if (!m_queue.empty()) {
                Item item = std::move(m_queue.front());
                m_queue.pop_front();
                m_bytes -= item.size;
                lock.unlock();
                if (!m_writer.ChunkOpen()) chunkSince = Clock::now();
                if (item.channel < 0) {
                    ok = travik_mcap::WriteLog(m_writer, m_ids, item.time,
                                               reinterpret_cast<const uint8_t*>(item.text.data()), item.text.size(),
                                               m_scratch);
                } else {
                    ok = WriteImageItem(item);
                }
                lock.lock();
                if (!ok && !m_writer.Failed()) {
                    // Too large for a chunk any reader takes: left out, so that
                    // the file stays readable past it, and counted.
                    ok = true;
                    ++m_counts.skipped;
                    --(item.channel < 0 ? m_counts.logs : m_counts.images[item.channel]);
                }
            }
            if (ok && m_writer.ChunkOpen() && Clock::now() - chunkSince >= kChunkAge) {
                lock.unlock();
                ok = m_writer.FlushChunk();
                lock.lock();
            }
            m_written = m_writer.BytesWritten();
            if (!ok) {
                m_failed = true;
                m_stop = true;
                m_queue.clear();
                m_bytes = 0;
                return;
            }
        }
    }

    // Writer thread, without the lock: the image as video (when asked and
    // the encoder takes it) and/or as it came.
    bool WriteImageItem(const Item& item) {
        bool asImage = !m_video || m_keepRaw;
        if (m_video) {
            bool encoded = false;
            if (!EncodeItem(item, encoded)) return false;
            asImage = asImage || !encoded;
        }
        if (!asImage) return true;
        return travik_mcap::WriteImage(m_writer, m_ids, item.time, item.channel, item.attrs, item.tag, item.image.get(),
                                       item.size, m_scratch);
    }

    // `encoded`: the encoder took the image (a frame rate control skips
    // counts as taken). False: the unit's write failed.
    bool EncodeItem(const Item& item, bool& encoded) {
#if TRAVIK_RECORD_VIDEO
        auto& encoder = m_encoders[item.channel];
        if (!encoder) {
            travik_tool::H264Config config;
            config.bitrate = m_videoBitrate;
            encoder = std::make_unique<H264Encoder>(config);
        }
        AccessUnit unit;
        std::string error;
        const auto result = encoder->Encode(item.image.get(), item.size, item.attrs[1], item.attrs[2], item.attrs[3],
                                            item.time / 1000, ++m_sequence[item.channel], unit, error);
        encoded = result != H264Encoder::Result::kRefused;
        if (result != H264Encoder::Result::kEncoded) return true;
        if (!travik_mcap::WriteVideo(m_writer, m_ids, item.time, item.channel,
                                     reinterpret_cast<const uint8_t*>(unit.annexB.data()), unit.annexB.size(),
                                     m_scratch))
            return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts.units[item.channel];
        return true;
#else
        (void)item;
        encoded = false;
        return true;
#endif
    }

    travik_mcap::Writer& m_writer;  // only the writer thread touches it while it runs
    travik_mcap::RecordingChannels m_ids;
    std::string m_scratch;  // encoded message heads, writer thread only
    const bool m_video;
    const bool m_keepRaw;
    const int m_videoBitrate;
#if TRAVIK_RECORD_VIDEO
    std::unique_ptr<H264Encoder> m_encoders[travik_mcap::kImageChannels];  // writer thread only
#endif
    uint64_t m_sequence[travik_mcap::kImageChannels] = {};  // writer thread only
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<Item> m_queue;
    size_t m_bytes = 0;
    bool m_stop = false;
    bool m_failed = false;
    uint64_t m_written = 0;
    Counts m_counts;
    std::thread m_thread;
};

ViewSource::LogCb LogToRecorder(Recorder& rec) {
    return [&rec](std::string& text) {
        Item item;
        item.time = static_cast<uint64_t>(travik::NowNanos());
        item.size = text.size();
        item.text = std::move(text);
        rec.Push(std::move(item));
    };
}

ViewSource::ImageCb ImageToRecorder(Recorder& rec) {
    return [&rec](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                  unsigned long long tag) {
        Item item;
        item.time = static_cast<uint64_t>(travik::NowNanos());
        item.channel = travik::ChannelOf(a1, a5);
        int attrs[5] = {a1, a2, a3, a4, a5};
        std::copy(attrs, attrs + 5, item.attrs);
        item.tag = tag;
        item.image = data;  // the library hands over a buffer the callee may keep
        item.size = len > 0 ? static_cast<size_t>(len) : 0;
        rec.Push(std::move(item));
    };
}

bool ConnectRecorder(ViewSource& source, const RecordOptions& o, Recorder& rec) {
    SourceWish wish;
    wish.logs = o.logs;
    for (bool& on : wish.channels) on = false;
    for (int c : o.channels)
        if (travik::ValidChannel(c)) wish.channels[c] = true;
    wish.intervalMs = o.interval;
    return source.Connect(wish, LogToRecorder(rec), ImageToRecorder(rec)) == 0;
}

}  // namespace

int RunRecord(const RecordOptions& o, ViewSource& source, StopSignal& stop) {
    // Past a file size limit (ulimit -f) a write should fail with EFBIG and
    // be reported like a full disk, not kill the recorder with SIGXFSZ
    // (POSIX only: Windows has no such limit).
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    travik_mcap::WriterOptions wo;
    wo.zstd = o.compression == "zstd";
    wo.chunkBytes = static_cast<size_t>(o.chunkMiB) << 20;
    travik_mcap::Writer writer;
    travik_mcap::RecordingChannels ids;
    const auto layout = o.layout == "travik" ? travik_mcap::Layout::kTravik : travik_mcap::Layout::kFoxglove;
    if (!o.video.empty() && (!kVideoBuilt || o.video != "h264")) {
        Status("travik record: --video %s is not available in this build", o.video.c_str());
        return 2;
    }
    int bitrate = 0;
    if (!o.videoBitrate.empty()) {
        std::string why;
        if (!ParseBitrate(o.videoBitrate, bitrate, why)) {
            Status("travik record: %s", why.c_str());
            return 2;
        }
    }
    if (!o.video.empty() && layout == travik_mcap::Layout::kTravik) {
        Status("travik record: --video needs the foxglove layout");
        return 2;
    }
    std::string error;
    if (!writer.Open(o.file, wo, error) || !travik_mcap::AddRecordingChannels(writer, ids, layout, !o.video.empty())) {
        Status("travik record: %s", error.empty() ? writer.Error().c_str() : error.c_str());
        return 1;
    }

    Recorder recorder(writer, ids, o, bitrate);
    const std::string where = source.Where();
    const auto start = Clock::now();
    const bool timed = o.duration > 0;
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.duration));
    auto connect = [&]() {
        for (;;) {
            if (ConnectRecorder(source, o, recorder)) return true;
            source.Release();
            if (!o.reconnect || stop.WaitFor(std::chrono::seconds(1)) || (timed && Clock::now() >= deadline))
                return false;
        }
    };
    if (o.reconnect) Status("travik record: connecting to %s (retrying every second)", where.c_str());
    int rc = 0;
    bool failed = false;
    if (!connect()) {
        if (!stop.Requested()) {
            Status("travik record: cannot connect to %s (%s)", where.c_str(), ConnectHint(where));
            rc = 1;
        }
    } else {
        Status("travik record: recording %s to %s; logs %s, channels %s, interval %d ms, %s chunks, %s layout",
               where.c_str(), o.file.c_str(), o.logs ? "on" : "off", JoinChannels(o.channels).c_str(), o.interval,
               wo.zstd ? "zstd" : "stored", o.layout.c_str());
        StatusTicker ticker;
        uint64_t lastWritten = 0, lastMessages = 0;
        for (;;) {
            if (stop.WaitFor(std::chrono::milliseconds(50))) break;
            const auto now = Clock::now();
            if (timed && now >= deadline) break;
            uint64_t written = recorder.Written(failed);
            if (failed) break;
            if (!source.Up()) {
                if (!o.reconnect) {
                    Status("travik record: connection to %s lost", where.c_str());
                    rc = 1;
                    break;
                }
                Status("travik record: connection to %s lost; reconnecting every second", where.c_str());
                source.Release();
                if (!connect()) break;
                Status("travik record: reconnected to %s", where.c_str());
            }
            double secs = 0;
            if (ticker.Due(now, secs)) {
                Counts c = recorder.Totals();
                uint64_t messages = c.logs;
                for (uint64_t n : c.images) messages += n;
                Status("[record] %" PRIu64 " messages (+%.0f/s) | %s MB written, %s MB/s%s%s", messages,
                       static_cast<double>(messages - lastMessages) / secs,
                       FormatMB(static_cast<double>(written)).c_str(),
                       FormatMB(static_cast<double>(written - lastWritten) / secs).c_str(),
                       c.dropped ? (" | " + std::to_string(c.dropped) + " dropped (disk too slow)").c_str() : "",
                       c.skipped ? (" | " + std::to_string(c.skipped) + " skipped (too large)").c_str() : "");
                lastWritten = written;
                lastMessages = messages;
            }
        }
    }
    source.Release();  // no callback runs after this
    recorder.Finish();
    recorder.Written(failed);
    const bool closed = !failed && writer.Close();
    Counts c = recorder.Totals();
    if (!closed) {
        Status("travik record: %s", writer.Error().c_str());
        Status("travik record: stopped; the %" PRIu64 " chunks written before the failure stay readable",
               writer.ChunksWritten());
        return 1;
    }
    // The file is called good only if the reader of replay, export and info
    // takes its summary (and every chunk the summary names).
    std::string refused;
    travik_mcap::FileSource check;
    if (check.Open(o.file, refused)) {
        travik_mcap::Reader reader(check);
        travik_mcap::SummaryInfo summary;
        if (reader.ReadSummary(summary, refused) &&
            (!summary.present || !summary.hasStatistics || summary.messages != writer.Messages()))
            refused = "no summary of the " + std::to_string(writer.Messages()) + " messages written";
    }
    if (!refused.empty()) {
        Status("travik record: %s: the finished file does not read back: %s", o.file.c_str(), refused.c_str());
        return 1;
    }
    std::string perChannel;
    for (int ch = 0; ch < travik_mcap::kImageChannels; ++ch) {
        perChannel += " ch" + std::to_string(ch) + " " + std::to_string(c.images[ch]);
        if (c.units[ch] > 0) perChannel += " (" + std::to_string(c.units[ch]) + " h264)";
    }
    std::string lost;
    if (c.dropped) lost += ", " + std::to_string(c.dropped) + " dropped (disk too slow)";
    if (c.skipped)
        lost += ", " + std::to_string(c.skipped) + " skipped (too large for the file's " +
                std::to_string(travik_mcap::kMaxChunkBytes >> 20) + " MiB chunk limit)";
    Status("travik record: %" PRIu64 " messages (log %" PRIu64 ",%s) in %" PRIu64
           " chunks, %s MB, %s closed and read back%s",
           writer.Messages(), c.logs, perChannel.c_str(), writer.ChunksWritten(),
           FormatMB(static_cast<double>(writer.BytesWritten())).c_str(), o.file.c_str(), lost.c_str());
    return rc;
}

}  // namespace travik_tool
