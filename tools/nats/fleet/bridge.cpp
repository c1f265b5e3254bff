// The bridge: a viewer of one source (a device, or another bridge) that
// publishes what it receives into NATS, compressed once, and asks the source
// only for what the live leases of all viewers combined want. With --video
// h264 each channel some lease wants as video is also encoded once, on that
// channel's worker, and its access units published on video.N.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "cli/console.h"
#include "cli/options.h"
#include "nats/client/link.h"
#include "nats/client/protocol.h"
#include "nats/client/source.h"
#include "nats/client/video_message.h"
#include "nats/fleet/commands.h"
#include "platform/clock.h"
#include "protocol/channel_rule.h"
#if TRAVIK_NATS_VIDEO
#include "video/h264_encoder.h"
#endif

namespace travik_nats {

namespace {

constexpr bool VideoBuilt() {
#if TRAVIK_NATS_VIDEO
    return true;
#else
    return false;
#endif
}

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLogBytes = 1u << 20;  // log text waiting to be published
constexpr int kControlPendingMsgs = 1024;
constexpr int kControlPendingBytes = 1 << 20;
constexpr int kCommandGapMs = 100;  // the least time between two commands to the device
// The least time between two keyframes forced by watchers of one channel: a
// flood of joins costs a few keyframes a second, and no request is lost.
constexpr int kKeyframeGapMs = 250;

#if TRAVIK_NATS_VIDEO
using Encoder = travik_tool::H264Encoder;
#else
struct Encoder {};  // a build without the tool's video: --video is refused
#endif

uint64_t WallMs() { return static_cast<uint64_t>(travik::NowMicros() / 1000); }

// The combined leases as the source's wish: the image stream is open while
// any channel is.
travik_tool::SourceWish SourceWishOf(const Wish& wish) {
    travik_tool::SourceWish out;
    out.logs = wish.logs;
    out.images = false;
    for (int c = 0; c < kChannels; ++c) {
        out.channels[c] = wish.channels[c] || wish.video[c];
        out.images = out.images || out.channels[c];
    }
    out.intervalMs = wish.intervalMs;
    return out;
}

class Bridge {
public:
    Bridge(travik_tool::ViewSource& source, const BridgeOptions& o, int bitrate)
        : m_source(source), m_o(o), m_device(source.Where()), m_bitrate(bitrate) {
        for (int c : o.channels)
            if (travik::ValidChannel(c)) m_allowed[c] = true;
    }

    bool Start(const LinkOptions& link, std::string& error) {
        if (!m_link.Connect(link, error)) return false;
        if (!m_link.Subscribe(
                Subject(m_o.name, "interest"), [this](const LinkMessage& msg) { OnLease(msg, false); },
                kControlPendingMsgs, kControlPendingBytes, error) ||
            !m_link.Subscribe(
                Subject(m_o.name, "command"), [this](const LinkMessage& msg) { OnLease(msg, true); },
                kControlPendingMsgs, kControlPendingBytes, error))
            return false;
        for (int c = 0; c < kChannels; ++c) m_workers[c] = std::thread(&Bridge::PublishImages, this, c);
        return true;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cond.notify_all();
        for (auto& w : m_workers)
            if (w.joinable()) w.join();
        DeviceLost();  // no device callback after this
        m_link.Close();
    }

    // Main thread. The source is connected with the wish of the leases so
    // far; a lease that came meanwhile is applied under the lock.
    bool ConnectDevice() {
        travik_tool::SourceWish first;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            first = SourceWishOf(CombinedLocked());
        }
        if (m_source.Connect(
                first, [this](std::string& text) { OnLog(text); },
                [this](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                       unsigned long long tag) { OnImage(a1, a2, a3, a4, a5, data, len, tag); }) != 0) {
            m_source.Release();
            return false;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deviceUp = true;
        ApplyLocked(true);
        return true;
    }

