// One WebSocket tab: a write loop that takes control messages first, then
// log batches, then images round the channels, one message in flight at a
// time; and a read loop that hands text messages to the command handler.
#include <chrono>
#include <exception>

#include "platform/clock.h"
#include "web/protocol.h"
#include "web/server_impl.h"

namespace travik_tool {

namespace {
// Larger page messages close the socket (WebSocket status 1009); up to this
// size they are parsed and answered.
constexpr size_t kReadMessageMax = 64 * 1024;
}  // namespace

WebTab::WebTab(tcp::socket socket, size_t logLines, ServerCounters& counters, const Handler* handler,
               std::function<void(WebTab*)> onClosed)
    : m_ws(std::move(socket)),
      m_logLimit(logLines),
      m_counters(counters),
      m_handler(handler),
      m_onClosed(std::move(onClosed)) {}

void WebTab::Accept(http::request<http::string_body> request, std::vector<std::string> texts,
                    std::vector<std::string> logs, std::vector<WebImage> images) {
    // A page sends nothing unless clicked: the server pings it when the
    // socket has been quiet for 15 s and closes a tab that has not answered
    // within 30 s (a closed laptop, a dead network).
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = std::chrono::seconds(10);
    timeouts.idle_timeout = std::chrono::seconds(30);
    timeouts.keep_alive_pings = true;
    m_ws.set_option(timeouts);
    m_ws.read_message_max(kReadMessageMax);
    m_ws.auto_fragment(false);
    for (std::string& t : texts) m_texts.push_back(std::move(t));
    QueueLogs(logs, 0);
    for (const WebImage& image : images) QueueImage(image);
    auto self = shared_from_this();
    m_ws.async_accept(request, [self](beast::error_code ec) {
        if (ec) return self->Finish();
        self->m_open = true;
        self->Read();
        self->Pump();
    });
}

void WebTab::QueueImage(const WebImage& image) {
    if (m_closed || !image.message || !travik::ValidChannel(image.channel)) return;
    ++m_counters.imagesQueued;
    WebImage& slot = m_pending[image.channel];
    if (slot.message) ++m_counters.imagesReplaced;  // latest wins: never a growing lag
    slot = image;
    Pump();
}

void WebTab::QueueLogs(const std::vector<std::string>& lines, uint64_t droppedBefore) {
    if (m_closed) return;
    m_logsDropped += droppedBefore;
    for (const std::string& line : lines) {
        if (m_logs.size() >= m_logLimit) {
            m_logs.pop_front();
            ++m_logsDropped;
            ++m_counters.logLinesDropped;
        }
        m_logs.push_back(line);
    }
    Pump();
}

void WebTab::QueueText(const std::string& text) {
    if (m_closed) return;
    if (m_texts.size() >= kMaxQueuedTexts) m_texts.pop_front();
    m_texts.push_back(text);
    Pump();
}

void WebTab::Close() {
    if (m_closed) return;
    m_closed = true;
    beast::error_code ignored;
    beast::get_lowest_layer(m_ws).socket().close(ignored);
}

void WebTab::Read() {
    auto self = shared_from_this();
    m_ws.async_read(m_readBuffer, [self](beast::error_code ec, size_t) { self->OnRead(ec); });
}

void WebTab::OnRead(beast::error_code ec) {
    // Also invalid UTF-8 in a text message: Beast closes with status 1007.
    if (ec) return Finish();
    std::string error;
    if (!m_ws.got_text()) {
        error = "binary messages are not accepted";
    } else {
        std::string text = beast::buffers_to_string(m_readBuffer.data());
        try {
            error = m_handler && *m_handler ? (*m_handler)(text) : "commands are not accepted here";
        } catch (const std::exception& e) {
            error = std::string("command failed: ") + e.what();
        } catch (...) {
            error = "command failed";
        }
    }
    m_readBuffer.consume(m_readBuffer.size());
    if (!error.empty()) {
        ++m_counters.badMessages;
        QueueText(ErrorJson(error));
    }
    Read();
}

void WebTab::Pump() {
    if (!m_open || m_writing || m_closed) return;
    auto self = shared_from_this();
    if (!m_texts.empty() || !m_logs.empty()) {
        if (!m_texts.empty()) {
            m_textOut = std::move(m_texts.front());
            m_texts.pop_front();
        } else {
            std::vector<std::string> batch;
            while (!m_logs.empty() && batch.size() < kLinesPerLogMessage) {
                batch.push_back(std::move(m_logs.front()));
                m_logs.pop_front();
            }
            m_textOut = LogsJson(batch.data(), batch.size(), m_logsDropped);
        }
        m_writing = true;
        m_ws.text(true);
        m_ws.async_write(asio::buffer(m_textOut),
                         [self](beast::error_code ec, size_t) { self->OnWritten(ec, false, 0); });
        return;
    }
    for (int i = 0; i < travik::kImageChannels; ++i) {
        WebImage& slot = m_pending[(m_nextChannel + i) % travik::kImageChannels];
        if (!slot.message) continue;
        m_nextChannel = (m_nextChannel + i + 1) % travik::kImageChannels;
        m_imageOut = std::move(slot.message);
        const uint64_t received = slot.receivedMicros;
        slot = WebImage();
        m_writing = true;
        m_ws.binary(true);
        m_ws.async_write(asio::buffer(*m_imageOut),
                         [self, received](beast::error_code ec, size_t) { self->OnWritten(ec, true, received); });
        return;
    }
}

void WebTab::OnWritten(beast::error_code ec, bool image, uint64_t receivedMicros) {
    m_writing = false;
    m_imageOut.reset();
    if (ec) return Finish();
    if (image) {
        ++m_counters.imagesWritten;
        if (receivedMicros > 0) {
            const int64_t hop = travik::NowMicros() - static_cast<int64_t>(receivedMicros);
            std::lock_guard<std::mutex> lock(m_counters.hopMutex);
            if (m_counters.hopMicros.size() < kMaxHopSamples) m_counters.hopMicros.push_back(hop);
        }
    }
    Pump();
}

void WebTab::Finish() {
    Close();
    for (WebImage& slot : m_pending) slot = WebImage();
    m_logs.clear();
    m_texts.clear();
    // Once only: the server drops its reference; the running handler's
    // `self` keeps this tab alive until it returns.
    auto onClosed = std::move(m_onClosed);
    m_onClosed = nullptr;
    if (onClosed) onClosed(this);
}

}  // namespace travik_tool
