// The local producer of video (video_watchers.h): one H264Encoder per
// channel, fed with the device's images, encoding each image once for
// every watcher and only while someone watches the channel. The newest
// image of a channel replaces one still waiting (server/newest_images.h),
// so a slow encoder skips frames instead of building latency. An encoder
// is destroyed once its channel is no longer watched (the next watcher
// starts a fresh stream with a keyframe).
//
// Threads: Offer from any thread (the library's loop thread), never
// blocking on the encoder; the encoders run on the hub's worker thread,
// which calls the watchers (VideoWatched, TakeKeyframeWanted, OfferVideo);
// Encodes and TakeWindow from any thread; Stop joins (not from a watcher).
// Borrows the watchers, which must outlive the hub.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/channel_rule.h"
#include "server/newest_images.h"
#include "video/h264_encoder.h"
#include "video/video_watchers.h"

namespace travik_tool {

struct VideoCounts {
    uint64_t encoded = 0;  // access units made, since the last TakeWindow
    uint64_t skipped = 0;  // by rate control
    uint64_t refused = 0;  // images that are not video (opaque, too large)
    uint64_t bytes = 0;
    std::vector<int64_t> encodeMicros;
    std::string lastError;
};

class VideoEncoderHub {
public:
    VideoEncoderHub(H264Config config, VideoWatchers& watchers);
    ~VideoEncoderHub();  // Stop()
    VideoEncoderHub(const VideoEncoderHub&) = delete;
    VideoEncoderHub& operator=(const VideoEncoderHub&) = delete;

    // One image as the library hands it; dropped at once (no copy, no work)
    // when nobody watches its channel. A channel outside
    // 0..travik::kImageChannels-1 is ignored.
    void Offer(int channel, int attr2, int width, int height, std::shared_ptr<unsigned char> data, int len);
    void Stop();
    // Frames encoded on `channel` since the start: a watcher-less channel's
    // count stands still.
    uint64_t Encodes(int channel) const;
    // Whether `channel` has an encoder now (worker's view).
    bool EncoderOpen(int channel) const;
    VideoCounts TakeWindow();

private:
    void Encode(int channel, RawImage& raw);  // on the worker thread

    const H264Config m_config;
    VideoWatchers& m_watchers;
    std::unique_ptr<H264Encoder> m_encoders[travik::kImageChannels];  // the worker's
    std::atomic<bool> m_open[travik::kImageChannels] = {};
    std::atomic<uint64_t> m_encodes[travik::kImageChannels] = {};
    std::mutex m_mutex;  // m_window
    VideoCounts m_window;
    NewestImageWorker m_worker;  // last: its thread starts once the rest is built
};

}  // namespace travik_tool
