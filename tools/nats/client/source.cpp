#include "nats/client/source.h"

#include <chrono>
#include <random>

#include "cli/console.h"
#include "nats/client/video_message.h"
#include "protocol/channel_rule.h"
#if TRAVIK_NATS_VIDEO
#include "video/access_unit.h"
#endif

namespace travik_nats {

namespace {

// Bounds of what waits for the delivery thread besides one image per
// channel: log texts, and the client's own queue per subscription.
constexpr size_t kMaxLogBytes = 4u << 20;
constexpr int kPendingMsgs = 64;
constexpr int kPendingBytes = 64 << 20;
constexpr int kCommandTimeoutMs = 2000;

Wish ToWish(const travik_tool::SourceWish& w, bool video) {
    Wish wish;
    for (int c = 0; c < kChannels; ++c) {
        wish.channels[c] = w.channels[c];
        wish.video[c] = video && w.video[c];
    }
    wish.intervalMs = w.intervalMs < 1 ? 1 : w.intervalMs;
    wish.logs = w.logs;
    return wish;
}

std::string RandomId() {
    std::random_device rd;
    const uint64_t v = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

}  // namespace

NatsViewer::NatsViewer(std::string url, std::string name, LinkOptions link)
    : m_url(std::move(url)), m_name(std::move(name)), m_linkOptions(std::move(link)), m_id(RandomId()) {
    m_linkOptions.urls = {m_url};
    m_linkOptions.who = "travik: nats " + m_name;
}

NatsViewer::~NatsViewer() { Release(); }

int NatsViewer::Connect(const travik_tool::SourceWish& wish, LogCb log, ImageCb image) {
    Release();
    std::string error;
    if (!m_link.Connect(m_linkOptions, error)) {
        travik_tool::Status("travik: %s (%s)", error.c_str(), Redacted(m_url).c_str());
        return -1;
    }
    m_logCb = std::move(log);
    m_imageCb = std::move(image);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_bridgeVideo = false;
        m_asked = ToWish(wish, static_cast<bool>(m_videoCb));
        for (int c = 0; c < kChannels; ++c) m_keyWanted[c] = m_needKey[c] = m_asked.video[c];
        m_wish = LeaseWishLocked();
        m_wishChanged = true;
    }
    for (bool& s : m_subscribed) s = false;
    for (bool& s : m_videoSubscribed) s = false;
    if (!SubscribeWanted(error)) {
        travik_tool::Status("travik: %s", error.c_str());
        m_link.Close();
        return -1;
    }
    m_deliver = std::thread(&NatsViewer::Deliver, this);
    m_renew = std::thread(&NatsViewer::Renew, this);
    return 0;
}

bool NatsViewer::SubscribeWanted(std::string& error) {
    Wish wish;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wish = m_wish;
    }
    // Only what is wanted is subscribed: the cluster routes nothing else here.
    for (int c = 0; c < kChannels; ++c) {
        if (!wish.channels[c] || m_subscribed[c]) continue;
        if (!m_link.Subscribe(
                ImageSubject(m_name, c), [this, c](const LinkMessage& msg) { OnImageMessage(c, msg); }, kPendingMsgs,
                kPendingBytes, error))
            return false;
        m_subscribed[c] = true;
    }
    for (int c = 0; c < kChannels; ++c) {
        if (!wish.video[c] || m_videoSubscribed[c]) continue;
        if (!m_link.Subscribe(
                VideoSubject(m_name, c), [this, c](const LinkMessage& msg) { OnVideoMessage(c, msg); }, kPendingMsgs,
                kPendingBytes, error))
            return false;
        m_videoSubscribed[c] = true;
    }
    if (wish.logs && !m_subscribed[kChannels]) {
        if (!m_link.Subscribe(
                Subject(m_name, "log"), [this](const LinkMessage& msg) { OnLogMessage(msg); }, kPendingMsgs,
                kPendingBytes, error))
            return false;
        m_subscribed[kChannels] = true;
    }
    return true;
}

bool NatsViewer::Up() { return m_link.Up(); }

bool NatsViewer::SetVideoCb(VideoCb video) {
#if TRAVIK_NATS_VIDEO
    m_videoCb = std::move(video);
    return true;
#else
    (void)video;
    return false;  // a build without the tool's video: images only
#endif
}

bool NatsViewer::VideoFlowing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bridgeVideo;
}

