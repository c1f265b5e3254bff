// The page on the server core: plain HTTP (the embedded page), the upgrade
// checks, and the inbox that carries published items onto the server
// thread and fans them out to the tabs.
#include <algorithm>

#include "server/access_policy.h"
#include "server/host_policy.h"
#include "web/assets.h"
#include "web/protocol.h"
#include "web/server_impl.h"

namespace travik_tool {

namespace {
// Connections past maxConnections that are still read and answered 503, so
// that a browser sees why; past these, accepting pauses.
constexpr size_t kRefusalSlots = 8;
}  // namespace

void WebServer::Impl::OnRequest(HttpConnection& connection) {
    const HttpRequest& req = connection.Request();
    if (websocket::is_upgrade(req)) {
        const http::status refusal = CheckUpgrade(req);
        if (refusal == http::status::ok) return OpenTab(connection);
        ++core.Counters().refusedUpgrades;
        return connection.Refuse(refusal, refusal == http::status::forbidden
                                              ? "websocket upgrade refused: origin not allowed"
                                              : "too many tabs");
    }
    if (req.method() != http::verb::get && req.method() != http::verb::head)
        return connection.Respond(http::status::method_not_allowed, "text/plain", "GET only\n", false);
    if (!connection.HostAllowed())
        return connection.Respond(http::status::forbidden, "text/plain", "host not allowed\n", false);
    const WebAsset* asset = FindWebAsset(std::string(req.target()));
    if (!asset) return connection.Respond(http::status::not_found, "text/plain", "not found\n", req.keep_alive());
    connection.Respond(http::status::ok, asset->contentType,
                       std::string(reinterpret_cast<const char*>(asset->data), asset->size), req.keep_alive());
}

http::status WebServer::Impl::CheckUpgrade(const HttpRequest& req) const {
    const std::string host(req[http::field::host]);
    // The path alone: the token may ride in the query (access_policy.h).
    if (TargetPath(std::string(req.target())) != "/ws" || (core.Loopback() && !LoopbackHost(host)))
        return http::status::forbidden;
    // Browsers always send Origin; it must be this page's own host. A client
    // that is not a browser sends none and cannot be driven by another site.
    auto origin = req.find(http::field::origin);
    if (origin != req.end() && !SameOrigin(std::string(origin->value()), host, core.Tls()))
        return http::status::forbidden;
    if (core.SessionCount() >= config.maxTabs) return http::status::service_unavailable;
    return http::status::ok;
}

void WebServer::Impl::OpenTab(HttpConnection& connection) {
    const HttpRequest request = connection.TakeRequest();
    auto tab = std::make_shared<WebTab>(*this, connection.TakeStream(), connection.TakeHandshake());
    std::vector<std::string> snapshotTexts;
    for (const auto& kv : texts) snapshotTexts.push_back(kv.second);
    std::vector<WebImage> images;
    for (const WebImage& image : imageSnapshot)
        if (image.message) images.push_back(image);
    tab->Open(request, std::move(snapshotTexts), std::vector<std::string>(logSnapshot.begin(), logSnapshot.end()),
              images);
}

void WebServer::Impl::Wake() {
    if (drainPosted) return;
    drainPosted = core.Post([this] { Drain(); });
}

void WebServer::Impl::Drain() {
    WebImage images[travik::kImageChannels];
    std::deque<std::string> logs;
    uint64_t dropped = 0;
    std::vector<std::pair<std::string, std::string>> newTexts;
    std::deque<SessionItem> video[travik::kImageChannels];
    bool videoGap[travik::kImageChannels] = {};
    bool forget[travik::kImageChannels] = {};
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        for (int c = 0; c < travik::kImageChannels; ++c) {
            std::swap(images[c], inImages[c]);
            video[c].swap(inVideo[c]);
            std::swap(videoGap[c], inVideoGap[c]);
            std::swap(forget[c], inForget[c]);
        }
        logs = inLogs.TakeAll();
        std::swap(dropped, inLogsDropped);
        newTexts.swap(inTexts);
        drainPosted = false;
    }
    // Tabs may close (and leave the set) while being fed: iterate a copy.
    std::vector<WebTab*> open;
    const auto sessions = core.Sessions();
    for (const auto& session : sessions) open.push_back(static_cast<WebTab*>(session.get()));
    for (auto& kv : newTexts) {
        texts[kv.first] = kv.second;
        for (WebTab* tab : open) tab->QueueText(kv.second);
    }
    if (!logs.empty() || dropped > 0) {
        std::vector<std::string> lines(logs.begin(), logs.end());
        for (WebTab* tab : open) tab->QueueLogs(lines, dropped);
        for (std::string& line : lines) {
            logSnapshot.push_back(std::move(line));
            if (logSnapshot.size() > config.snapshotLogLines) logSnapshot.pop_front();
        }
    }
    for (int c = 0; c < travik::kImageChannels; ++c)
        if (forget[c]) imageSnapshot[c] = WebImage();
    for (const WebImage& image : images) {
        if (!image.message) continue;
        imageSnapshot[image.channel] = image;  // checked by PublishImage
        for (WebTab* tab : open) tab->QueueImage(image);
    }
    for (int c = 0; c < travik::kImageChannels; ++c) {
        if (videoGap[c])
            for (WebTab* tab : open) tab->VideoGap(c);
        for (const SessionItem& item : video[c])
            for (WebTab* tab : open) tab->QueueVideo(c, item);
    }
}

