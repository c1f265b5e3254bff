#include "web/viewer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/stats.h"
#include "cli/status_ticker.h"
#include "cli/validators.h"
#include "cli/viewer_options.h"
#include "common/image_file.h"
#include "protocol/channel_rule.h"
#include "server/host_policy.h"
#include "server/tls_context.h"

namespace travik_tool {

namespace {

using Clock = std::chrono::steady_clock;

// The page's switches as a source's wish.
SourceWish WishOf(const DeviceWish& page) {
    SourceWish wish;
    wish.logs = page.logs;
    wish.images = page.images;
    for (int c = 0; c < travik::kImageChannels; ++c) wish.channels[c] = page.channels[c];
    wish.intervalMs = page.intervalMs;
    return wish;
}

constexpr auto kDevicesPeriod = std::chrono::seconds(1);

// The token, TLS and the loopback rule from the options into `config`;
// false after printing why not. Never prints the token.
bool SecureWeb(const WebOptions& options, WebConfig& config) {
    std::string token = options.token;
    if (token.empty()) {
        const char* variable = std::getenv(kWebTokenVariable);
        if (variable != nullptr) token = variable;
    } else {
        Status(
            "travik web: note: other users of this machine can read --token in the process list; %s is not "
            "shown there",
            kWebTokenVariable);
    }
    std::string why;
    if (!token.empty() && options.noAuth) {
        Status("travik web: --no-auth and a token (--token or %s) contradict each other", kWebTokenVariable);
        return false;
    }
    if (!token.empty() && !ValidToken(token, why)) {
        Status("travik web: bad token: %s", why.c_str());
        return false;
    }
    if (!token.empty()) config.security.access = AccessPolicy(token);
    config.security.serveWithoutToken = options.noAuth;
    if (token.empty() && !options.noAuth) {
        for (const std::string* address : {&config.httpAddress, config.foxglove ? &config.foxgloveAddress : nullptr}) {
            if (address == nullptr || !BeyondLoopback(*address)) continue;
            Status(
                "travik web: %s is beyond loopback: set a token in %s (e.g. export %s=$(openssl rand -hex 32)), "
                "or pass --no-auth to let anyone who reaches it watch and steer the device",
                address->c_str(), kWebTokenVariable, kWebTokenVariable);
            return false;
        }
    }
    if (options.httpsCert.empty() != options.httpsKey.empty()) {
        Status("travik web: --https-cert and --https-key go together");
        return false;
    }
    if (!options.httpsCert.empty()) {
        config.security.tls = MakeServerTlsContext(options.httpsCert, options.httpsKey, why);
        if (!config.security.tls) {
            Status("travik web: %s", why.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

WebViewer::WebViewer(ViewSource& source, WebConfig config)
    : m_source(source),
      m_picker(source.Picker()),
      m_config(std::move(config)),
      m_device(source.Where()),
      m_wish(m_config.wish),
      m_where(m_device) {}

WebViewer::~WebViewer() { Stop(); }

bool WebViewer::Start(std::string& error) {
    m_server.SetCommandHandler([this](const std::string& text) { return OnCommand(text); });
#ifdef TRAVIK_TOOL_VIDEO
    const std::string video = m_config.videoFirst ? "h264" : "jpeg";
#else
    const std::string video = "none";
#endif
    m_server.PublishText("hello", HelloJson(m_device, m_config.quality, m_config.lossless, video));
    PublishState();
    WebServerConfig server;
    server.address = m_config.httpAddress;
    server.port = m_config.httpPort;
    server.security = m_config.security;
    server.video = video != "none";
    if (!m_server.Start(server, error)) return false;
    m_relay = std::make_unique<ImageRelay>(m_server, m_config.quality, m_config.lossless);
    if (m_config.foxglove) {
        m_foxglove.SetChannels(TravikFoxgloveChannels(video != "none"));
        std::vector<FoxgloveService> services(2);
        services[0].id = kFoxgloveCommandService;
        services[0].name = "/travik/command";
        services[0].type = "travik.Command";
        services[0].requestSchema =
            R"({"type":"object","properties":{"logs":{"type":"boolean"},"images":{"type":"boolean"},)"
            R"("channels":{"type":"array","items":{"type":"integer","minimum":0,"maximum":)" +
            std::to_string(travik::kImageChannels - 1) +
            R"(}},)"
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
        fox.security = m_config.security;
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
#ifdef TRAVIK_TOOL_VIDEO
    std::vector<VideoWatchers*> watchers{&m_server};
    if (m_foxRelay) watchers.push_back(m_foxRelay.get());
    m_videoWatchers = std::make_unique<VideoWatcherSet>(std::move(watchers));
    H264Config h264;
    h264.bitrate = m_config.videoBitrate;
    m_video = std::make_unique<VideoEncoderHub>(h264, *m_videoWatchers);
    VideoWatcherSet* watcherSet = m_videoWatchers.get();
    std::atomic<bool>* upstream = &m_upstreamEncodes;
    m_passThrough =
        m_source.SetVideoCb([watcherSet, upstream](int channel, const std::shared_ptr<const AccessUnit>& unit) {
            if (!travik::ValidChannel(channel)) return;
            // From the bridge's first unit on the local encoders stop, so
            // that no stream mixes their units with the bridge's.
            upstream->store(true);
            watcherSet->OfferVideo(channel, unit);
        });
#endif
    m_started = true;
    return true;
}

std::string WebViewer::Url() const {
    std::string host = m_config.httpAddress;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return (m_config.security.tls ? "https://" : "http://") + host + ":" + std::to_string(m_server.Port()) + "/";
}

std::string WebViewer::FoxgloveUrl() const {
    if (!m_config.foxglove) return std::string();
    std::string host = m_config.foxgloveAddress;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return (m_config.security.tls ? "wss://" : "ws://") + host + ":" + std::to_string(m_foxglove.Port());
}

void WebViewer::PublishState() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_server.PublishText("state", StateJson(m_link, m_where, m_wish));
}

void WebViewer::Tick() {
    if (!m_started) return;
    m_relay->Refresh();  // a tab that just opened or left video gets the newest image
    const auto now = Clock::now();
    if (m_picker != nullptr && now >= m_nextDevices) {
        m_nextDevices = now + kDevicesPeriod;
        m_server.PublishText("devices", m_picker->DevicesJson());
    }
    if (m_link == DeviceLink::Connected) {
        if (m_source.Up()) {
            // A picker switches devices within Up.
            const std::string where = m_source.Where();
            bool moved = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                moved = where != m_where;
                m_where = where;
            }
            if (moved) {
                // The device picked may come from a bridge without video.
                m_upstreamEncodes.store(false);
                PublishState();
            }
            if (m_passThrough) PassVideoThrough();
            return;
        }
        Status("travik web: connection to %s lost; reconnecting every second", m_where.c_str());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_link = DeviceLink::Lost;  // no SendWish after this
        }
        m_source.Release();              // no callback runs after it returns
        m_upstreamEncodes.store(false);  // known again from the next connection
        PublishState();
        m_nextAttempt = now + std::chrono::seconds(1);
        return;
    }
    if (now < m_nextAttempt) return;
    m_nextAttempt = now + std::chrono::seconds(1);
    if (Connect()) Status("travik web: connected to %s", m_where.c_str());
}

SourceWish WebViewer::WishLocked() const {
    SourceWish wish = WishOf(m_wish);
    for (int c = 0; c < travik::kImageChannels; ++c) {
        wish.video[c] = m_videoWish[c];
        wish.channels[c] = wish.channels[c] && !m_noPixels[c].load();
    }
    return wish;
}

void WebViewer::LeaseAllPixels() {
    for (auto& none : m_noPixels) none.store(false);
}

// Leases the channels the page's tabs and Foxglove clients watch as video
// from the source, and passes their keyframe requests upstream while the
// far end encodes (until then the local encoders serve them from images).
void WebViewer::PassVideoThrough() {
#ifdef TRAVIK_TOOL_VIDEO
    if (m_source.VideoFlowing()) m_upstreamEncodes.store(true);
    const bool upstream = m_upstreamEncodes.load();
    bool watched[travik::kImageChannels], noPixels[travik::kImageChannels];
    for (int c = 0; c < travik::kImageChannels; ++c) {
        watched[c] = m_videoWatchers->VideoWatched(c);
        // Pixels are for JPEG tabs, Foxglove's pixel topics, and the local
        // encoders until the far end is known to encode.
        noPixels[c] =
            upstream && watched[c] && !m_server.JpegWatched(c) && !(m_foxRelay && m_foxRelay->PixelsWanted(c));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bool changed = false;
        for (int c = 0; c < travik::kImageChannels; ++c) {
            changed = changed || m_videoWish[c] != watched[c] || m_noPixels[c].load() != noPixels[c];
            m_videoWish[c] = watched[c];
            if (noPixels[c] && !m_noPixels[c].load()) {
                // From now on the newest picture kept for a tab would be
                // stale: a tab that turns back to JPEG waits for a fresh one.
                m_noPixels[c].store(true);
                m_relay->Forget(c);
                m_server.ForgetImage(c);
            }
            m_noPixels[c].store(noPixels[c]);
        }
        if (changed && m_link == DeviceLink::Connected) m_source.SendWish(WishLocked());
    }
    if (!upstream) return;
    for (int c = 0; c < travik::kImageChannels; ++c) {
        if (watched[c] && m_videoWatchers->TakeKeyframeWanted(c)) m_source.RequestKeyframe(c);
    }
#endif
}

bool WebViewer::Connect() {
    SourceWish wish;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        LeaseAllPixels();  // whether the far end encodes is learnt again
        wish = WishLocked();
    }
    ImageRelay* relay = m_relay.get();
    FoxgloveRelay* fox = m_foxRelay.get();
#ifdef TRAVIK_TOOL_VIDEO
    VideoEncoderHub* video = m_video.get();
#else
    void* const video = nullptr;
#endif
    WebServer* server = &m_server;
    auto onLog = [this, server, fox](std::string& text) {
        server->PublishLog(text);
        if (fox) fox->OfferLog(text);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_logLines += static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    };
    std::atomic<bool>* upstream = &m_upstreamEncodes;
    std::atomic<bool>* noPixels = m_noPixels;
    auto onImage = [relay, fox, video, upstream, noPixels](int a1, int a2, int a3, int a4, int a5,
                                                           std::shared_ptr<unsigned char>& data, int len,
                                                           unsigned long long tag) {
        const int channel = travik::ChannelOf(a1, a5);
        // Still on its way when the lease dropped the channel's pixels.
        if (!travik::ValidChannel(channel) || noPixels[channel].load()) return;
        relay->Offer(channel, a2, a3, a4, data, len, tag);
#ifdef TRAVIK_TOOL_VIDEO
        if (!upstream->load()) video->Offer(channel, a2, a3, a4, data, len);
#else
        (void)video;
        (void)upstream;
#endif
        if (fox) {
            const int attrs[5] = {a1, a2, a3, a4, a5};
            fox->Offer(channel, attrs, data, len, tag);
        }
    };
    if (m_source.Connect(wish, onLog, onImage) != 0) {
        m_source.Release();
        return false;
    }
    {
        // A page command that came meanwhile is sent now; later ones go
        // straight to the source.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (WishLocked() != wish) m_source.SendWish(WishLocked());
        m_link = DeviceLink::Connected;
        m_where = m_source.Where();
    }
    PublishState();
    return true;
}

std::string WebViewer::OnCommand(const std::string& text) {
    if (m_picker != nullptr && text.size() <= kMaxCommandBytes) {
        const nlohmann::json msg = nlohmann::json::parse(text, nullptr, false);
        if (msg.is_object() && msg.value("type", std::string()) == "select") {
            auto name = msg.find("name");
            std::string error = "select needs the name of a device";
            if (name == msg.end() || !name->is_string() || !m_picker->Pick(name->get<std::string>(), error))
                return error;
            return std::string();
        }
    }
    PageCommand command;
    std::string error;
    if (!ParsePageCommand(text, command, error)) return error;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ApplyCommand(command, m_wish)) return "no such channel";
        // Before a connection it waits in the wish.
        if (m_link == DeviceLink::Connected) m_source.SendWish(WishLocked());
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
        for (const FoxgloveChannel& c : TravikFoxgloveChannels(true))
            subscribers[c.topic] = m_foxglove.Subscribers(c.id);
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
        if (m_link == DeviceLink::Connected) m_source.SendWish(WishLocked());
        reply = ServiceStateJson(m_link, m_wish);
    }
    PublishState();  // the page shows what a Foxglove user changed
    return true;
}

void WebViewer::Stop() {
    if (!m_started) return;
    m_started = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_link = DeviceLink::Lost;  // no SendWish after this
    }
    m_source.Release();
    if (m_relay) m_relay->Stop();
#ifdef TRAVIK_TOOL_VIDEO
    if (m_video) m_video->Stop();
#endif
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
    line += " | jpeg " + std::to_string(relay.encoded) + " frames";
    if (!relay.encodeMicros.empty()) line += " encode p50 " + FormatMicros(Percentile(relay.encodeMicros, 50));
    // Images no tab showed as JPEG (every tab watches their channel as video, or none is open).
    if (relay.parked > 0) line += " not needed " + std::to_string(relay.parked);
#ifdef TRAVIK_TOOL_VIDEO
    VideoCounts video = m_video ? m_video->TakeWindow() : VideoCounts();
    if (video.encoded > 0 || video.refused > 0) {
        char part[96];
        std::snprintf(part, sizeof part, " | h264 %" PRIu64 " frames, %.0f kb/s", video.encoded,
                      static_cast<double>(video.bytes) * 8 / 1000 / seconds);
        line += part;
        if (!video.encodeMicros.empty()) line += " encode p50 " + FormatMicros(Percentile(video.encodeMicros, 50));
        if (video.skipped > 0) line += " skipped " + std::to_string(video.skipped);
        if (video.refused > 0) line += " not video " + std::to_string(video.refused) + " (" + video.lastError + ")";
    }
#endif
    // Refused by the encoder (too many pixels) or failed in it: the tabs got the size only.
    if (relay.failed > 0) line += " | not encoded " + std::to_string(relay.failed);
    if (!server.hopMicros.empty())
        line += " | web hop p50 " + FormatMicros(Percentile(server.hopMicros, 50)) + " p99 " +
                FormatMicros(Percentile(server.hopMicros, 99));
    return line;
}

