#include "web/viewer.h"

#include <algorithm>
#include <cinttypes>

#include <nlohmann/json.hpp>

#include "cli/console.h"
#include "cli/stats.h"
#include "cli/status_ticker.h"
#include "common/image_file.h"
#include "protocol/channel_rule.h"
#include "protocol/switch_value.h"

namespace travik_tool {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

bool ParseHttpAddress(const std::string& text, std::string& address, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() - colon > 6) return false;
    std::string host = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    const long value = std::strtol(digits.c_str(), nullptr, 10);
    if (value < 0 || value > 65535) return false;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host == "localhost") host = "127.0.0.1";
    if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) return false;
    address = host;
    port = static_cast<int>(value);
    return true;
}

WebViewer::WebViewer(TravikMgr& mgr, WebConfig config)
    : m_mgr(mgr),
      m_config(std::move(config)),
      m_device(m_config.deviceIp + ":" + std::to_string(m_config.devicePort)),
      m_wish(m_config.wish) {}

WebViewer::~WebViewer() { Stop(); }

bool WebViewer::Start(std::string& error) {
    m_server.SetCommandHandler([this](const std::string& text) { return OnCommand(text); });
    m_server.PublishText("hello", HelloJson(m_device, m_config.quality, m_config.lossless));
    PublishState();
    WebServerConfig server;
    server.address = m_config.httpAddress;
    server.port = m_config.httpPort;
    if (!m_server.Start(server, error)) return false;
    m_relay = std::make_unique<ImageRelay>(m_server, m_config.quality, m_config.lossless);
    if (m_config.foxglove) {
        m_foxglove.SetChannels(TravikFoxgloveChannels());
        std::vector<FoxgloveService> services(2);
        services[0].id = kFoxgloveCommandService;
        services[0].name = "/travik/command";
        services[0].type = "travik.Command";
        services[0].requestSchema =
            R"({"type":"object","properties":{"logs":{"type":"boolean"},"images":{"type":"boolean"},)"
            R"("channels":{"type":"array","items":{"type":"integer","minimum":0,"maximum":3}},)"
            R"("interval":{"type":"integer","minimum":1,"maximum":3600000}},"additionalProperties":false})";
        services[0].responseSchema =
            R"({"type":"object","properties":{"connected":{"type":"boolean"},"logs":{"type":"boolean"},)"
            R"("images":{"type":"boolean"},"channels":{"type":"array","items":{"type":"integer"}},)"
            R"("interval":{"type":"integer"}}})";
        services[1].id = kFoxgloveStatsService;
        services[1].name = "/travik/stats";
        services[1].type = "travik.Stats";
        services[1].requestSchema = R"({"type":"object"})";
        services[1].responseSchema =
            R"({"type":"object","properties":{"encodings":{"type":"object","additionalProperties":{"type":"integer"}},)"
            R"("subscribers":{"type":"object","additionalProperties":{"type":"integer"}}}})";
        m_foxglove.SetServices(std::move(services),
                               [this](uint32_t service, const std::string& request, std::string& reply) {
                                   return OnService(service, request, reply);
                               });
        FoxgloveServerConfig fox;
        fox.address = m_config.foxgloveAddress;
        fox.port = m_config.foxglovePort;
        fox.allowedOrigins = m_config.allowOrigins;
        // Before Start: the stats service reads it on the server's thread.
        m_foxRelay = std::make_unique<FoxgloveRelay>(m_foxglove, m_config.quality);
        if (!m_foxglove.Start(fox, error)) {
            m_foxRelay->Stop();
            m_relay->Stop();
            m_server.Stop();
            error = "foxglove endpoint: " + error;
            return false;
        }
    }
    m_started = true;
    return true;
}

std::string WebViewer::Url() const {
    std::string host = m_config.httpAddress;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(m_server.Port()) + "/";
}

std::string WebViewer::FoxgloveUrl() const {
    if (!m_config.foxglove) return std::string();
    std::string host = m_config.foxgloveAddress;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "ws://" + host + ":" + std::to_string(m_foxglove.Port());
}

void WebViewer::PublishState() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_server.PublishText("state", StateJson(m_link, m_device, m_wish));
}

