// Internals of WebServer shared by its two source files: server.cpp (the
// page's requests, the inbox and the fan-out) and tab.cpp (one WebSocket
// tab). The listener, the connections and the write loop are the server
// core's (server/). Everything here except the inbox and the atomics is
// touched only on the server thread.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/bounded_lines.h"
#include "protocol/channel_rule.h"
#include "server/http_connection.h"
#include "server/server.h"
#include "server/session.h"
#include "web/server.h"

namespace travik_tool {

constexpr size_t kLinesPerLogMessage = 500;
constexpr size_t kMaxQueuedTexts = 32;
// Video messages waiting in the inbox per channel; past it the channel's
// watchers wait for a keyframe rather than see a gap.
constexpr size_t kMaxInboxVideo = 8;

// One open tab: a session whose control messages are the page's texts
// (hello, state, errors; the oldest goes when a tab lets 32 pile up), then
// log batches, then the newest image of each channel. Server thread only.
// `owner` (its handler, config and counts) outlives every tab; the handler
// is set before Start and never changes. Video on a channel (SetVideo)
// counts the tab in owner.videoWatchers until it turns video off or ends;
// every other channel counts it in owner.jpegWatchers while it is open.
class WebTab : public Session {
public:
    using Handler = WebServer::CommandHandler;
    WebTab(WebServer::Impl& owner, ServerStream stream, HandshakeTicket handshake);

    // Completes the upgrade for `request`, then sends `texts`, `logs` and
    // `images` (the snapshot) and starts reading.
    void Open(const HttpRequest& request, std::vector<std::string> texts, const std::vector<std::string>& logs,
              const std::vector<WebImage>& images);
    void QueueImage(const WebImage& image);
    void QueueVideo(int channel, const SessionItem& item);
    // The channel's stream broke upstream: wait for a keyframe.
    void VideoGap(int channel);
    void QueueLogs(const std::vector<std::string>& lines, uint64_t droppedBefore);
    void QueueText(const std::string& text);

private:
    void OnMessage(bool text, const std::string& bytes) override;
    bool MoreControl(std::string& out) override;
    void OnFinished() override;
    void SetVideo(int channel, bool on);
    void SetJpeg(int channel, bool on);

    WebServer::Impl& m_owner;
    size_t m_logLimit;
    bool m_video[travik::kImageChannels] = {};  // channels this tab watches as video
    bool m_jpeg[travik::kImageChannels] = {};   // channels this tab watches as JPEG
    std::deque<std::string> m_logs;
    uint64_t m_logsDropped = 0;  // lines this tab has lost, told to the page
};

struct WebServer::Impl : RequestHandler {
    WebServerConfig config;
    CommandHandler handler;
    Server core;
    std::atomic<uint64_t> logLinesDropped{0};

    // Server thread only.
    std::map<std::string, std::string> texts;  // "hello", "state", ...
    std::deque<std::string> logSnapshot;
    WebImage imageSnapshot[travik::kImageChannels];
    // Tabs watching each channel as video (changed on the server thread).
    std::atomic<uint32_t> videoWatchers[travik::kImageChannels] = {};
    std::atomic<bool> keyframeWanted[travik::kImageChannels] = {};
    // Tabs watching each channel as JPEG, and whether one just started to.
    std::atomic<uint32_t> jpegWatchers[travik::kImageChannels] = {};
    std::atomic<bool> jpegWanted[travik::kImageChannels] = {};

    // Inbox: any thread, under inboxMutex.
    std::mutex inboxMutex;
    WebImage inImages[travik::kImageChannels];
    BoundedLines inLogs{0, 0, true};  // bounded once Start has the config
    uint64_t inLogsDropped = 0;
    std::deque<SessionItem> inVideo[travik::kImageChannels];
    bool inVideoGap[travik::kImageChannels] = {};
    bool inForget[travik::kImageChannels] = {};  // ForgetImage: drop the snapshot
    std::vector<std::pair<std::string, std::string>> inTexts;
    bool drainPosted = false;

    void OnRequest(HttpConnection& connection) override;
    void Wake();  // under inboxMutex
    void Drain();
    // Whether an upgrade may proceed; otherwise the status to answer with.
    http::status CheckUpgrade(const HttpRequest& req) const;
    void OpenTab(HttpConnection& connection);
};

}  // namespace travik_tool