WebServer::WebServer() : m_impl(std::make_unique<Impl>()) {}

WebServer::~WebServer() { Stop(); }

void WebServer::SetCommandHandler(CommandHandler handler) { m_impl->handler = std::move(handler); }

bool WebServer::Start(const WebServerConfig& config, std::string& error) {
    Impl& s = *m_impl;
    s.config = config;
    {
        std::lock_guard<std::mutex> lock(s.inboxMutex);
        s.inLogs = BoundedLines(config.tabLogLines, BoundedLines::kNoByteLimit, true);
    }
    ServerConfig core;
    core.address = config.address;
    core.port = config.port;
    core.maxConnections = config.maxConnections;
    core.refusalSlots = kRefusalSlots;
    core.maxHandshakes = config.maxHandshakes;
    core.firstRequestTimeout = config.firstRequestTimeout;
    core.name = "travik web";
    core.security = config.security;
    if (!s.core.Start(core, s, error)) return false;
    std::lock_guard<std::mutex> lock(s.inboxMutex);
    s.drainPosted = false;
    s.Wake();  // items published before Start
    return true;
}

int WebServer::Port() const { return m_impl->core.Port(); }

void WebServer::Stop() {
    m_impl->core.Stop();
    // The tabs are gone without OnFinished.
    for (auto& n : m_impl->videoWatchers) n = 0;
    for (auto& n : m_impl->jpegWatchers) n = 0;
}

bool WebServer::PublishImage(WebImage image) {
    if (!image.message || !travik::ValidChannel(image.channel)) return false;
    std::lock_guard<std::mutex> lock(m_impl->inboxMutex);
    const int channel = image.channel;
    m_impl->inImages[channel] = std::move(image);
    m_impl->Wake();
    return true;
}

void WebServer::PublishLog(const std::string& text) {
    Impl& s = *m_impl;
    std::lock_guard<std::mutex> lock(s.inboxMutex);
    const uint64_t dropped = s.inLogs.Push(text);
    s.inLogsDropped += dropped;
    s.logLinesDropped += dropped;
    s.Wake();
}

void WebServer::PublishText(const std::string& key, std::string json) {
    std::lock_guard<std::mutex> lock(m_impl->inboxMutex);
    auto& pending = m_impl->inTexts;
    auto same = std::find_if(pending.begin(), pending.end(), [&](const auto& kv) { return kv.first == key; });
    if (same != pending.end()) {
        same->second = std::move(json);  // only the newest of a key matters
    } else {
        pending.emplace_back(key, std::move(json));
    }
    m_impl->Wake();
}

bool WebServer::VideoWatched(int channel) {
    return travik::ValidChannel(channel) && m_impl->videoWatchers[channel] > 0;
}

bool WebServer::TakeKeyframeWanted(int channel) {
    return travik::ValidChannel(channel) && m_impl->keyframeWanted[channel].exchange(false);
}

bool WebServer::JpegWatched(int channel) { return travik::ValidChannel(channel) && m_impl->jpegWatchers[channel] > 0; }

bool WebServer::TakeJpegWanted(int channel) {
    return travik::ValidChannel(channel) && m_impl->jpegWanted[channel].exchange(false);
}

void WebServer::ForgetImage(int channel) {
    if (!travik::ValidChannel(channel)) return;
    std::lock_guard<std::mutex> lock(m_impl->inboxMutex);
    m_impl->inImages[channel] = WebImage();
    m_impl->inForget[channel] = true;
    m_impl->Wake();
}

void WebServer::OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) {
    if (!travik::ValidChannel(channel) || !unit) return;
    ImageHeader header;
    header.channel = channel;
    header.encoding = WebEncoding::H264;
    header.keyframe = unit->keyframe;
    header.sequence = static_cast<uint32_t>(unit->sequence);
    header.width = static_cast<uint32_t>(unit->width > 0 ? unit->width : 0);
    header.height = static_cast<uint32_t>(unit->height > 0 ? unit->height : 0);
    header.tag = unit->stagedMicros;
    header.encodeMicros = unit->encodeMicros;
    auto message = std::make_shared<std::string>(kImageHeaderBytes, '\0');
    WriteImageHeader(header, *message);
    message->append(unit->annexB);
    SessionItem item;
    item.payload = std::move(message);
    item.receivedMicros = unit->stagedMicros;
    item.keyframe = unit->keyframe;
    Impl& s = *m_impl;
    std::lock_guard<std::mutex> lock(s.inboxMutex);
    std::deque<SessionItem>& queue = s.inVideo[channel];
    if (queue.size() >= kMaxInboxVideo && !item.keyframe) {
        // The server thread is behind: rather than a gap, every watcher
        // waits for the next keyframe.
        queue.clear();
        s.inVideoGap[channel] = true;
        s.keyframeWanted[channel] = true;
    } else {
        if (item.keyframe) queue.clear();  // nothing before a keyframe is needed
        queue.push_back(std::move(item));
    }
    s.Wake();
}

WebServerStats WebServer::TakeStats() {
    ServerCounters& c = m_impl->core.Counters();
    WebServerStats s;
    c.Take(s, s.imagesQueued, s.imagesWritten, s.imagesReplaced);
    s.tabs = c.sessions;
    s.logLinesDropped = m_impl->logLinesDropped;
    return s;
}

}  // namespace travik_tool
