// The staging area between host threads and the send thread: log text
// accumulates, each image channel keeps only its newest image.
#include <algorithm>
#include <cstring>

#include "manager/manager_internal.h"
#include "manager/spare_log_text.h"
#include "platform/clock.h"
#include "protocol/channel_rule.h"
#include "protocol/frame_writer.h"
#include "transport/backlog_limits.h"

namespace travik {

namespace {

bool HasViewer(TravikMgr& mgr) {
    std::shared_ptr<Travik> server = ServerOf(mgr);
    return server && server->IsEmpty() == 0;
}

// Texts up to this long are measured whole at once; longer ones only as far
// as there is room.
constexpr size_t kShortLogText = 4096;
// Blocks in which a very long text is searched and copied.
constexpr size_t kScanBlock = 64 * 1024;

bool BadImageArgs(const void* data, int len) { return len < 0 || (data == nullptr && len > 0); }

// The channel's timer starts with its first image, which is itself dropped;
// after that an image passes once more than the interval has gone by since
// the last staged one.
bool IntervalPassed(TravikMgr& mgr, int channel) {
    unsigned long long expected = 0;
    mgr.m_lastSendTime[channel].compare_exchange_strong(expected, static_cast<unsigned long long>(NowMicros()));
    if (mgr.m_sendImagesOnOff[channel].load() != 1) return false;
    unsigned long long elapsed = static_cast<unsigned long long>(NowMicros()) - mgr.m_lastSendTime[channel].load();
    unsigned long long interval =
        static_cast<unsigned long long>(static_cast<int64_t>(mgr.m_sendInterval.load()) * 1000);
    return elapsed > interval;
}

enum class Gate { Refused, Dropped, Pass };

// Every gate an image meets, in order, before anything is copied or kept:
// closed stream or bad arguments (refused), then nobody connected, channel
// off and interval (dropped). Sets `channel` when the image passes.
Gate CheckImageGates(TravikMgr& mgr, int attr1, int attr5, const void* data, int len, int& channel) {
    if (mgr.m_imageClosed.load() == 1 || BadImageArgs(data, len)) return Gate::Refused;
    if (!HasViewer(mgr)) return Gate::Dropped;
    channel = ChannelOf(attr1, attr5);
    return IntervalPassed(mgr, channel) ? Gate::Pass : Gate::Dropped;
}

// Puts a passed image into its channel's slot, replacing an unsent one.
void Stage(TravikMgr& mgr, int channel, SendImageSt image) {
    std::lock_guard<std::mutex> lock(mgr.m_mutex);
    if (mgr.m_images.size() != static_cast<size_t>(kImageChannels)) return;  // released meanwhile
    SendImageSt& slot = mgr.m_images[static_cast<size_t>(channel)];
    slot = std::move(image);
    if (slot.attr2 == 0) slot.attr2 = 1;  // 0 marks a taken slot
    mgr.m_imagesPending = 1;
    mgr.m_dataReady.exchange(true);
    mgr.m_cond.notify_all();
    mgr.m_lastSendTime[channel] = static_cast<unsigned long long>(NowMicros());
}

// Log text is never skipped nor a reading viewer cut, so the producer holds
// back instead: refused while the text, as part of the frame it joins, would
// take any viewer's backlog past the hard bound, counting the log frames not
// yet queued; refused too when nobody is connected. Checked and counted under
// m_mutex, so that two producers cannot both take the last room.
//
// Room the transport grants beyond this text is kept as credit and spent by
// later texts without asking again (a lock and a walk over the connections
// per line) while the transport's room stamp says nothing else was queued and
// no connection came or went.
bool HasRoomLocked(TravikMgr& mgr, Travik& server, size_t staged, size_t n) {
    if (staged + n > kMaxStagedLogBytes) return false;
    const long long frameBytes = static_cast<long long>(n) + (staged == 0 ? kFrameHeaderLen + 1 : 0);
    uint64_t stamp = 0;
    const bool stamped = server.RoomStamp(stamp);
    if (stamped && stamp == mgr.m_logCreditStamp && frameBytes <= mgr.m_logCredit) {
        mgr.m_logCredit -= frameBytes;
        mgr.m_logInFlight += frameBytes;
        return true;
    }
    mgr.m_logCredit = 0;
    const long long inFlight = std::max(0LL, mgr.m_logInFlight.load());
    if (!server.RoomFor(static_cast<size_t>(inFlight + frameBytes))) return false;
    mgr.m_logInFlight += frameBytes;
    if (stamped) {
        const size_t room = std::min(server.RoomLeft(), kHardBacklogBytes);
        const long long spent = inFlight + frameBytes;
        mgr.m_logCredit = static_cast<long long>(room) > spent ? static_cast<long long>(room) - spent : 0;
        mgr.m_logCreditStamp = stamp;
    }
    return true;
}

// Staged text is ready, raised under m_mutex. One wake-up per pass, not per
// line: whoever raised the flag since the send thread last took everything
// has woken it already. The wake-up itself comes after m_mutex is let go, so
// that the woken thread does not wait at once for the producer's lock.
class WakeSender {
public:
    explicit WakeSender(TravikMgr& mgr) : m_mgr(mgr) {}
    ~WakeSender() {
        if (m_wake) m_mgr.m_cond.notify_all();
    }
    WakeSender(const WakeSender&) = delete;
    WakeSender& operator=(const WakeSender&) = delete;
    void RaiseLocked() { m_wake = !m_mgr.m_dataReady.exchange(true); }

private:
    TravikMgr& m_mgr;
    bool m_wake = false;
};

// Under m_mutex: stages `n` bytes of `text` (no NUL among them).
bool StageLogTextLocked(TravikMgr& mgr, Travik& server, const char* text, size_t n, WakeSender& wake) {
    if (!HasRoomLocked(mgr, server, mgr.m_logText.size(), n)) return false;
    mgr.m_logText.append(text, n);
    wake.RaiseLocked();
    return true;
}

// A long text is measured only as far as it could be taken now: a producer
// that retries it while viewers catch up pays for the room left, not for the
// whole text on every refusal. Past kScanBlock it is searched for its NUL one
// block at a time and each block copied while still in cache, instead of
// reading the whole text twice; a text found too long is taken back.
int StageLongLogText(TravikMgr& mgr, Travik& server, const char* text) {
    if (server.IsEmpty() != 0) return -1;
    const size_t room = server.RoomLeft();
    const size_t used = static_cast<size_t>(std::max(0LL, mgr.m_logInFlight.load())) + kFrameHeaderLen + 1;
    size_t limit = std::min(kMaxStagedLogBytes, room > used ? room - used : 0);
    size_t n = strnlen(text, std::min(limit + 1, kScanBlock));
    if (n > limit) return -1;
    WakeSender wake(mgr);
    std::lock_guard<std::mutex> lock(mgr.m_mutex);
    if (n < kScanBlock) return StageLogTextLocked(mgr, server, text, n, wake) ? 0 : -1;
    std::string& staged = mgr.m_logText;
    const size_t before = staged.size();
    if (before + n > kMaxStagedLogBytes) return -1;
    limit = std::min(limit, kMaxStagedLogBytes - before);
    if (before == 0) mgr.m_spareLogText->Take(staged);
    // Room for what was scanned, not for the limit: the string's capacity
    // travels with the frame it becomes, so a 64 KiB line must not hold
    // megabytes until every viewer has taken it.
    staged.reserve(before + n);
    staged.append(text, n);
    bool ended = false;
    while (!ended && n < limit + 1) {
        const size_t block = std::min(kScanBlock, limit + 1 - n);
        const void* nul = std::memchr(text + n, 0, block);
        const size_t take = nul ? static_cast<size_t>(static_cast<const char*>(nul) - (text + n)) : block;
        if (n + take > limit) break;
        staged.append(text + n, take);
        n += take;
        ended = nul != nullptr;
    }
    if (!ended || !HasRoomLocked(mgr, server, before, n)) {
        staged.resize(before);
        return -1;
    }
    wake.RaiseLocked();
    return 0;
}

}  // namespace
}  // namespace travik