int RunWeb(const WebOptions& options, ViewSource& source, StopSignal& stop, FILE* out) {
    WebConfig config;
    if (!ParseHttpAddress(options.http, config.httpAddress, config.httpPort)) {
        Status("travik web: bad --http '%s' (expected ADDR:PORT, e.g. 127.0.0.1:8080)", options.http.c_str());
        return 2;
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
    if (options.video != "jpeg" && options.video != "h264") {
        Status("travik web: bad --video '%s' (h264 or jpeg)", options.video.c_str());
        return 2;
    }
#ifndef TRAVIK_TOOL_VIDEO
    if (options.video == "h264" || !options.videoBitrate.empty()) {
        std::fprintf(stderr, "travik: --video h264 is not available in this build\n");
        return 2;
    }
#endif
    config.videoFirst = options.video == "h264";
    if (!options.videoBitrate.empty()) {
        std::string why;
        if (!ParseBitrate(options.videoBitrate, config.videoBitrate, why)) {
            Status("travik web: %s", why.c_str());
            return 2;
        }
    }
    if (!SecureWeb(options, config)) return 2;

    WebViewer web(source, config);
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
    Status("travik web: open %s in a browser; %s %s (retrying every second until it answers)", web.Url().c_str(),
           source.Picker() != nullptr ? "devices of" : "device", source.Where().c_str());
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

void RegisterWebCommands(Commands& commands) {
    auto o = std::make_shared<WebOptions>();
    CLI::App* cmd = commands.Add(
        "web", "Connect to a device and show it live in a browser",
        "usage: travik web [tls://]HOST[:PORT]|nats://HOST[:PORT][/NAME] [--http ADDR:PORT] [--quality Q] "
        "[--lossless] [--logs] [--channels 0,1,2,3] [--interval MS] [--foxglove [ADDR:PORT]] "
        "[--allow-origin ORIGIN]... [--https-cert FILE --https-key FILE] [--token TOKEN] [--no-auth] "
        "[--video h264|jpeg] [--video-bitrate RATE] "
        "[--tls-ca FILE [--tls-cert FILE --tls-key FILE]] [--nats-creds FILE] [--nats-tls-ca FILE]",
        [o](CommandContext& run) {
            // nats://HOST alone: the page picks the device.
            return run.commands.WithSource(*o, SourceUse{"travik web", true},
                                           [&](ViewSource& source) { return RunWeb(*o, source, run.stop, run.out); });
        });
    ViewerHelp help;
    help.target =
        "Device address, HOST or HOST:PORT (port 7000 when left out), tls://HOST[:PORT], or "
        "nats://HOST[:PORT][/NAME] (without NAME the page lists the devices to pick from)";
    help.logs = "Open the device's log stream (the page can switch it later)";
    AddViewerOptions(cmd, *o, help);
    cmd->add_option("--http", o->http, "Where the page is served (0.0.0.0:PORT exposes it to the network)")
        ->check(HttpCheck())
        ->capture_default_str();
    cmd->add_option("--quality", o->quality, "JPEG quality")->check(CLI::Range(1, 100))->capture_default_str();
    cmd->add_flag("--lossless", o->lossless, "Send PNG instead of JPEG");
    cmd->add_option("--foxglove", o->foxglove, "Also serve the Foxglove WebSocket protocol on ADDR:PORT")
        ->expected(0, 1)
        ->default_str("127.0.0.1:8765")
        ->check(HttpCheck());
    cmd->add_option("--allow-origin", o->allowOrigins,
                    "A web page origin that may connect to --foxglove (e.g. https://app.foxglove.dev); repeatable")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    // --tls-* name the device link's files, as for every viewer; these name the page's.
    cmd->add_option("--https-cert", o->httpsCert, "PEM certificate chain: serve https and wss on both ports");
    cmd->add_option("--https-key", o->httpsKey, "PEM private key of --https-cert");
    cmd->add_option("--token", o->token,
                    "Token every request must carry (prefer the TRAVIK_WEB_TOKEN variable: arguments are visible "
                    "to other users)");
    cmd->add_flag("--no-auth", o->noAuth, "Serve beyond loopback without a token");
    cmd->add_option("--video", o->video,
                    "h264: the page shows channels as H.264 video (decoded by the browser; JPEG where it cannot), "
                    "and the Foxglove endpoint offers /travik/channel/N/h264; jpeg: video only when a tab asks")
        ->check(CLI::IsMember({"h264", "jpeg"}))
        ->capture_default_str();
    cmd->add_option("--video-bitrate", o->videoBitrate,
                    "H.264 bits per second per channel, e.g. 600k or 2M (default: by resolution, about 2M at "
                    "1280x720 30 fps)")
        ->check(BitrateCheck());
}

}  // namespace travik_tool