    bool DeviceUp() { return m_source.Up(); }
    // Main thread. SendWish runs only under the lock while the source is up,
    // so it never meets Release.
    void DeviceLost() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_deviceUp = false;
        }
        m_source.Release();
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Slot& last : m_last) last = Slot();  // the library's buffers, and stale
    }
    bool NatsUp() { return m_link.Up(); }

    // Main thread, every tick: leases that ran out, log text, status.
    void Tick() {
        std::string logs;
        bool statusDue = false;
        Status status;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto now = Clock::now();
            for (auto it = m_leases.begin(); it != m_leases.end();) {
                it = it->second.expiry <= now ? m_leases.erase(it) : std::next(it);
            }
            ApplyLocked(false);
            logs.swap(m_logText);
            if (now >= m_nextStatus) {
                statusDue = true;
                m_nextStatus = now + std::chrono::milliseconds(kStatusPeriodMs);
                status = StatusLocked();
            }
        }
        if (!logs.empty()) {
            // In pieces the server takes: one message past its max_payload is refused whole.
            const int64_t maxPayload = m_link.MaxPayload();
            const size_t max = maxPayload > 0 ? static_cast<size_t>(maxPayload) : logs.size();
            for (const auto& piece : SplitText(logs, max))
                m_link.Publish(Subject(m_o.name, "log"), logs.data() + piece.first, static_cast<int>(piece.second));
        }
        if (statusDue) {
            const std::string text = FormatStatus(status);
            m_link.Publish(Subject(m_o.name, "status"), text.data(), static_cast<int>(text.size()));
        }
    }

    void Summary() {
        std::lock_guard<std::mutex> lock(m_mutex);
        travik_tool::Status(
            "travik bridge: published %" PRIu64 " images (%" PRIu64 " MB), %" PRIu64 " video units (%" PRIu64
            " MB), %" PRIu64 " skipped as too large, %" PRIu64 " not published",
            m_published, m_publishedBytes >> 20, m_videoPublished, m_videoBytes >> 20, m_tooLarge, m_failed);
    }