void NatsViewer::RequestKeyframe(int channel) {
    if (!travik::ValidChannel(channel)) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_asked.video[channel]) return;
        m_keyWanted[channel] = true;
    }
    m_renewCond.notify_all();
}

Wish NatsViewer::LeaseWishLocked() const {
    Wish wish = m_asked;
    if (!m_bridgeVideo)
        for (int c = 0; c < kChannels; ++c) wish.channels[c] = wish.channels[c] || wish.video[c];
    return wish;
}

void NatsViewer::SetLeaseLocked(const Wish& lease) {
    for (int c = 0; c < kChannels; ++c) {
        if (lease.channels[c]) continue;
        m_pending[c] = false;
        m_latest[c].clear();
    }
    m_wish = lease;
    m_wishChanged = true;
}

void NatsViewer::SendWish(const travik_tool::SourceWish& wish) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Wish asked = ToWish(wish, static_cast<bool>(m_videoCb));
        // A channel newly watched as video starts at a keyframe.
        for (int c = 0; c < kChannels; ++c) {
            if (asked.video[c] && !m_asked.video[c]) m_keyWanted[c] = m_needKey[c] = true;
            if (!asked.video[c]) ClearUnitsLocked(c);
        }
        m_asked = asked;
        SetLeaseLocked(LeaseWishLocked());
    }
    m_renewCond.notify_all();
    std::string error;
    if (!SubscribeWanted(error)) travik_tool::Status("travik: %s", error.c_str());
}

void NatsViewer::Release() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    m_renewCond.notify_all();
    if (m_renew.joinable()) {
        m_renew.join();
        // Withdraws the lease at once rather than let it run out.
        Wish wish;
        const std::string text = FormatLease(m_id, wish, 1);
        m_link.Publish(Subject(m_name, "interest"), text.data(), static_cast<int>(text.size()));
        m_link.Flush(500);
    }
    m_link.Close();  // no handler after this
    if (m_deliver.joinable()) m_deliver.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int c = 0; c < kChannels; ++c) {
        m_latest[c].clear();
        m_pending[c] = false;
        ClearUnitsLocked(c);
    }
    m_logs.clear();
    m_logBytes = 0;
}

std::string NatsViewer::Where() const { return Redacted(m_url) + "/" + m_name; }

std::string NatsViewer::LastReply() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reply;
}

void NatsViewer::OnImageMessage(int channel, const LinkMessage& msg) {
    const char* data = msg.data;
    const int len = msg.size;
    if (data == nullptr || len < 0) return;
    // A forged claim, or attributes that select another channel than the
    // subject's, is refused here, before it can replace a real image
    // waiting for delivery.
    ImageHeader header;
    if (!ReadImagePrefix(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(len), header) ||
        travik::ChannelOf(header.attrs[0], header.attrs[4]) != channel) {
        ++m_bad;
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !m_wish.channels[channel]) return;
    // Latest wins: an image the delivery thread has not taken is replaced.
    m_latest[channel].assign(data, data + len);
    m_pending[channel] = true;
    m_cond.notify_one();
}

void NatsViewer::OnLogMessage(const LinkMessage& msg) {
    const char* data = msg.data;
    const int len = msg.size;
    if (data == nullptr || len <= 0) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !m_wish.logs) return;
    if (m_logBytes + static_cast<size_t>(len) > kMaxLogBytes) return;  // the reader fell behind
    m_logs.emplace_back(data, static_cast<size_t>(len));
    m_logBytes += static_cast<size_t>(len);
    m_cond.notify_one();
}

void NatsViewer::OnVideoMessage(int channel, const LinkMessage& msg) {
    const char* data = msg.data;
    const int len = msg.size;
    if (data == nullptr || len < 0) return;
    VideoHeader header;
    size_t offset = 0;
    if (!ReadVideoMessage(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(len), header, offset) ||
        header.channel != channel) {
        ++m_bad;
        return;
    }
#if TRAVIK_NATS_VIDEO
    auto unit = std::make_shared<travik_tool::AccessUnit>();
    unit->annexB.assign(data + offset, header.unitLen);
    unit->keyframe = header.keyframe;
    unit->width = header.width;
    unit->height = header.height;
    unit->sequence = header.sequence;
    unit->stagedMicros = header.stagedMicros;
    bool askKey = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || !m_asked.video[channel]) return;
        auto& queue = m_units[channel];
        if (!queue.empty() &&
            (queue.size() >= kMaxQueuedUnits || m_unitBytes[channel] + unit->annexB.size() > kMaxQueuedUnitBytes)) {
            // The callback fell behind: what waits is useless without the
            // units dropped, so all of it goes and the next keyframe restarts.
            m_skipped += queue.size();
            ClearUnitsLocked(channel);
            m_needKey[channel] = true;
            m_keyWanted[channel] = askKey = true;
        }
        if (m_needKey[channel] && !unit->keyframe) {
            ++m_skipped;
        } else {
            m_needKey[channel] = false;
            m_unitBytes[channel] += unit->annexB.size();
            queue.push_back(std::move(unit));
            m_cond.notify_one();
        }
    }
    if (askKey) m_renewCond.notify_all();
