#include "steady_viewers.h"

#include "foxglove_client.h"
#include "travik/travik.h"
#if defined(TRAVIK_SOAK_NATS)
#include "nats/client/source.h"
#endif

namespace travik_soak {

using Clock = std::chrono::steady_clock;

namespace {
long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}
}  // namespace

void SteadyViewers::Feed::Got() {
    lastNs.store(NowNs());
    count.fetch_add(1);
}

SteadyViewers::SteadyViewers() = default;
SteadyViewers::~SteadyViewers() { Stop(); }

SteadyViewers::Feed& SteadyViewers::AddFeed(const std::string& name) {
    m_feeds.push_back(std::make_unique<Feed>(name));
    return *m_feeds.back();
}

bool SteadyViewers::Start(int devicePort, const std::string& natsUrl, const std::string& natsName, int foxglovePort,
                          std::string& error) {
    m_started = Clock::now();
    char ip[] = "127.0.0.1";
    // Every channel at a short interval.
    Feed& fast = AddFeed("direct viewer (4 channels, 20 ms)");
    m_fast = std::make_unique<TravikMgr>();
    if (m_fast->Connect(ip, devicePort) != 0) {
        error = "the fast steady viewer could not connect";
        return false;
    }
    // Delivery starts with the first callback set after Connect.
    m_fast->SetImageCb(
        [&fast](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) { fast.Got(); });
    // Whatever the device sends, and its logs.
    Feed& slow = AddFeed("direct viewer (what the others ask for)");
    Feed& logs = AddFeed("direct viewer's logs");
    m_slow = std::make_unique<TravikMgr>();
    if (m_slow->Connect(ip, devicePort) != 0) {
        error = "the second steady viewer could not connect";
        return false;
    }
    m_slow->SetImageCb(
        [&slow](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) { slow.Got(); });
    m_slow->SetLogCb([&logs](std::string&) { logs.Got(); });
    Reassert();
#if defined(TRAVIK_SOAK_NATS)
    if (!natsUrl.empty()) {
        Feed& nats = AddFeed("nats:// viewer (4 channels, 100 ms)");
        m_nats = std::make_unique<travik_nats::NatsViewer>(natsUrl, natsName);
        travik_tool::SourceWish wish;
        wish.intervalMs = 100;
        if (m_nats->Connect(
                wish, [](std::string&) {},
                [&nats](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) {
                    nats.Got();
                }) != 0) {
            error = "the steady nats:// viewer could not connect";
            return false;
        }
    }
#else
    (void)natsUrl, (void)natsName;
#endif
    if (foxglovePort > 0) {
        Feed& fox = AddFeed("Foxglove client of the web server");
        m_fox = std::thread([this, foxglovePort, &fox] { RunFoxglove(foxglovePort, fox); });
    }
    return true;
}

void SteadyViewers::Reassert() {
    int all[4] = {1, 1, 1, 1};
    if (m_fast) m_fast->SendCmd(0, 1, all, 20);
    if (m_slow) m_slow->SendCmd(1, 1, nullptr, 0);
}

void SteadyViewers::RunFoxglove(int port, Feed& feed) {
    FoxgloveClient client;
    bool open = false;
    // Bounded by Stop(): every call below returns within the client's
    // 2-second receive timeout.
    while (!m_stop.load()) {
        if (!open) {
            open = client.Open(port, 2);
            if (!open) continue;
            if (feed.count.load() > 0) m_foxRejoins.fetch_add(1);
        }
        bool binary = false;
        if (!client.Read(binary)) {
            client.Close(true);
            open = false;
            continue;
        }
        if (binary) feed.Got();
    }
    client.Close(false);
}

void SteadyViewers::Stop() {
    m_stop = true;
    if (m_fox.joinable()) m_fox.join();
    if (m_nats) m_nats->Release();
    if (m_fast) m_fast->Release();
    if (m_slow) m_slow->Release();
}

bool SteadyViewers::AllReceiving() const {
    for (const auto& f : m_feeds)
        if (f->count.load() == 0) return false;
    return true;
}

std::string SteadyViewers::Silent() const {
    std::string out;
    for (const auto& f : m_feeds)
        if (f->count.load() == 0) out += (out.empty() ? "" : ", ") + f->name;
    return out;
}

std::string SteadyViewers::Starved(std::chrono::seconds limit, std::chrono::seconds& idle) const {
    const long long now = NowNs();
    const long long started =
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_started.time_since_epoch()).count();
    for (const auto& f : m_feeds) {
        const long long last = f->lastNs.load();
        const long long since = now - (last > 0 ? last : started);
        if (since > std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count()) {
            idle = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds(since));
            return f->name;
        }
    }
    return "";
}

uint64_t SteadyViewers::Total() const {
    uint64_t n = 0;
    for (const auto& f : m_feeds) n += f->count.load();
    return n;
}

}  // namespace travik_soak
