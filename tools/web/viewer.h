// `travik web`: a viewer that shows a source (a device, a NATS bridge) live
// in a browser. It connects to the source, steers it with the page's
// commands, and feeds images and log lines through an ImageRelay to a
// WebServer and, when asked, through a FoxgloveRelay to the Foxglove
// endpoint. A source with a device picker (NATS without a name) also gets
// the page's device list and picks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/stop_signal.h"
#include "cli/view_source.h"
#include "foxglove_endpoint/foxglove_relay.h"
#include "foxglove_endpoint/foxglove_server.h"
#include "web/protocol.h"
#include "web/relay.h"
#include "web/server.h"
#ifdef TRAVIK_TOOL_VIDEO
#include "video/video_hub.h"
#endif

namespace travik_tool {

struct WebOptions : ViewerOptions {
    std::string http = "127.0.0.1:8080";
    int quality = 85;
    bool lossless = false;
    std::string foxglove;  // ADDR:PORT of the Foxglove endpoint; "": none
    std::vector<std::string> allowOrigins;
    std::string httpsCert, httpsKey;  // PEM files: https and wss on both ports
    std::string token;                // --token; TRAVIK_WEB_TOKEN when empty
    bool noAuth = false;              // serve beyond loopback without a token
    std::string video = "jpeg";       // --video: "h264" starts tabs with video on
    std::string videoBitrate;         // --video-bitrate RATE; "": sized by resolution
};

// The environment variable that carries the token: unlike an argument, it
// is not visible to other users of the machine (ps, /proc/PID/cmdline).
constexpr const char* kWebTokenVariable = "TRAVIK_WEB_TOKEN";

struct WebConfig {
    std::string httpAddress = "127.0.0.1";
    int httpPort = 8080;  // 0: any free port
    int quality = 85;
    bool lossless = false;
    DeviceWish wish;        // what is first asked of the source
    bool foxglove = false;  // also serve the Foxglove WebSocket endpoint
    std::string foxgloveAddress = "127.0.0.1";
    int foxglovePort = 8765;                // 0: any free port
    std::vector<std::string> allowOrigins;  // page origins the endpoint accepts
    ServerSecurity security;                // TLS and the token, for both ports
    bool videoFirst = false;                // tabs start with H.264 on (--video h264)
    int videoBitrate = 0;                   // bits per second per channel; 0: by resolution
};

// Services of the Foxglove endpoint.
constexpr uint32_t kFoxgloveCommandService = 1;  // /travik/command
constexpr uint32_t kFoxgloveStatsService = 2;    // /travik/stats

// Threads: Start, Tick, Stop and StatusLine on one host thread. The
// source's callbacks, the page's commands and the Foxglove service calls
// arrive on their own threads and only touch the relays, the servers, the
// wish and the source's SendWish and Pick (under m_mutex).
class WebViewer {
public:
    // `source` is borrowed for the viewer's lifetime.
    WebViewer(ViewSource& source, WebConfig config);
    ~WebViewer();  // Stop()
    WebViewer(const WebViewer&) = delete;
    WebViewer& operator=(const WebViewer&) = delete;

    // Starts the page's server; the source is connected by Tick.
    bool Start(std::string& error);
    std::string Url() const;
    // ws://ADDR:PORT (wss:// over TLS) of the Foxglove endpoint; "" without one.
    std::string FoxgloveUrl() const;
    // Connects when not connected (at most once a second), notices a lost
    // connection, sends the device list of a picker. Blocks only for a
    // connect attempt (or a picked device's).
    void Tick();
    bool DeviceUp() const { return m_link == DeviceLink::Connected; }
    void Stop();
    // One status line's worth of counts since the previous call.
    std::string StatusLine(double seconds);

private:
    std::string OnCommand(const std::string& text);
    bool OnService(uint32_t service, const std::string& request, std::string& reply);
    void PublishState();
    bool Connect();
    SourceWish WishLocked() const;  // m_mutex held
    void PassVideoThrough();
    void LeaseAllPixels();  // m_mutex held

    ViewSource& m_source;
    DevicePicker* const m_picker;  // the source's, or null
    WebConfig m_config;
    std::string m_device;  // where the source connects to, for messages
    WebServer m_server;
    std::unique_ptr<ImageRelay> m_relay;
    FoxgloveServer m_foxglove;
    std::unique_ptr<FoxgloveRelay> m_foxRelay;
#ifdef TRAVIK_TOOL_VIDEO
    // The page's tabs and the Foxglove relay as one set of watchers, and
    // the encoders that feed them.
    std::unique_ptr<VideoWatcherSet> m_videoWatchers;
    std::unique_ptr<VideoEncoderHub> m_video;
#endif
    // The source hands over units encoded upstream (a bridge run with
    // --video h264); set in Start. Once the far end encodes (its status says
    // so, or its first unit came) the local encoders get no images, until the
    // link is lost or another device is picked.
    bool m_passThrough = false;
    std::atomic<bool> m_upstreamEncodes{false};
    // Channels whose images are not leased from the source: the far end
    // encodes, every watcher takes the channel as video and nothing shows
    // its pixels (no tab as JPEG, no Foxglove topic made from pixels), so
    // a bridge neither compresses nor publishes them. Written by Tick under
    // m_mutex; read by the image callback, which drops what still comes.
    std::atomic<bool> m_noPixels[travik::kImageChannels] = {};
    bool m_started = false;
    std::chrono::steady_clock::time_point m_nextAttempt{};
    std::chrono::steady_clock::time_point m_nextDevices{};

    std::mutex m_mutex;  // m_wish, m_videoWish, m_link as sent to the page, m_where, m_logLines; SendWish
    DeviceWish m_wish;
    bool m_videoWish[travik::kImageChannels] = {};  // channels leased as units (pass-through)
    std::string m_where;                            // the source's Where() as last seen by Tick
    DeviceLink m_link = DeviceLink::Connecting;
    uint64_t m_logLines = 0;
};

// `travik web` of `source` (borrowed for the call). The page's URL goes to
// `out`. Exit code: 0 after Ctrl-C, 1 when the page's address cannot be
// bound, 2 for a bad --http or --foxglove, a bad token, an unusable TLS
// certificate or key, an address beyond loopback without a token (and
// without --no-auth), a bad --video or --video-bitrate, or --video h264 in
// a build without video.
int RunWeb(const WebOptions& options, ViewSource& source, StopSignal& stop, FILE* out);

}  // namespace travik_tool