private:
    struct Lease {
        Wish wish;
        Clock::time_point expiry;
    };
    struct Slot {
        bool pending = false;
        int attrs[5] = {};
        std::shared_ptr<unsigned char> data;
        int len = 0;
        uint64_t tag = 0;
        uint64_t stagedMicros = 0;  // wall clock on arrival: latency of the video
        uint64_t sequence = 0;      // of the image on its channel
        bool imageOnly = false;     // published again as an image, not encoded again
    };

    // Library loop thread: latest wins per channel, nothing compressed here.
    void OnImage(int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                 unsigned long long tag) {
        const int channel = travik::ChannelOf(a1, a5);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || !(m_applied.channels[channel] || m_applied.video[channel]) || len < 0) return;
        Slot& slot = m_slots[channel];
        slot.pending = true;
        slot.attrs[0] = a1;
        slot.attrs[1] = a2;
        slot.attrs[2] = a3;
        slot.attrs[3] = a4;
        slot.attrs[4] = a5;
        slot.data = data;
        slot.len = len;
        slot.tag = tag;
        slot.stagedMicros = static_cast<uint64_t>(travik::NowMicros());
        slot.sequence = ++m_sequence[channel];
        m_last[channel] = slot;
        m_last[channel].pending = false;
        m_cond.notify_all();
    }

    void OnLog(std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_applied.logs) return;
        if (m_logText.size() + text.size() > kMaxLogBytes) return;  // NATS is slower than the device
        m_logText += text;
    }

    // One worker per channel: the channels compress (and encode) in
    // parallel, each image once. The channel's encoder lives and dies here:
    // nobody watching the video frees it, so it idles to nothing.
    void PublishImages(int channel) {
        std::vector<unsigned char> message;
        std::unique_ptr<Encoder> encoder;
        Clock::time_point lastForcedKey;
        for (;;) {
            Slot slot;
            bool raw = false, video = false, key = false;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cond.wait(lock, [&] { return m_stop || m_slots[channel].pending; });
                if (m_stop) return;
                slot = std::move(m_slots[channel]);
                m_slots[channel] = Slot();
                raw = m_applied.channels[channel];
                video = m_applied.video[channel];
                const auto now = Clock::now();
                if (video && !slot.imageOnly && m_keyWanted[channel] &&
                    now >= lastForcedKey + std::chrono::milliseconds(kKeyframeGapMs)) {
                    key = true;
                    m_keyWanted[channel] = false;
                    lastForcedKey = now;
                }
            }
            // The unit first: it is the small, latency-bound one; deflating
            // a large image before it would delay every video watcher.
            if (!video)
                encoder.reset();
            else if (!slot.imageOnly)
                PublishUnit(channel, slot, key, encoder, message);
            if (raw) {
                ImageHeader header;
                std::copy(slot.attrs, slot.attrs + 5, header.attrs);
                header.tag = slot.tag;
                const bool ok =
                    EncodeImage(header, slot.data.get(), static_cast<uint32_t>(slot.len), m_o.level, message);
                Publish(channel, ImageSubject(m_o.name, channel), ok, message, m_published, m_publishedBytes);
            }
        }
    }

    // Worker thread: encodes the image of `slot` on the channel's encoder
    // (made here when missing, so it starts with a keyframe) and publishes
    // the unit; a frame rate control skips sends nothing.
    void PublishUnit(int channel, const Slot& slot, bool key, std::unique_ptr<Encoder>& encoder,
                     std::vector<unsigned char>& message) {
#if TRAVIK_NATS_VIDEO
        if (!encoder) {
            travik_tool::H264Config config;
            config.bitrate = m_bitrate;
            encoder = std::make_unique<Encoder>(config);
        }
        if (key) encoder->RequestKeyframe();
        travik_tool::AccessUnit unit;
        std::string error;
        const auto result =
            encoder->Encode(slot.data.get(), static_cast<size_t>(slot.len), slot.attrs[1], slot.attrs[2], slot.attrs[3],
                            slot.stagedMicros, slot.sequence, unit, error);
        if (result == Encoder::Result::kSkipped) return;
        bool ok = result == Encoder::Result::kEncoded;
        if (ok) {
            VideoHeader vh;
            vh.keyframe = unit.keyframe;
            vh.channel = channel;
            vh.width = unit.width;
            vh.height = unit.height;
            vh.sequence = unit.sequence;
            vh.stagedMicros = unit.stagedMicros;
            ok = EncodeVideoMessage(vh, unit.annexB.data(), unit.annexB.size(), message);
        } else {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_reportedRefused[channel]) {
                m_reportedRefused[channel] = true;
                travik_tool::Status("travik bridge: channel %d: not encoded as video: %s", channel, error.c_str());
            }
        }
        if (!Publish(channel, VideoSubject(m_o.name, channel), ok, message, m_videoPublished, m_videoBytes)) {
            // The watchers lost a unit: they can only go on from a keyframe.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_keyWanted[channel] = true;
        }
#else
        (void)channel, (void)slot, (void)key, (void)encoder, (void)message;
