// Between the library's callbacks and the Foxglove endpoint: the channel
// table (the recordings' topics and schemas plus a JPEG variant of each
// image channel), and the encoding of what arrives, ONLY for topics that
// somebody subscribes to and once per image whatever the number of
// subscribers. Images are encoded on the relay's own thread
// (server/newest_images.h); the newest raw image of a channel replaces one
// still waiting, so a slow encoder never builds a lag. Log lines are encoded at once on the caller's thread
// (a few bytes each).
// Threads: Offer and OfferLog from any thread (the library's loop thread),
// never blocking on the network; Encodings from any thread; Stop joins.
// Borrows the server, which must outlive the relay.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foxglove_endpoint/foxglove_server.h"
#include "image_encoder/encoder.h"
#include "protocol/channel_rule.h"
#include "server/newest_images.h"
#include "video/video_watchers.h"

namespace travik_tool {

// Channel ids: the log, then five per image channel, then the video
// channels (/travik/channel/N/h264, foxglove.CompressedVideo).
enum class FoxgloveTopic : uint32_t { Raw = 0, Jpeg = 1, Compressed = 2, Blob = 3, Info = 4 };
constexpr uint32_t kFoxgloveLogChannel = 1;
constexpr uint32_t FoxgloveChannelId(int channel, FoxgloveTopic topic) {
    return 2 + static_cast<uint32_t>(channel) * 5 + static_cast<uint32_t>(topic);
}
constexpr uint32_t FoxgloveVideoChannelId(int channel) {
    return 2 + travik::kImageChannels * 5 + static_cast<uint32_t>(channel);
}
constexpr uint32_t kFoxgloveChannelCount = 2 + travik::kImageChannels * 6;

// `video`: with the H.264 channels (a build and a viewer that make video).
std::vector<FoxgloveChannel> TravikFoxgloveChannels(bool video);

// Also the watchers of video (video/video_watchers.h): a channel is
// watched while its /h264 topic has subscribers; OfferVideo publishes
// each unit as one foxglove.CompressedVideo (format "h264").
class FoxgloveRelay : public VideoWatchers {
public:
    // `quality`: of the JPEG variant.
    FoxgloveRelay(FoxgloveServer& server, int quality);
    ~FoxgloveRelay() override;  // Stop()
    FoxgloveRelay(const FoxgloveRelay&) = delete;
    FoxgloveRelay& operator=(const FoxgloveRelay&) = delete;

    // One image as the library hands it (attributes a1..a5); a channel
    // outside 0..travik::kImageChannels-1 is ignored.
    void Offer(int channel, const int attrs[5], std::shared_ptr<unsigned char> data, int len, uint64_t tag);
    // Log text; one foxglove.Log per line.
    void OfferLog(const std::string& text);
    void Stop();

    // Messages encoded per topic since the start (topic, count), in
    // channel-id order.
    std::vector<std::pair<std::string, uint64_t>> Encodings() const;

    // Some client subscribes to a topic of `channel` made from its pixels
    // (raw, JPEG, compressed, blob or info). Any thread, non-blocking.
    bool PixelsWanted(int channel) const;

    bool VideoWatched(int channel) override;
    bool TakeKeyframeWanted(int channel) override;
    void OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) override;

private:
    void Encode(int channel, const RawImage& raw);  // on the worker thread
    void Send(uint32_t id, uint64_t nanos, std::string message, uint64_t receivedMicros, bool keyframe = false);

    FoxgloveServer& m_server;
    std::vector<std::string> m_topics;  // by channel id
    std::atomic<uint64_t> m_encoded[kFoxgloveChannelCount] = {};
    ImageEncoder m_encoder;      // the worker thread's (JPEG variant)
    NewestImageWorker m_worker;  // last: its thread starts once the rest is built
};

}  // namespace travik_tool
