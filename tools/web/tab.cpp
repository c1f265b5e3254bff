// One WebSocket tab on the server core's session: the page's texts, then
// log batches, then images round the channels; text messages from the page
// go to the command handler.
#include <exception>

#include "web/protocol.h"
#include "web/server_impl.h"

namespace travik_tool {

WebTab::WebTab(WebServer::Impl& owner, ServerStream stream, HandshakeTicket handshake)
    // Tabs are bounded by maxTabs, not by the connection cap: no slot.
    : Session(owner.core, std::move(stream), travik::kImageChannels, kMaxQueuedTexts, ControlOverflow::DropOldest,
              ConnectionSlot(), std::move(handshake)),
      m_owner(owner),
      m_logLimit(owner.config.tabLogLines) {}

void WebTab::Open(const HttpRequest& request, std::vector<std::string> texts, const std::vector<std::string>& logs,
                  const std::vector<WebImage>& images) {
    for (std::string& t : texts) SendControl(std::move(t));
    QueueLogs(logs, 0);
    for (const WebImage& image : images) QueueImage(image);
    for (int c = 0; c < travik::kImageChannels; ++c) SetJpeg(c, true);
    Accept(request);
}

void WebTab::QueueImage(const WebImage& image) {
    if (!image.message || !travik::ValidChannel(image.channel) || m_video[image.channel]) return;
    SessionItem item;
    item.payload = image.message;
    item.receivedMicros = image.receivedMicros;
    QueueItem(static_cast<size_t>(image.channel), std::move(item), 1);  // latest wins: never a growing lag
}

void WebTab::QueueVideo(int channel, const SessionItem& item) {
    if (!travik::ValidChannel(channel) || !m_video[channel]) return;
    if (QueueStreamItem(static_cast<size_t>(channel), item)) m_owner.keyframeWanted[channel] = true;
}

void WebTab::VideoGap(int channel) {
    if (!travik::ValidChannel(channel) || !m_video[channel]) return;
    WaitForKeyframe(static_cast<size_t>(channel));
    m_owner.keyframeWanted[channel] = true;
}

void WebTab::SetVideo(int channel, bool on) {
    if (m_video[channel] == on) return;
    m_video[channel] = on;
    if (!Closed()) SetJpeg(channel, !on);  // a finished tab watches nothing
    const auto c = static_cast<size_t>(channel);
    if (on) {
        ++m_owner.videoWatchers[channel];
        WaitForKeyframe(c);  // also drops a queued JPEG
        m_owner.keyframeWanted[channel] = true;
    } else {
        --m_owner.videoWatchers[channel];
        ClearChannel(c);
        if (m_owner.imageSnapshot[channel].message) QueueImage(m_owner.imageSnapshot[channel]);
    }
}

void WebTab::SetJpeg(int channel, bool on) {
    if (m_jpeg[channel] == on) return;
    m_jpeg[channel] = on;
    if (on) {
        ++m_owner.jpegWatchers[channel];
        m_owner.jpegWanted[channel] = true;
    } else {
        --m_owner.jpegWatchers[channel];
    }
}

void WebTab::QueueLogs(const std::vector<std::string>& lines, uint64_t droppedBefore) {
    if (Closed()) return;
    m_logsDropped += droppedBefore;
    for (const std::string& line : lines) {
        if (m_logs.size() >= m_logLimit) {
            m_logs.pop_front();
            ++m_logsDropped;
            ++m_owner.logLinesDropped;
        }
        m_logs.push_back(line);
    }
    Pump();
}

void WebTab::QueueText(const std::string& text) { SendControl(text); }

bool WebTab::MoreControl(std::string& out) {
    if (m_logs.empty()) return false;
    std::vector<std::string> batch;
    while (!m_logs.empty() && batch.size() < kLinesPerLogMessage) {
        batch.push_back(std::move(m_logs.front()));
        m_logs.pop_front();
    }
    out = LogsJson(batch.data(), batch.size(), m_logsDropped);
    return true;
}

void WebTab::OnMessage(bool text, const std::string& bytes) {
    std::string error;
    VideoCommand video;
    bool valid = false;
    if (!text) {
        error = "binary messages are not accepted";
    } else if (ParseVideoCommand(bytes, video, valid, error)) {
        if (valid && video.on && !m_owner.config.video) {
            error = "video is not available here (travik web --video h264 in a build with video)";
        } else if (valid) {
            SetVideo(video.channel, video.on);
        }
    } else {
        error.clear();
        try {
            const Handler& handler = m_owner.handler;
            error = handler ? handler(bytes) : "commands are not accepted here";
        } catch (const std::exception& e) {
            error = std::string("command failed: ") + e.what();
        } catch (...) {
            error = "command failed";
        }
    }
    if (!error.empty()) {
        ++Owner().Counters().badMessages;
        QueueText(ErrorJson(error));
    }
}

void WebTab::OnFinished() {
    m_logs.clear();
    for (int c = 0; c < travik::kImageChannels; ++c) {
        SetJpeg(c, false);
        SetVideo(c, false);
    }
}

}  // namespace travik_tool