#endif
    }

    // Worker thread: one message of `channel`, unless it failed to build
    // (`ok` false) or exceeds the server's max_payload. True when published.
    bool Publish(int channel, const std::string& subject, bool ok, const std::vector<unsigned char>& message,
                 uint64_t& published, uint64_t& publishedBytes) {
        const int64_t maxPayload = m_link.MaxPayload();
        if (ok && maxPayload > 0 && static_cast<int64_t>(message.size()) > maxPayload) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_tooLarge;
            if (!m_reportedTooLarge[channel]) {
                m_reportedTooLarge[channel] = true;
                travik_tool::Status(
                    "travik bridge: channel %d: a message of %llu bytes exceeds the server's "
                    "max_payload of %" PRId64 " bytes; such messages are skipped",
                    channel, static_cast<unsigned long long>(message.size()), maxPayload);
            }
            return false;
        }
        if (ok) ok = m_link.Publish(subject, message.data(), static_cast<int>(message.size()));
        std::lock_guard<std::mutex> lock(m_mutex);
        if (ok) {
            ++published;
            publishedBytes += message.size();
        } else {
            ++m_failed;
        }
        return ok;
    }

    // Client library thread: a lease renewed, or a command to answer.
    void OnLease(const LinkMessage& msg, bool command) {
        const std::string text(msg.data, static_cast<size_t>(msg.size));
        std::string id;
        Wish wish;
        int ttl = 0;
        bool keys[kChannels] = {};
        const bool valid = ParseLease(text, id, wish, ttl, keys);
        std::string answer;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (valid) {
                auto it = m_leases.find(id);
                if (it != m_leases.end() || m_leases.size() < 100000) {
                    // A watcher new to a channel's video starts at a keyframe.
                    for (int c = 0; c < kChannels; ++c) {
                        const bool had = it != m_leases.end() && it->second.wish.video[c];
                        if (wish.video[c] && (keys[c] || !had)) m_keyWanted[c] = true;
                    }
                    m_leases[id] = Lease{wish, Clock::now() + std::chrono::milliseconds(ttl)};
                }
                ApplyLocked(false);
            }
            answer = valid ? FormatStatus(StatusLocked()) : "error: malformed command";
        }
        const char* reply = msg.reply;
        if (command && reply != nullptr) m_link.Publish(reply, answer.data(), static_cast<int>(answer.size()));
    }

    // The union of the live leases within what this bridge forwards.
    Wish CombinedLocked() const {
        Wish combined;
        combined.intervalMs = m_applied.intervalMs;
        int smallest = 0;
        for (const auto& entry : m_leases) {
            const Wish& w = entry.second.wish;
            bool any = false;
            for (int c = 0; c < kChannels; ++c) {
                if (w.channels[c] && m_allowed[c]) combined.channels[c] = any = true;
                if (w.video[c] && m_allowed[c] && VideoOn()) combined.video[c] = any = true;
            }
            if (w.logs && m_o.logs) combined.logs = any = true;
            if (any && (smallest == 0 || w.intervalMs < smallest)) smallest = w.intervalMs;
        }
        if (smallest > 0) combined.intervalMs = std::max(smallest, m_o.interval);
        return combined;
    }

    void ApplyLocked(bool force) {
        const Wish wish = CombinedLocked();
        if (!force && wish == m_applied) return;
        // A flood of changing leases costs the device one command per gap;
        // Tick applies what is left waiting.
        const auto now = Clock::now();
        if (!force && now < m_nextCommand) return;
        m_nextCommand = now + std::chrono::milliseconds(kCommandGapMs);
        // A channel the device sends already (for its video) and now wanted
        // as images too: its newest image goes out at once rather than wait
        // for the device's next one, which may be long in coming.
        for (int c = 0; c < kChannels; ++c) {
            Slot& slot = m_slots[c];
            if (!wish.channels[c] || m_applied.channels[c] || !m_applied.video[c] || slot.pending || !m_last[c].data)
                continue;
            slot = m_last[c];
            slot.pending = slot.imageOnly = true;
            m_cond.notify_all();
        }
        m_applied = wish;
        if (!m_deviceUp) return;  // applied on connecting
        m_source.SendWish(SourceWishOf(wish));
        bool asked[kChannels];
        for (int c = 0; c < kChannels; ++c) asked[c] = wish.channels[c] || wish.video[c];
        travik_tool::Status(
            "travik bridge: device asked for channels %s (published as images %s, as video %s), interval %d ms, "
            "logs %s (%llu leases)",
            FormatChannels(asked).c_str(), FormatChannels(wish.channels).c_str(), FormatChannels(wish.video).c_str(),
            wish.intervalMs, wish.logs ? "on" : "off", static_cast<unsigned long long>(m_leases.size()));
    }

    bool VideoOn() const { return VideoBuilt() && m_o.video == "h264"; }

    Status StatusLocked() const {
        Status s;
        s.name = m_o.name;
        s.device = m_device;
        s.up = m_deviceUp;
        s.sending = CombinedLocked();  // what the device is asked for now or at the next command gap
        s.video = VideoOn() ? "h264" : "-";
        s.leases = static_cast<int>(m_leases.size());
        s.timeMs = WallMs();
        return s;
    }

    travik_tool::ViewSource& m_source;
    const BridgeOptions& m_o;
    const std::string m_device;
    const int m_bitrate;  // of each channel's video; 0: sized by resolution
    bool m_allowed[kChannels] = {};
    NatsLink m_link;
    std::thread m_workers[kChannels];

    std::mutex m_mutex;  // everything below
    std::condition_variable m_cond;
    bool m_stop = false;
    bool m_deviceUp = false;
    std::map<std::string, Lease> m_leases;
    Wish m_applied;  // what the device was last asked for
    Slot m_slots[kChannels];
    Slot m_last[kChannels];  // the newest image of each channel, kept by reference
    std::string m_logText;
    Clock::time_point m_nextStatus;
    Clock::time_point m_nextCommand;
    bool m_reportedTooLarge[kChannels] = {};
    bool m_reportedRefused[kChannels] = {};
    bool m_keyWanted[kChannels] = {};  // a watcher waits for a keyframe
    uint64_t m_sequence[kChannels] = {};
    uint64_t m_videoPublished = 0;
    uint64_t m_videoBytes = 0;
    uint64_t m_published = 0;
    uint64_t m_publishedBytes = 0;
    uint64_t m_tooLarge = 0;
    uint64_t m_failed = 0;
};

}  // namespace

