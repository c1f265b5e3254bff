// The page's HTTP and WebSocket server: serves the embedded page and fans
// images, log lines and state out to every open tab, and hands the tabs'
// commands to the host.
//
// Threads: Start spawns one server thread that owns every socket and every
// tab's queue. Publish* and TakeStats may be called from any thread and
// never block on the network: they put the item in a small inbox under a
// mutex and wake the server thread. The command handler runs on the server
// thread and must not block.
//
// Memory per tab is bounded: at most one unsent image per channel (a newer
// one replaces it), a bounded log queue (the oldest lines are dropped and
// counted for the page) and a few state messages. A tab that opens late
// gets the newest image of every channel, the state and the last log lines.
//
// Video (video/video_watchers.h): a tab that turns video on for a channel
// gets that channel's access units instead of its JPEGs, from a keyframe
// on, and at most one unsent (a tab that falls behind waits for the next
// keyframe and one is asked for); the server is the producer's watchers.
// A channel is watched as JPEG while some open tab does not watch it as
// video (JpegWatched): the relay encodes JPEG only then.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/security.h"
#include "server/stats.h"
#include "video/video_watchers.h"

namespace travik_tool {

struct WebServerConfig {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 literal
    int port = 8080;                    // 0: any free port (see Port())
    size_t tabLogLines = 2000;          // per-tab log queue bound
    size_t snapshotLogLines = 500;      // lines a new tab gets at once
    size_t maxTabs = 64;                // more WebSocket upgrades get 503
    // Plain HTTP connections open at once (tabs are counted by maxTabs).
    // Past it a few more are read and answered 503; past those, accepting
    // pauses until one closes and new ones wait in the kernel's backlog.
    size_t maxConnections = 64;
    // Connections accepted whose request (or upgrade) has not completed;
    // past it a newcomer closes the oldest (see server/server.h). Each has
    // about 2 s to send its request.
    size_t maxHandshakes = 16;
    std::chrono::milliseconds firstRequestTimeout{2000};
    ServerSecurity security;  // https/wss and the token (server/security.h)
    bool video = false;       // a producer feeds OfferVideo; else tabs' video requests are refused
};

// One encoded image message (see protocol.h), shared by every tab.
struct WebImage {
    std::shared_ptr<const std::string> message;
    int channel = 0;              // 0..travik::kImageChannels-1 (protocol/channel_rule.h)
    uint64_t receivedMicros = 0;  // wall clock when the web process got the raw image
};

// The core's counts (server/stats.h: connections, refusals, bad requests
// and messages, accept failures, loop errors, hop samples) and the page's.
struct WebServerStats : ServerStats {
    uint64_t tabs = 0;            // open WebSocket tabs now
    uint64_t imagesQueued = 0;    // images handed to tabs' queues (totals)
    uint64_t imagesWritten = 0;   // image messages written to tabs
    uint64_t imagesReplaced = 0;  // unsent images replaced by a newer one
    uint64_t logLinesDropped = 0;
};

class WebServer : public VideoWatchers {
public:
    // Runs on the server thread with one text message from a tab; returns
    // "" when applied or a reason, which the tab gets as an error message.
    using CommandHandler = std::function<std::string(const std::string&)>;

    WebServer();
    ~WebServer() override;  // Stop()
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    void SetCommandHandler(CommandHandler handler);  // before Start
    // Binds and starts the server thread. False with `error` set.
    bool Start(const WebServerConfig& config, std::string& error);
    int Port() const;  // the bound port, after Start
    // Closes every socket and joins the server thread. Idempotent.
    void Stop();

    // False (and nothing published) without a message or with a channel
    // outside 0..travik::kImageChannels-1.
    bool PublishImage(WebImage image);
    // Splits into lines; an empty text is ignored.
    void PublishLog(const std::string& text);
    // A text message kept under `key` (e.g. "hello", "state"): sent to every
    // tab now and to each new tab when it opens.
    void PublishText(const std::string& key, std::string json);

    WebServerStats TakeStats();

    // Some open tab shows `channel` as JPEG now. Any thread, non-blocking.
    bool JpegWatched(int channel);
    // True once after a tab started to watch `channel` as JPEG (it opened,
    // or turned video off): the newest image is wanted even if none comes.
    // Any thread, non-blocking.
    bool TakeJpegWanted(int channel);
    // Drops the newest image of `channel` kept for tabs that open or leave
    // video (and one not yet handed to the tabs): it went stale because the
    // channel's images stopped coming. Any thread, non-blocking.
    void ForgetImage(int channel);

    // VideoWatchers: any thread, non-blocking. Units published before Start wait.
    bool VideoWatched(int channel) override;
    bool TakeKeyframeWanted(int channel) override;
    void OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) override;

    struct Impl;  // server_impl.h

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace travik_tool