#endif
}

void NatsViewer::ClearUnitsLocked(int channel) {
    m_units[channel].clear();
    m_unitBytes[channel] = 0;
}

void NatsViewer::Deliver() {
    std::vector<unsigned char> message;
    for (;;) {
        int channel = -1;
        int videoChannel = -1;
        std::shared_ptr<const travik_tool::AccessUnit> unit;
        std::string text;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cond.wait(lock, [this] {
                if (m_stop || !m_logs.empty()) return true;
                for (int c = 0; c < kChannels; ++c)
                    if (m_pending[c] || !m_units[c].empty()) return true;
                return false;
            });
            if (m_stop) return;
            if (!m_logs.empty()) {
                text = std::move(m_logs.front());
                m_logs.pop_front();
                m_logBytes -= text.size();
            } else {
                for (int c = 0; c < kChannels && channel < 0 && videoChannel < 0; ++c) {
                    if (!m_units[c].empty()) {
                        videoChannel = c;
                        unit = std::move(m_units[c].front());
                        m_units[c].pop_front();
                        m_unitBytes[c] -= unit->annexB.size();
                    } else if (m_pending[c]) {
                        channel = c;
                        m_pending[c] = false;
                        message.swap(m_latest[c]);
                    }
                }
            }
        }
        try {
            if (videoChannel >= 0) {
                if (m_videoCb) m_videoCb(videoChannel, unit);
                continue;
            }
            if (channel < 0) {
                if (m_logCb) m_logCb(text);
                continue;
            }
            ImageHeader header;
            std::shared_ptr<unsigned char> image;
            if (!DecodeImage(message.data(), message.size(), header, image)) {
                ++m_bad;
                continue;
            }
            if (m_imageCb)
                m_imageCb(header.attrs[0], header.attrs[1], header.attrs[2], header.attrs[3], header.attrs[4], image,
                          static_cast<int>(header.rawLen), header.tag);
        } catch (...) {
            // A callback's failure costs this delivery only.
        }
    }
}

void NatsViewer::Renew() {
    std::unique_lock<std::mutex> lock(m_mutex);
    // A changed wish goes as a command until a bridge answers it (none may
    // run yet); then as leases only.
    bool answered = false;
    while (!m_stop) {
        const Wish wish = m_wish;
        if (m_wishChanged) answered = false;
        // Keyframe requests go as a command: asked once, answered at once.
        bool keys[kChannels] = {};
        bool anyKey = false;
        for (int c = 0; c < kChannels; ++c) {
            keys[c] = m_keyWanted[c];
            anyKey = anyKey || keys[c];
            m_keyWanted[c] = false;
        }
        const bool command = !answered || anyKey;
        m_wishChanged = false;
        lock.unlock();
        const std::string text = FormatLease(m_id, wish, kLeaseTtlMs, anyKey ? keys : nullptr);
        std::string reply;
        if (command && m_link.Request(Subject(m_name, "command"), text, kCommandTimeoutMs, reply)) {
            answered = true;
            Status status;
            const bool encodes = ParseStatus(reply, status) && status.video == "h264";
            lock.lock();
            m_reply = reply;
            if (encodes != m_bridgeVideo) {
                // Video channels stop (or start) coming as images too.
                m_bridgeVideo = encodes;
                const Wish lease = LeaseWishLocked();
                if (lease != m_wish) SetLeaseLocked(lease);
            }
            lock.unlock();
        } else {
            m_link.Publish(Subject(m_name, "interest"), text.data(), static_cast<int>(text.size()));
        }
        lock.lock();
        m_renewCond.wait_for(lock, std::chrono::milliseconds(kLeasePeriodMs), [this] {
            if (m_stop || m_wishChanged) return true;
            for (bool key : m_keyWanted)
                if (key) return true;
            return false;
        });
    }
}

}  // namespace travik_nats