using namespace travik;

int TravikMgr::SendLogInfo(char* text, int /*len*/) {
    if (!text || m_logClosed.load() == 1) return -1;
    std::shared_ptr<Travik> server = ServerOf(*this);
    if (!server) return -1;
    const size_t n = strnlen(text, kShortLogText);
    if (n == kShortLogText) return StageLongLogText(*this, *server, text);
    WakeSender wake(*this);
    std::lock_guard<std::mutex> lock(m_mutex);
    return StageLogTextLocked(*this, *server, text, n, wake) ? 0 : -1;
}

int TravikMgr::SendImageData(int attr1, int attr2, int attr3, int attr4, int attr5, unsigned char* data, int len,
                             unsigned long long tag) {
    int channel = 0;
    Gate gate = CheckImageGates(*this, attr1, attr5, data, len, channel);
    if (gate != Gate::Pass) return gate == Gate::Refused ? -1 : 0;
    std::shared_ptr<unsigned char> copy = AllocBytes(static_cast<size_t>(len));
    if (len > 0) std::memcpy(copy.get(), data, static_cast<size_t>(len));
    Stage(*this, channel, SendImageSt{attr1, attr2, attr3, attr4, attr5, std::move(copy), len, tag});
    return 0;
}

int TravikMgr::SendImageDataPtr(int attr1, int attr2, int attr3, int attr4, int attr5,
                                std::shared_ptr<unsigned char> data, int len, unsigned long long tag) {
    int channel = 0;
    Gate gate = CheckImageGates(*this, attr1, attr5, data.get(), len, channel);
    if (gate != Gate::Pass) return gate == Gate::Refused ? -1 : 0;
    Stage(*this, channel, SendImageSt{attr1, attr2, attr3, attr4, attr5, std::move(data), len, tag});
    return 0;
}

int TravikMgr::GetSendInfo(std::string& text, std::vector<SendImageSt>& images) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_dataReady.load() || m_exit.load(); });
    if (!m_logText.empty()) {
        text = std::move(m_logText);
        m_logText.clear();
    }
    if (m_imagesPending == 1) {
        images = m_images;
        // A taken slot lets go of its bytes: the send thread's copy is the
        // only holder until the frame is built.
        for (SendImageSt& slot : m_images) {
            slot.attr2 = 0;
            slot.data.reset();
        }
        m_imagesPending = 0;
    }
    m_dataReady.exchange(false);
    return 0;
}
