#include "nats/web.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "cli/console.h"
#include "nats/link.h"
#include "nats/protocol.h"
#include "nats/source.h"
#include "platform/clock.h"
#include "web/relay.h"
#include "web/server.h"

namespace travik_nats {

namespace {

using json = nlohmann::json;

constexpr size_t kMaxDevices = 1000;  // listed at most
constexpr int64_t kForgetMs = 60000;  // a device silent this long leaves the list
constexpr auto kListPeriod = std::chrono::seconds(1);

travik_tool::SourceWish WishOf(const travik_tool::DeviceWish& page) {
    travik_tool::SourceWish wish;
    wish.logs = page.logs;
    for (int c = 0; c < kChannels; ++c) wish.channels[c] = page.images && page.channels[c];
    wish.intervalMs = page.intervalMs;
    return wish;
}

bool Same(const travik_tool::SourceWish& a, const travik_tool::SourceWish& b) {
    for (int c = 0; c < kChannels; ++c)
        if (a.channels[c] != b.channels[c]) return false;
    return a.logs == b.logs && a.intervalMs == b.intervalMs;
}

// The page's server fed by one nats:// viewer at a time, and the device
// list from the bridges' status. Threads: Start, Tick and Stop on the main
// thread; the status handler (client thread) and the page's commands
// (server thread) only touch what m_mutex guards.
class NatsWeb {
public:
    NatsWeb(std::string url, LinkOptions link, const travik_tool::WebOptions& o)
        : m_url(std::move(url)), m_link(std::move(link)), m_options(o) {
        for (int c = 0; c < kChannels; ++c) m_page.channels[c] = false;
        for (int c : o.channels)
            if (c >= 0 && c < kChannels) m_page.channels[c] = true;
        m_page.logs = o.logs;
        m_page.intervalMs = o.interval;
    }

    bool Start(const std::string& name, std::string& error) {
        m_link.urls = {m_url};
        m_link.who = "travik web";
        if (!m_status.Connect(m_link, error) ||
            !m_status.Subscribe(
                std::string(kSubjectRoot) + ".*.status", [this](natsMsg* msg) { OnStatus(msg); }, 1024, 1 << 20, error))
            return false;
        m_server.SetCommandHandler([this](const std::string& text) { return OnCommand(text); });
        m_server.PublishText("hello", travik_tool::HelloJson(Redacted(m_url), m_options.quality, m_options.lossless));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_wanted = name;
        }
        PublishState();
        travik_tool::WebServerConfig server;
        if (!travik_tool::ParseHttpAddress(m_options.http, server.address, server.port)) {
            error = "bad --http '" + m_options.http + "'";
            return false;
        }
        if (!m_server.Start(server, error)) return false;
        m_relay = std::make_unique<travik_tool::ImageRelay>(m_server, m_options.quality, m_options.lossless);
        m_httpAddress = server.address;
        return true;
    }

    std::string Url() const {
        std::string host = m_httpAddress == "0.0.0.0" ? "127.0.0.1" : m_httpAddress;
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        return "http://" + host + ":" + std::to_string(m_server.Port()) + "/";
    }

    // Main thread: follows the page's pick, lists the devices.
    void Tick() {
        std::string wanted;
        travik_tool::SourceWish wish;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            wanted = m_wanted;
            wish = WishOf(m_page);
        }
        if (wanted != m_showing) {
            Show(wanted, wish);
        } else if (m_viewer && !Same(wish, m_sentWish)) {
            m_viewer->SendWish(wish);  // the page's switches
            m_sentWish = wish;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= m_nextList) {
            m_nextList = now + kListPeriod;
            PublishDevices();
        }
    }

    void Stop() {
        if (m_viewer) m_viewer->Release();
        m_viewer.reset();
        m_status.Close();
        if (m_relay) m_relay->Stop();
        m_server.Stop();
    }

private:
    void Show(const std::string& name, const travik_tool::SourceWish& wish) {
        if (m_viewer) m_viewer->Release();  // no callback after it returns
        m_viewer.reset();
        m_showing = name;
        m_sentWish = wish;
        if (!name.empty()) {
            auto viewer = std::make_unique<NatsViewer>(m_url, name, m_link);
            travik_tool::ImageRelay* relay = m_relay.get();
            travik_tool::WebServer* server = &m_server;
            if (viewer->Connect(
                    wish, [server](std::string& text) { server->PublishLog(text); },
                    [relay](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                            unsigned long long tag) {
                        relay->Offer(travik::ChannelOf(a1, a5), a2, a3, a4, data, len, tag);
                    }) == 0) {
                m_viewer = std::move(viewer);
                travik_tool::Status("travik web: showing %s", m_viewer->Where().c_str());
            }
        }
        PublishState();
    }

