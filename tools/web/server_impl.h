// Internals of WebServer shared by its two source files: server.cpp
// (accept, HTTP, fan-out) and tab.cpp (one WebSocket tab). Everything
// here except the inbox and the statistics is touched only on the server
// thread.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "web/server.h"

namespace travik_tool {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct ServerCounters {
    std::atomic<uint64_t> imagesQueued{0};  // images handed to a tab's queue
    std::atomic<uint64_t> imagesWritten{0};
    std::atomic<uint64_t> imagesReplaced{0};
    std::atomic<uint64_t> logLinesDropped{0};
    std::atomic<uint64_t> badMessages{0};
    std::atomic<uint64_t> refusedUpgrades{0};
    std::atomic<uint64_t> tabs{0};
    std::mutex hopMutex;
    std::vector<int64_t> hopMicros;  // bounded by kMaxHopSamples
};

constexpr size_t kMaxHopSamples = 100000;
constexpr size_t kLinesPerLogMessage = 500;
constexpr size_t kMaxQueuedTexts = 32;

// One open tab. Owned by the server's tab set while open; handlers hold it
// alive while they run.
class WebTab : public std::enable_shared_from_this<WebTab> {
public:
    using Handler = WebServer::CommandHandler;
    WebTab(tcp::socket socket, size_t logLines, ServerCounters& counters, Handler* handler,
           std::function<void(WebTab*)> onClosed);

    // Completes the upgrade for `request`, then sends `texts`, `logs` and
    // `images` (the snapshot) and starts reading.
    void Accept(http::request<http::string_body> request, std::vector<std::string> texts, std::vector<std::string> logs,
                std::vector<WebImage> images);
    void QueueImage(const WebImage& image);
    void QueueLogs(const std::vector<std::string>& lines, uint64_t droppedBefore);
    void QueueText(const std::string& text);
    void Close();

private:
    void Read();
    void OnRead(beast::error_code ec);
    void Pump();
    void OnWritten(beast::error_code ec, bool image, uint64_t receivedMicros);
    void Fail();

    websocket::stream<beast::tcp_stream> m_ws;
    beast::flat_buffer m_readBuffer;
    size_t m_logLimit;
    ServerCounters& m_counters;
    Handler* m_handler;
    std::function<void(WebTab*)> m_onClosed;
    bool m_open = false;
    bool m_writing = false;
    bool m_closed = false;
    std::deque<std::string> m_texts;
    std::deque<std::string> m_logs;
    uint64_t m_logsDropped = 0;
    WebImage m_pending[4];
    int m_nextChannel = 0;
    std::string m_textOut;
    std::shared_ptr<const std::string> m_imageOut;
};

}  // namespace travik_tool
