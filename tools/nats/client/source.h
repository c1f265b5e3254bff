// A viewer of one device through NATS: subscribes to the images and logs a
// bridge publishes for NAME, restores each image and hands it to the same
// callbacks as a direct connection. Latest wins per channel: the client's
// handler keeps only the newest message of each channel until the delivery
// thread takes it, so a slow callback costs dropped images, never memory.
// What it wants travels as a lease, renewed every second, and as a command
// (request/reply) whenever the wish changes.
// Video (SetVideoCb): the channels wished as video are subscribed on
// video.N and their access units handed on unchanged, in order, from a
// keyframe on; a watcher that falls behind by kMaxQueuedUnits units or
// kMaxQueuedUnitBytes bytes skips to the next keyframe (and asks for one)
// instead of growing memory. Until the bridge's answer says it encodes, and
// for good when it does not, those channels are asked for as images too.
// Contract: see ViewSource. Two threads of its own (delivery and leases)
// besides the client library's; all end in Release.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/view_source.h"
#include "nats/client/link.h"
#include "nats/client/protocol.h"
#include "nats/client/target.h"

namespace travik_nats {

class NatsViewer : public travik_tool::ViewSource {
public:
    // `link` carries credentials and the CA file; its URLs are replaced by `url`.
    NatsViewer(std::string url, std::string name, LinkOptions link = LinkOptions());
    ~NatsViewer() override;

    // Units of one channel waiting for the callback, at most.
    static constexpr size_t kMaxQueuedUnits = 64;
    // Bytes of units of one channel waiting, at most (one unit of the
    // largest size always fits): units may be 16 MB each.
    static constexpr size_t kMaxQueuedUnitBytes = 16u << 20;

    int Connect(const travik_tool::SourceWish& wish, LogCb log, ImageCb image) override;
    bool SetVideoCb(VideoCb video) override;
    bool VideoFlowing() override;
    void RequestKeyframe(int channel) override;
    bool Up() override;
    void SendWish(const travik_tool::SourceWish& wish) override;
    void Release() override;
    std::string Where() const override;

    // The bridge's answer to the last command ("" before one came).
    std::string LastReply();
    // Messages that did not restore to an image: a forged or malformed
    // prefix (refused on arrival, before it replaces a waiting image) or a
    // body that does not restore to its claim.
    uint64_t BadMessages() const { return m_bad.load(); }
    // Units dropped to skip to a keyframe (a slow callback, or a gap).
    uint64_t SkippedUnits() const { return m_skipped.load(); }

private:
    void OnImageMessage(int channel, const LinkMessage& msg);
    void OnLogMessage(const LinkMessage& msg);
    void OnVideoMessage(int channel, const LinkMessage& msg);
    // The lease for `asked`: video channels also as images unless the
    // bridge is known to encode them. Under m_mutex.
    Wish LeaseWishLocked() const;
    // Makes `lease` the lease; an image waiting for a channel it no longer
    // asks for is dropped (it would be stale when the channel comes back).
    // Under m_mutex.
    void SetLeaseLocked(const Wish& lease);
    bool SubscribeWanted(std::string& error);
    void ClearUnitsLocked(int channel);  // under m_mutex
    void Deliver();
    void Renew();

    std::string m_url;
    std::string m_name;
    LinkOptions m_linkOptions;
    std::string m_id;
    NatsLink m_link;
    bool m_subscribed[kChannels + 1] = {};  // the channels, then the log
    bool m_videoSubscribed[kChannels] = {};

    std::mutex m_mutex;                // everything below up to m_cond
    Wish m_asked;                      // what the caller wishes
    Wish m_wish;                       // what the lease asks for (LeaseWishLocked)
    bool m_bridgeVideo = false;        // the bridge's answer says it encodes
    bool m_keyWanted[kChannels] = {};  // to ask with the next command
    bool m_needKey[kChannels] = {};    // units are dropped until a keyframe
    std::deque<std::shared_ptr<const travik_tool::AccessUnit>> m_units[kChannels];
    size_t m_unitBytes[kChannels] = {};  // the annexB bytes in m_units
    bool m_wishChanged = false;
    bool m_stop = false;
    std::vector<unsigned char> m_latest[kChannels];
    bool m_pending[kChannels] = {};
    std::deque<std::string> m_logs;
    size_t m_logBytes = 0;
    std::string m_reply;
    std::condition_variable m_cond;       // delivery thread
    std::condition_variable m_renewCond;  // lease thread

    LogCb m_logCb;
    ImageCb m_imageCb;
    VideoCb m_videoCb;
    std::thread m_deliver;
    std::thread m_renew;
    std::atomic<uint64_t> m_bad{0};
    std::atomic<uint64_t> m_skipped{0};
};

}  // namespace travik_nats