void WebViewer::Tick() {
    if (!m_started) return;
    if (m_link == DeviceLink::Connected) {
        if (m_mgr.IsConnected() == 1) return;
        Status("travik web: connection to %s lost; reconnecting every second", m_device.c_str());
        m_mgr.Release();  // no callback runs after it returns
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_link = DeviceLink::Lost;
        }
        PublishState();
        m_nextAttempt = Clock::now() + std::chrono::seconds(1);
        return;
    }
    if (Clock::now() < m_nextAttempt) return;
    m_nextAttempt = Clock::now() + std::chrono::seconds(1);
    std::string ip = m_config.deviceIp;  // Connect takes a mutable C string
    if (m_mgr.Connect(&ip[0], m_config.devicePort) != 0) {
        m_mgr.Release();
        return;
    }
    ImageRelay* relay = m_relay.get();
    FoxgloveRelay* fox = m_foxRelay.get();
    WebServer* server = &m_server;
    m_mgr.SetLogCb([this, server, fox](std::string& text) {
        server->PublishLog(text);
        if (fox) fox->OfferLog(text);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_logLines += static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    });
    m_mgr.SetImageCb([relay, fox](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                                  unsigned long long tag) {
        const int channel = travik::ChannelOf(a1, a5);
        relay->Offer(channel, a2, a3, a4, data, len, tag);
        if (fox) {
            const int attrs[5] = {a1, a2, a3, a4, a5};
            fox->Offer(channel, attrs, data, len, tag);
        }
    });
    {
        // Under the lock, so that a page command cannot overtake this one.
        std::lock_guard<std::mutex> lock(m_mutex);
        int switches[travik::kImageChannels];
        for (int c = 0; c < travik::kImageChannels; ++c) switches[c] = travik::SwitchOf(m_wish.channels[c]);
        m_mgr.SendCmd(travik::SwitchOf(m_wish.logs), travik::SwitchOf(m_wish.images), switches, m_wish.intervalMs);
        m_link = DeviceLink::Connected;
    }
    PublishState();
    Status("travik web: connected to %s", m_device.c_str());
}

std::string WebViewer::OnCommand(const std::string& text) {
    PageCommand command;
    std::string error;
    if (!ParsePageCommand(text, command, error)) return error;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ApplyCommand(command, m_wish)) return "no such channel";
        // Only what the command changes; the rest keeps its value on the
        // device (keep). Before a connection it waits in the wish.
        int switches[travik::kImageChannels] = {};  // SWITCH_KEEP
        if (command.channel >= 0) switches[command.channel] = travik::SwitchOf(command.on == 1);
        if (m_link == DeviceLink::Connected)
            m_mgr.SendCmd(command.logs >= 0 ? travik::SwitchOf(command.logs == 1) : travik::SWITCH_KEEP,
                          command.images >= 0 ? travik::SwitchOf(command.images == 1) : travik::SWITCH_KEEP, switches,
                          command.intervalMs > 0 ? command.intervalMs : 0);
    }
    PublishState();
    return std::string();
}

bool WebViewer::OnService(uint32_t service, const std::string& request, std::string& reply) {
    if (service == kFoxgloveStatsService) {
        nlohmann::json encodings = nlohmann::json::object(), subscribers = nlohmann::json::object();
        if (m_foxRelay) {
            for (const auto& [topic, count] : m_foxRelay->Encodings()) encodings[topic] = count;
        }
        for (const FoxgloveChannel& c : TravikFoxgloveChannels()) subscribers[c.topic] = m_foxglove.Subscribers(c.id);
        reply = nlohmann::json{{"encodings", encodings}, {"subscribers", subscribers}}.dump();
        return true;
    }
    if (service != kFoxgloveCommandService) {
        reply = "no such service";
        return false;
    }
    ServiceCommand command;
    if (!ParseServiceCommand(request, command, reply)) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ApplyServiceCommand(command, m_wish);
        int switches[travik::kImageChannels] = {};  // SWITCH_KEEP
        if (command.channelMask >= 0)
            for (int c = 0; c < travik::kImageChannels; ++c) switches[c] = travik::SwitchOf(m_wish.channels[c]);
        if (m_link == DeviceLink::Connected)
            m_mgr.SendCmd(command.logs >= 0 ? travik::SwitchOf(command.logs == 1) : travik::SWITCH_KEEP,
                          command.images >= 0 ? travik::SwitchOf(command.images == 1) : travik::SWITCH_KEEP, switches,
                          command.intervalMs > 0 ? command.intervalMs : 0);
        reply = ServiceStateJson(m_link, m_wish);
    }
    PublishState();  // the page shows what a Foxglove user changed
    return true;
}

void WebViewer::Stop() {
    if (!m_started) return;
    m_started = false;
    m_mgr.Release();
    if (m_relay) m_relay->Stop();
    if (m_foxRelay) m_foxRelay->Stop();
    m_foxglove.Stop();
    m_server.Stop();
}

