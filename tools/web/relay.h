// Between the library's image callback and the page's server: keeps the
// newest raw image of each channel and encodes it on its own thread, once
// per frame whatever the number of tabs. A frame that arrives while the
// previous one of its channel still waits replaces it, so a slow encoder
// never builds a lag.
// Threads: Offer from any thread (the library's loop thread), non-blocking;
// the encoder thread (server/newest_images.h) publishes to the WebServer;
// Stop joins it; TakeWindow from any thread.
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
    void Stop();
    RelayCounts TakeWindow();

private:
    void Encode(int channel, RawImage& raw);  // on the worker thread

    WebServer& m_server;
    ImageEncoder m_encoder;  // the worker thread's
    std::mutex m_mutex;      // guards m_window
    RelayCounts m_window;
    NewestImageWorker m_worker;  // last: its thread starts once the rest is built
};

}  // namespace travik_tool