    void OnStatus(natsMsg* msg) {
        std::string name;
        Status s;
        const char* data = natsMsg_GetData(msg);
        const int len = natsMsg_GetDataLength(msg);
        if (data == nullptr || len <= 0) return;
        if (!NameOfStatusSubject(natsMsg_GetSubject(msg), name) ||
            !ParseStatus(std::string(data, static_cast<size_t>(len)), s) || s.name != name)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_devices.size() < kMaxDevices || m_devices.count(name)) m_devices[name] = s;
    }

    // Server thread, must not block: a pick is taken up by Tick.
    std::string OnCommand(const std::string& text) {
        const json msg =
            json::parse(text.size() <= travik_tool::kMaxCommandBytes ? text : std::string(), nullptr, false);
        if (msg.is_object() && msg.value("type", std::string()) == "select") {
            auto name = msg.find("name");
            if (name == msg.end() || !name->is_string() || !ValidName(name->get<std::string>()))
                return "select needs the name of a device";
            std::lock_guard<std::mutex> lock(m_mutex);
            m_wanted = name->get<std::string>();
            return std::string();
        }
        travik_tool::PageCommand command;
        std::string error;
        if (!travik_tool::ParsePageCommand(text, command, error)) return error;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!travik_tool::ApplyCommand(command, m_page)) return "no such channel";
        }
        PublishState();
        return std::string();
    }

    void PublishState() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool shown = !m_showing.empty() && m_showing == m_wanted;
        m_server.PublishText("state", travik_tool::StateJson(shown ? travik_tool::DeviceLink::Connected
                                                                   : travik_tool::DeviceLink::Connecting,
                                                             m_wanted.empty() ? "(pick a device)" : m_wanted, m_page));
    }

    void PublishDevices() {
        json list = json::array();
        std::string selected;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const int64_t now = travik::NowMicros() / 1000;
            for (auto it = m_devices.begin(); it != m_devices.end();) {
                const int64_t age = now - static_cast<int64_t>(it->second.timeMs);
                if (age > kForgetMs) {
                    it = m_devices.erase(it);
                    continue;
                }
                list.push_back({{"name", it->first}, {"up", it->second.up}, {"ageMs", age < 0 ? 0 : age}});
                ++it;
            }
            selected = m_wanted;
        }
        json msg = {{"type", "devices"}, {"devices", list}, {"selected", selected}};
        m_server.PublishText("devices", msg.dump(-1, ' ', false, json::error_handler_t::replace));
    }

    const std::string m_url;
    LinkOptions m_link;
    const travik_tool::WebOptions m_options;
    std::string m_httpAddress;
    NatsLink m_status;
    travik_tool::WebServer m_server;
    std::unique_ptr<travik_tool::ImageRelay> m_relay;
    std::unique_ptr<NatsViewer> m_viewer;  // main thread only
    std::string m_showing;                 // main thread only
    travik_tool::SourceWish m_sentWish;    // main thread only
    std::chrono::steady_clock::time_point m_nextList{};

    std::mutex m_mutex;              // below
    std::string m_wanted;            // the page's pick
    travik_tool::DeviceWish m_page;  // the page's switches
    std::map<std::string, Status> m_devices;
};

}  // namespace

int RunNatsWeb(const travik_tool::WebOptions& options, const std::string& creds, const std::string& tlsCa,
               travik_tool::StopSignal& stop, FILE* out) {
    std::string url, name;
    if (!ParseNatsTarget(options.target, url, name, true)) {
        travik_tool::Status("travik web: bad address '%s' (expected nats://HOST[:PORT][/NAME])",
                            options.target.c_str());
        return 2;
    }
    LinkOptions link;
    link.credsFile = creds;
    link.tlsCaFile = tlsCa;
    NatsWeb web(url, link, options);
    std::string error;
    if (!web.Start(name, error)) {
        travik_tool::Status("travik web: %s (%s)", error.c_str(), Redacted(url).c_str());
        web.Stop();
        return 1;
    }
    std::fprintf(out, "%s\n", web.Url().c_str());
    std::fflush(out);
    travik_tool::Status("travik web: open %s in a browser; devices of %s", web.Url().c_str(), Redacted(url).c_str());
    while (!stop.WaitFor(std::chrono::milliseconds(100))) web.Tick();
    web.Stop();
    travik_tool::Status("travik web: stopped");
    return 0;
}

}  // namespace travik_nats
