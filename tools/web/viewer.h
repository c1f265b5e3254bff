// `travik web`: a viewer (public API only) that shows the device live in a
// browser. It connects to the device, steers it with the page's commands,
// and feeds images and log lines through an ImageRelay to a WebServer.
#pragma once

#include <travik/travik.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/stop_signal.h"
#include "foxglove_endpoint/foxglove_relay.h"
#include "foxglove_endpoint/foxglove_server.h"
#include "web/protocol.h"
#include "web/relay.h"
#include "web/server.h"

namespace travik_tool {

struct WebOptions {
    std::string target;  // device HOST[:PORT]
    std::string http = "127.0.0.1:8080";
    int quality = 85;
    bool lossless = false;
    bool logs = false;
    std::vector<int> channels{0, 1, 2, 3};
    int interval = 100;
    std::string foxglove;  // ADDR:PORT of the Foxglove endpoint; "": none
    std::vector<std::string> allowOrigins;
};

// "127.0.0.1:8080", "0.0.0.0:80", "[::1]:0", "localhost:8080" -> address
// literal and port (0..65535). False otherwise.
bool ParseHttpAddress(const std::string& text, std::string& address, int& port);

struct WebConfig {
    std::string deviceIp = "127.0.0.1";  // dotted IPv4
    int devicePort = kDefaultPort;
    std::string httpAddress = "127.0.0.1";
    int httpPort = 8080;  // 0: any free port
    int quality = 85;
    bool lossless = false;
    DeviceWish wish;        // the first command sent to the device
    bool foxglove = false;  // also serve the Foxglove WebSocket endpoint
    std::string foxgloveAddress = "127.0.0.1";
    int foxglovePort = 8765;                // 0: any free port
    std::vector<std::string> allowOrigins;  // page origins the endpoint accepts
};

// Services of the Foxglove endpoint.
constexpr uint32_t kFoxgloveCommandService = 1;  // /travik/command
constexpr uint32_t kFoxgloveStatsService = 2;    // /travik/stats

// Threads: Start, Tick, Stop and TakeWindow on one host thread. The
// library's callbacks, the page's commands and the Foxglove service calls
// arrive on their own threads and only touch the relays, the servers and
// the wish (under m_mutex).
class WebViewer {
public:
    WebViewer(TravikMgr& mgr, WebConfig config);
    ~WebViewer();  // Stop()
    WebViewer(const WebViewer&) = delete;
    WebViewer& operator=(const WebViewer&) = delete;

    // Starts the page's server; the device is connected by Tick.
    bool Start(std::string& error);
    std::string Url() const;
    // ws://ADDR:PORT of the Foxglove endpoint; "" without one.
    std::string FoxgloveUrl() const;
    // Connects when not connected (at most once a second), notices a lost
    // connection. Blocks only for a connect attempt.
    void Tick();
    bool DeviceUp() const { return m_link == DeviceLink::Connected; }
    void Stop();
    // One status line's worth of counts since the previous call.
    std::string StatusLine(double seconds);

private:
    std::string OnCommand(const std::string& text);
    bool OnService(uint32_t service, const std::string& request, std::string& reply);
    void PublishState();

    TravikMgr& m_mgr;
    WebConfig m_config;
    std::string m_device;  // "ip:port" for messages
    WebServer m_server;
    std::unique_ptr<ImageRelay> m_relay;
    FoxgloveServer m_foxglove;
    std::unique_ptr<FoxgloveRelay> m_foxRelay;
    bool m_started = false;
    std::chrono::steady_clock::time_point m_nextAttempt{};

    std::mutex m_mutex;  // m_wish, m_link as sent to the page, m_logLines
    DeviceWish m_wish;
    DeviceLink m_link = DeviceLink::Connecting;
    uint64_t m_logLines = 0;
};

// `travik web`. The page's URL goes to `out`. Exit code: 0 after Ctrl-C,
// 1 when the page's address cannot be bound.
int RunWeb(const WebOptions& options, StopSignal& stop, FILE* out);

}  // namespace travik_tool
