// The device's only writer of log and image frames: one pass per wake-up,
// everything staged since the previous pass in at most two frames.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>

#include "manager/compress_settings.h"
#include "manager/frame_pipeline.h"
#include "manager/manager_internal.h"
#include "manager/spare_log_text.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/net_startup.h"
#include "protocol/codec.h"
#include "protocol/frame_writer.h"
#include "protocol/parallel_deflate.h"

namespace travik {
namespace {

// Mean compression time, printed about every three seconds.
class CompressStats {
public:
    void Add(uint64_t micros) {
        std::lock_guard<std::mutex> lock(m_mutex);
        int64_t now = NowMicros();
        if (!m_started) {
            m_started = true;
            m_windowStart = now - static_cast<int64_t>(micros);
        }
        m_timeSum += micros;
        ++m_count;
        if (static_cast<uint64_t>(now - m_windowStart) > 3000000) {
            Diag("compress2 speed is %llu \n", static_cast<unsigned long long>(m_timeSum / m_count));
            m_timeSum = 0;
            m_count = 0;
            m_windowStart = NowMicros();
        }
    }

private:
    std::mutex m_mutex;
    bool m_started = false;
    uint64_t m_timeSum = 0;
    int32_t m_count = 0;
    int64_t m_windowStart = 0;
};

CompressStats s_compressStats;

// Size of the fresh slots' record sequence, saturated (only compared).
uint32_t RecordBytes(const std::vector<SendImageSt>& slots) {
    uint64_t total = 0;
    for (const SendImageSt& s : slots)
        if (s.attr2 != 0 && s.imageLen > 0) total += kImageHeaderLen + static_cast<uint64_t>(s.imageLen);
    return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

bool HasViewer(const std::shared_ptr<Travik>& server) { return server && server->IsEmpty() == 0; }

// Sends the pass's text as one frame; once it is queued (or dropped), its
// bytes no longer count against SendLogInfo's room.
void SendLogFrame(TravikMgr& mgr, FramePipeline& pipeline, const std::shared_ptr<Travik>& server, std::string text) {
    if (text.empty()) return;
    const long long frameBytes = static_cast<long long>(text.size()) + kFrameHeaderLen + 1;
    auto release = [&mgr, frameBytes] { mgr.m_logInFlight -= frameBytes; };
    if (!HasViewer(server)) {
        release();
        return;
    }
    // The frame shares the staged text's storage: no copy, however large.
    LogFrameParts frame;
    try {
        std::shared_ptr<SpareLogText> spare = mgr.m_spareLogText;
        frame = ShareLogFrame(std::move(text), [spare](std::string& s) { spare->Give(s); });
    } catch (...) {
        release();
        throw;
    }
    pipeline.PushParts(server, std::move(frame), release);
}

// The image frame of one pass, or an empty buffer (reported) when it could
// not be built. May throw std::bad_alloc.
ByteBuffer BuildImageFrame(const std::vector<SendImageSt>& slots, const CompressOptions& options) {
    int codecResult = 0;
    uint64_t micros = 0;
    ByteBuffer frame = WriteImageFrame(slots, codecResult, micros, options);
    if (codecResult == kImageFrameRefused) {
        long long recordBytes = 0;
        for (const SendImageSt& s : slots)
            if (s.attr2 != 0) recordBytes += kImageHeaderLen + static_cast<long long>(s.imageLen);
        Diag("image frame too large: %lld record bytes, dropped\n", recordBytes);
        return ByteBuffer{};
    }
    if (codecResult != 0) {
        Diag("compress failed ret = %d", codecResult);
        return ByteBuffer{};
    }
    if (frame.data) s_compressStats.Add(micros);
    return frame;
}

void SendImageFrame(TravikMgr& mgr, FramePipeline& pipeline, const std::shared_ptr<Travik>& server,
                    const std::vector<SendImageSt>& slots) {
    if (slots.empty() || !HasViewer(server)) return;
    CompressOptions options = CompressOptionsOf(mgr);
    // A lone large frame (nothing else in flight) is split between the
    // threads instead, so that it arrives sooner.
    const bool lone =
        !CodecSplitsFrames() && pipeline.Idle() && IndependentPieceCount(RecordBytes(slots), options.threads) > 1;
    if (options.threads > 1 && !CodecSplitsFrames() && !lone) {
        // The compressor cannot share one frame: whole frames go to the
        // workers, up to one per thread in flight.
        const int depth = options.threads;
        options.threads = 1;
        pipeline.Push(*mgr.m_compressPool, depth, server, [slots, options] {
            try {
                return BuildImageFrame(slots, options);
            } catch (const std::bad_alloc&) {
                Diag("send thread: out of memory, frame dropped\n");
                return ByteBuffer{};
            }
        });
        return;
    }
    ByteBuffer frame = BuildImageFrame(slots, options);
    if (frame.data) pipeline.PushReady(server, std::move(frame), true);
}

}  // namespace
}  // namespace travik

using namespace travik;

void TravikMgr::ThreadSendInfo() {
    NameThisThread("travik-send");
    // Keeps frames in order when whole frames are compressed by workers.
    auto pipeline = std::make_shared<FramePipeline>();
    while (!m_exit.load()) {
        std::string text;
        std::vector<SendImageSt> images;
        GetSendInfo(text, images);
        // Held for the whole pass: Release may drop the manager's reference.
        std::shared_ptr<Travik> server = ServerOf(*this);
        try {
            SendLogFrame(*this, *pipeline, server, std::move(text));
            SendImageFrame(*this, *pipeline, server, images);
        } catch (const std::bad_alloc&) {
            // A frame is built whole before it is queued, so nothing partial
            // left; the pass's data is dropped.
            Diag("send thread: out of memory, frame dropped\n");
        }
    }
}
