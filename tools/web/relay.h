// Between the library's image callback and the page's server: keeps the
// newest raw image of each channel and encodes it on its own thread, once
// per frame whatever the number of tabs. A frame that arrives while the
// previous one of its channel still waits replaces it, so a slow encoder
// never builds a lag. A channel no tab shows as JPEG is not encoded: its
// newest image is kept (parked) and encoded once a tab wants it (Refresh).
// Threads: Offer from any thread (the library's loop thread), non-blocking;
// the encoder thread (server/newest_images.h) publishes to the WebServer;
// Stop joins it; TakeWindow and Refresh from any thread, non-blocking.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "image_encoder/encoder.h"
#include "protocol/channel_rule.h"
#include "server/newest_images.h"
#include "web/server.h"

namespace travik_tool {

struct RelayCounts {
    uint64_t received[travik::kImageChannels] = {};  // since the last TakeWindow
    uint64_t encoded = 0;
    uint64_t skipped = 0;  // replaced before the encoder took it
    uint64_t failed = 0;
    uint64_t parked = 0;  // not encoded: no tab showed the channel as JPEG
    std::vector<int64_t> encodeMicros;
};

class ImageRelay {
public:
    ImageRelay(WebServer& server, int quality, bool lossless);
    ~ImageRelay();  // Stop()
    ImageRelay(const ImageRelay&) = delete;
    ImageRelay& operator=(const ImageRelay&) = delete;

    // A channel outside 0..travik::kImageChannels-1 is ignored.
    void Offer(int channel, int attr2, int width, int height, std::shared_ptr<unsigned char> data, int len,
               uint64_t tag);
    // Encodes the parked image of each channel a tab has started to show
    // as JPEG since the last call (WebServer::TakeJpegWanted), so that it
    // does not wait for the device's next image. Call it now and then.
    void Refresh();
    // Drops the parked image of `channel`: the channel's images stopped
    // coming, so it would show a stale picture. Any thread, non-blocking.
    void Forget(int channel);
    void Stop();
    RelayCounts TakeWindow();

private:
    void Encode(int channel, RawImage& raw);  // on the worker thread

    WebServer& m_server;
    ImageEncoder m_encoder;  // the worker thread's
    std::mutex m_mutex;      // guards m_window and m_parked
    RelayCounts m_window;
    RawImage m_parked[travik::kImageChannels];
    bool m_hasParked[travik::kImageChannels] = {};
    NewestImageWorker m_worker;  // last: its thread starts once the rest is built
};

}  // namespace travik_tool
