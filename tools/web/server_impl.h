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
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/channel_rule.h"
#include "web/server.h"

namespace travik_tool {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

// Written on the server thread, read by TakeStats on any thread. Owned by
// WebServer::Impl, so it outlives every tab and connection that refers to it.
struct ServerCounters {
    std::atomic<uint64_t> imagesQueued{0};  // images handed to a tab's queue
    std::atomic<uint64_t> imagesWritten{0};
    std::atomic<uint64_t> imagesReplaced{0};
    std::atomic<uint64_t> logLinesDropped{0};
    std::atomic<uint64_t> badMessages{0};
    std::atomic<uint64_t> refusedUpgrades{0};
    std::atomic<uint64_t> tabs{0};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> refusedConnections{0};
    std::atomic<uint64_t> acceptFailures{0};
    std::atomic<uint64_t> loopErrors{0};
    std::mutex hopMutex;
    std::vector<int64_t> hopMicros;  // bounded by kMaxHopSamples
};

constexpr size_t kMaxHopSamples = 100000;
constexpr size_t kLinesPerLogMessage = 500;
constexpr size_t kMaxQueuedTexts = 32;
// Pause after a failed accept (descriptors ran out): retrying at once would
// fail again at once, for ever, while the connection waits in the backlog.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// Runs `ioc` on the calling thread until it stops. An exception that
// escapes a handler is counted in `loopErrors`, printed on stderr and the
// loop carries on: one bad handler must not take the server down.
void RunServerLoop(asio::io_context& ioc, std::atomic<uint64_t>& loopErrors);

// Whether `host` (a Host header) names the loopback interface. A server
// bound to loopback refuses other names so that a page from another site
// cannot rebind its own name to 127.0.0.1 and pass the Origin check.
bool LoopbackHost(const std::string& host);
std::string Lower(std::string s);

// One open tab. Every member runs on the server thread.
//
// Ownership: the server's tab set holds it while open; each pending
// asynchronous operation holds it too (`self`), so it lives until the last
// one has completed. `counters` and `*handler` are borrowed from
// WebServer::Impl, which outlives every tab (Stop joins the thread and
// destroys the pending handlers, and with them the tabs, before the Impl
// goes); `*handler` is set before Start and never changes after. `onClosed`
// runs at most once, from Finish, to drop the server's reference.
class WebTab : public std::enable_shared_from_this<WebTab> {
public:
    using Handler = WebServer::CommandHandler;
    WebTab(tcp::socket socket, size_t logLines, ServerCounters& counters, const Handler* handler,
           std::function<void(WebTab*)> onClosed);

    // Completes the upgrade for `request`, then sends `texts`, `logs` and
    // `images` (the snapshot) and starts reading.
    void Accept(http::request<http::string_body> request, std::vector<std::string> texts, std::vector<std::string> logs,
                std::vector<WebImage> images);
    void QueueImage(const WebImage& image);
    void QueueLogs(const std::vector<std::string>& lines, uint64_t droppedBefore);
    void QueueText(const std::string& text);
    // The server closes the tab (Stop): closes the socket so that pending
    // operations complete, queues nothing more, and does NOT call onClosed,
    // since the server is already dropping its own references.
    void Close();

private:
    void Read();
    void OnRead(beast::error_code ec);
    void Pump();
    void OnWritten(beast::error_code ec, bool image, uint64_t receivedMicros);
    // The tab ends on its own (the page closed, a read or write failed, the
    // upgrade failed): Close, free the queues and tell the server through
    // onClosed, once.
    void Finish();

    websocket::stream<beast::tcp_stream> m_ws;
    beast::flat_buffer m_readBuffer;
    size_t m_logLimit;
    ServerCounters& m_counters;
    const Handler* m_handler;
    std::function<void(WebTab*)> m_onClosed;
    bool m_open = false;
    bool m_writing = false;
    bool m_closed = false;
    std::deque<std::string> m_texts;
    std::deque<std::string> m_logs;
    uint64_t m_logsDropped = 0;
    WebImage m_pending[travik::kImageChannels];
    int m_nextChannel = 0;
    std::string m_textOut;
    std::shared_ptr<const std::string> m_imageOut;
};

}  // namespace travik_tool
