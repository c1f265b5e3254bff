// Between the library's image callback and the page's server: keeps the
// newest raw image of each channel and encodes it on its own thread, once
// per frame whatever the number of tabs. A frame that arrives while the
// previous one of its channel still waits replaces it, so a slow encoder
// never builds a lag.
// Threads: Offer from any thread (the library's loop thread), non-blocking;
// the encoder thread publishes to the WebServer; Stop joins it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/channel_rule.h"
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
    struct Raw {
        std::shared_ptr<unsigned char> data;
        int attr2 = 0, width = 0, height = 0, len = 0;
        uint64_t tag = 0, sequence = 0, receivedMicros = 0;
    };
    void Run();

    WebServer& m_server;
    int m_quality;
    bool m_lossless;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    Raw m_slots[travik::kImageChannels];
    bool m_full[travik::kImageChannels] = {};
    uint64_t m_sequence[travik::kImageChannels] = {};
    bool m_stop = false;
    RelayCounts m_window;
    std::thread m_thread;
};

}  // namespace travik_tool
