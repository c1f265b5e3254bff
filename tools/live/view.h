// The viewer side: connects to a source (a device, a NATS bridge), steers it
// with one wish, prints log texts, counts and saves images. Callbacks do
// only bookkeeping on the source's thread; files are written by a thread of
// the host.
// Contract: ViewerHost is driven from one host thread; its counters may be
// read from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "cli/options.h"
#include "cli/stats.h"
#include "cli/stop_signal.h"
#include "cli/view_source.h"
#include "common/image_file.h"
#include "protocol/channel_rule.h"

namespace travik_tool {

struct ViewConfig {
    bool logs = false;
    bool channels[travik::kImageChannels] = {true, true, true, true};
    int intervalMs = 100;
    std::string outDir;      // empty: save nothing
    uint64_t count = 0;      // images to take before done; 0: no limit
    int saveEveryMs = 0;     // > 0: save at most one image per channel per period
    FILE* logOut = nullptr;  // where log texts are printed; null: only counted
};

struct ChannelStats {
    uint64_t images = 0;
    uint64_t bytes = 0;
    Reservoir latency;
};

// Everything counted so far, or in the window since the last TakeWindow.
struct ViewCounts {
    uint64_t images[travik::kImageChannels] = {};
    uint64_t bytes[travik::kImageChannels] = {};
    uint64_t logTexts = 0;
    uint64_t logLines = 0;
    uint64_t saved = 0;
    uint64_t notSaved = 0;         // the writer fell behind, or a write failed
    std::vector<int64_t> latency;  // window only
};

class ViewerHost {
public:
    // `source` is borrowed for the host's lifetime.
    ViewerHost(ViewSource& source, ViewConfig config);
    ~ViewerHost();
    ViewerHost(const ViewerHost&) = delete;
    ViewerHost& operator=(const ViewerHost&) = delete;

    // Prepares --out (clears an earlier run's files, opens index.csv) and
    // starts the writer. False with `error` set.
    bool OpenOutput(std::string& error);
    // Connects, registers the callbacks and sends the command. 0 or -1.
    int Connect();
    // Whether the connection made by Connect is still up.
    bool Up();
    // Release: no callback runs after it returns.
    void Disconnect();
    // True once `count` images have arrived.
    bool Done();
    // Counts since the previous call (per-second status).
    ViewCounts TakeWindow();
    ViewCounts Totals();
    // Latency percentiles over the whole run for one channel (-1: all).
    bool LatencyPercentiles(int channel, int64_t& p50, int64_t& p99);
    // Waits for the writer to finish the queued files and closes index.csv.
    // False with `error` naming the file when an image file or a row of
    // index.csv was not written in full (disk full, file size limit).
    bool FinishOutput(std::string& error);
    // True once a write has failed; no image is saved after it.
    bool OutputFailed() const { return m_outputFailed.load(); }

private:
    struct SaveJob {
        std::string file;
        uint64_t time = 0;
        int channel = 0;
        int attrs[5] = {};
        uint64_t tag = 0;
        std::shared_ptr<unsigned char> data;
        int len = 0;
        bool hasLatency = false;
        int64_t latency = 0;
    };

    void OnLog(std::string& text);
    void OnImage(int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len, uint64_t tag);
    void WriteFiles();

    ViewSource& m_source;
    ViewConfig m_config;
    bool m_logTerminal;  // log texts go to a terminal: its control bytes are shown as '?'

    std::mutex m_mutex;  // the counts below
    ChannelStats m_channels[travik::kImageChannels];
    Reservoir m_allLatency;
    ViewCounts m_window;
    uint64_t m_total = 0;
    uint64_t m_logTexts = 0;
    uint64_t m_logLines = 0;
    uint64_t m_lastSave[travik::kImageChannels] = {};

    std::mutex m_queueMutex;  // the writer's queue and its results
    std::condition_variable m_queueCond;
    std::deque<SaveJob> m_queue;
    size_t m_queuedBytes = 0;
    bool m_writerStop = false;
    uint64_t m_saved = 0;
    uint64_t m_notSaved = 0;
    std::thread m_writer;
    IndexCsv m_index;
    // Set by the writer at the first failed write, after m_outputError; read
    // by any thread, m_outputError by FinishOutput after the writer has ended.
    std::atomic<bool> m_outputFailed{false};
    std::string m_outputError;
};

// `travik view` of `source` (borrowed for the call). Exit code: 0 done, 1
// connect failed, connection lost or a write under --out failed.
int RunView(const ViewOptions& options, ViewSource& source, StopSignal& stop, FILE* out);

}  // namespace travik_tool