int RunBridge(const BridgeOptions& o, travik_tool::ViewSource& source, travik_tool::StopSignal& stop) {
    if (!ValidName(o.name)) {
        travik_tool::Status("travik bridge: bad --name '%s' (1..64 of A-Z a-z 0-9 _ -)", o.name.c_str());
        return 2;
    }
    LinkOptions link;
    if (!o.video.empty() && (o.video != "h264" || !VideoBuilt())) {
        travik_tool::Status("travik bridge: --video %s is not available in this build", o.video.c_str());
        return 2;
    }
    if (!SplitUrls(o.nats, link.urls)) {
        travik_tool::Status("travik bridge: bad --nats (expected URL[,URL...])");
        return 2;
    }
    link.credsFile = o.natsCreds;
    link.tlsCaFile = o.natsTlsCa;
    link.who = "travik bridge";
    const std::string device = source.Where();
    int bitrate = 0;
    if (!o.videoBitrate.empty()) {
        std::string why;
        if (!travik_tool::ParseBitrate(o.videoBitrate, bitrate, why)) {
            travik_tool::Status("travik bridge: %s", why.c_str());
            return 2;
        }
    }
    Bridge bridge(source, o, bitrate);
    std::string error;
    if (!bridge.Start(link, error)) {
        bridge.Stop();
        if (stop.Requested()) return 0;  // Ctrl-C while connecting: not a failure to report
        travik_tool::Status("travik bridge: %s", error.c_str());
        return 1;
    }
    travik_tool::Status("travik bridge: %s published as %s.%s on NATS", device.c_str(), kSubjectRoot, o.name.c_str());
    bool connected = false;
    bool reported = false;
    auto nextTry = Clock::now();
    while (!stop.WaitFor(std::chrono::milliseconds(50))) {
        if (connected && !bridge.DeviceUp()) {
            bridge.DeviceLost();
            travik_tool::Status("travik bridge: connection to device %s lost; retrying every second", device.c_str());
            connected = false;
            reported = true;
            nextTry = Clock::now() + std::chrono::seconds(1);
        }
        if (!connected && Clock::now() >= nextTry) {
            if (bridge.ConnectDevice()) {
                travik_tool::Status("travik bridge: connected to device %s", device.c_str());
                connected = true;
                reported = false;
            } else {
                if (!reported)
                    travik_tool::Status("travik bridge: device %s unreachable; retrying every second", device.c_str());
                reported = true;
                nextTry = Clock::now() + std::chrono::seconds(1);
            }
        }
        bridge.Tick();
    }
    bridge.Stop();
    bridge.Summary();
    return 0;
}

}  // namespace travik_nats