std::string WebViewer::StatusLine(double seconds) {
    RelayCounts relay = m_relay ? m_relay->TakeWindow() : RelayCounts();
    WebServerStats server = m_server.TakeStats();
    uint64_t logLines = 0;
    DeviceLink link;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(logLines, m_logLines);
        link = m_link;
    }
    std::string line = std::string("[web] device ") + (link == DeviceLink::Connected ? "connected" : "retrying");
    line += " | images/s in";
    for (int c = 0; c < travik::kImageChannels; ++c) {
        char part[32];
        std::snprintf(part, sizeof part, " %.1f", static_cast<double>(relay.received[c]) / seconds);
        line += part;
    }
    char tail[160];
    std::snprintf(tail, sizeof tail,
                  " | tabs %" PRIu64 ", written %" PRIu64 " images, replaced %" PRIu64 " | logs %.0f lines/s",
                  server.tabs, server.imagesWritten, server.imagesReplaced, static_cast<double>(logLines) / seconds);
    line += tail;
    if (m_config.foxglove) {
        const FoxgloveServerStats fox = m_foxglove.TakeStats();
        char part[160];
        std::snprintf(part, sizeof part, " | foxglove clients %" PRIu64 ", written %" PRIu64 ", replaced %" PRIu64,
                      fox.clients, fox.messagesWritten, fox.messagesReplaced);
        line += part;
        if (!fox.hopMicros.empty())
            line += " hop p50 " + FormatMicros(Percentile(fox.hopMicros, 50)) + " p99 " +
                    FormatMicros(Percentile(fox.hopMicros, 99));
    }
    if (!relay.encodeMicros.empty()) line += " | encode p50 " + FormatMicros(Percentile(relay.encodeMicros, 50));
    // Refused by the encoder (too many pixels) or failed in it: the tabs got the size only.
    if (relay.failed > 0) line += " | not encoded " + std::to_string(relay.failed);
    if (!server.hopMicros.empty())
        line += " | web hop p50 " + FormatMicros(Percentile(server.hopMicros, 50)) + " p99 " +
                FormatMicros(Percentile(server.hopMicros, 99));
    return line;
}

int RunWeb(const WebOptions& options, StopSignal& stop, FILE* out) {
    std::string host;
    WebConfig config;
    if (!ParseTarget(options.target, host, config.devicePort)) {
        Status("travik web: bad target '%s' (expected HOST[:PORT])", options.target.c_str());
        return 2;
    }
    if (!ParseHttpAddress(options.http, config.httpAddress, config.httpPort)) {
        Status("travik web: bad --http '%s' (expected ADDR:PORT, e.g. 127.0.0.1:8080)", options.http.c_str());
        return 2;
    }
    if (!ResolveIPv4(host, config.deviceIp)) {
        Status("travik web: cannot resolve host '%s' to an IPv4 address", host.c_str());
        return 1;
    }
    config.quality = options.quality;
    config.lossless = options.lossless;
    config.wish.logs = options.logs;
    for (bool& on : config.wish.channels) on = false;
    for (int c : options.channels) {
        if (!travik::ValidChannel(c)) {
            Status("travik web: no channel %d (0..%d)", c, travik::kImageChannels - 1);
            return 2;
        }
        config.wish.channels[c] = true;
    }
    config.wish.intervalMs = options.interval;
    if (!options.foxglove.empty()) {
        config.foxglove = true;
        if (!ParseHttpAddress(options.foxglove, config.foxgloveAddress, config.foxglovePort)) {
            Status("travik web: bad --foxglove '%s' (expected ADDR:PORT, e.g. 127.0.0.1:8765)",
                   options.foxglove.c_str());
            return 2;
        }
    }
    config.allowOrigins = options.allowOrigins;

    TravikMgr& mgr = *Singleton<TravikMgr>::GetInstance();
    WebViewer web(mgr, config);
    std::string error;
    if (!web.Start(error)) {
        Status("travik web: %s", error.c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", web.Url().c_str());
    if (config.foxglove) std::fprintf(out, "%s\n", web.FoxgloveUrl().c_str());
    std::fflush(out);
    if (config.foxglove)
        Status("travik web: Foxglove/Lichtblick: Open connection > Foxglove WebSocket > %s", web.FoxgloveUrl().c_str());
    Status("travik web: open %s in a browser; device %s:%d (retrying every second until it answers)", web.Url().c_str(),
           config.deviceIp.c_str(), config.devicePort);
    StatusTicker ticker;
    while (!stop.WaitFor(std::chrono::milliseconds(100))) {
        web.Tick();
        double seconds = 0;
        if (ticker.Due(Clock::now(), seconds)) Status("%s", web.StatusLine(seconds).c_str());
    }
    web.Stop();
    Status("travik web: stopped");
    return 0;
}

}  // namespace travik_tool
