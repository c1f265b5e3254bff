// One WebSocket tab on the server core's session: the page's texts, then
// log batches, then images round the channels; text messages from the page
// go to the command handler.
#include <exception>

#include "web/protocol.h"
#include "web/server_impl.h"

namespace travik_tool {

WebTab::WebTab(Server& server, ServerStream stream, HandshakeTicket handshake, size_t logLines, const Handler* handler,
               std::atomic<uint64_t>& logLinesDropped)
    // Tabs are bounded by maxTabs, not by the connection cap: no slot.
    : Session(server, std::move(stream), travik::kImageChannels, kMaxQueuedTexts, ControlOverflow::DropOldest,
              ConnectionSlot(), std::move(handshake)),
      m_logLimit(logLines),
      m_handler(handler),
      m_logLinesDropped(logLinesDropped) {}

void WebTab::Open(const HttpRequest& request, std::vector<std::string> texts, const std::vector<std::string>& logs,
                  const std::vector<WebImage>& images) {
    for (std::string& t : texts) SendControl(std::move(t));
    QueueLogs(logs, 0);
    for (const WebImage& image : images) QueueImage(image);
    Accept(request);
}

void WebTab::QueueImage(const WebImage& image) {
    if (!image.message || !travik::ValidChannel(image.channel)) return;
    SessionItem item;
    item.payload = image.message;
    item.receivedMicros = image.receivedMicros;
    QueueItem(static_cast<size_t>(image.channel), std::move(item), 1);  // latest wins: never a growing lag
}

void WebTab::QueueLogs(const std::vector<std::string>& lines, uint64_t droppedBefore) {
    if (Closed()) return;
    m_logsDropped += droppedBefore;
    for (const std::string& line : lines) {
        if (m_logs.size() >= m_logLimit) {
            m_logs.pop_front();
            ++m_logsDropped;
            ++m_logLinesDropped;
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
    if (!text) {
        error = "binary messages are not accepted";
    } else {
        try {
            error = m_handler && *m_handler ? (*m_handler)(bytes) : "commands are not accepted here";
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

void WebTab::OnFinished() { m_logs.clear(); }

}  // namespace travik_tool
