// The staging area between host threads and the send thread: log text
// accumulates, each image channel keeps only its newest image.
#include <algorithm>
#include <cstring>

#include "manager/manager_internal.h"
#include "platform/clock.h"
#include "protocol/channel_rule.h"
#include "protocol/frame_writer.h"

namespace travik {

namespace {

bool HasViewer(TravikMgr& mgr) {
    std::shared_ptr<Travik> server = ServerOf(mgr);
    return server && server->IsEmpty() == 0;
}

// Texts up to this long are measured whole at once; longer ones only as far
// as there is room.
constexpr size_t kShortLogText = 4096;

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

}  // namespace
}  // namespace travik

using namespace travik;

int TravikMgr::SendLogInfo(char* text, int /*len*/) {
    if (!text || m_logClosed.load() == 1) return -1;
    std::shared_ptr<Travik> server = ServerOf(*this);
    if (!server || server->IsEmpty() != 0) return -1;
    size_t n = strnlen(text, kShortLogText);
    if (n == kShortLogText) {
        // A long text is measured only as far as it could be taken now: a
        // producer that retries it while viewers catch up pays for the room
        // left, not for the whole text on every refusal.
        const size_t room = server->RoomLeft();
        const size_t used = static_cast<size_t>(std::max(0LL, m_logInFlight.load())) + kFrameHeaderLen + 1;
        const size_t limit = std::min(kMaxStagedLogBytes, room > used ? room - used : 0);
        n = strnlen(text, limit + 1);
        if (n > limit) return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_logText.size() + n > kMaxStagedLogBytes) return -1;
    // Log text is never skipped nor a reading viewer cut, so the producer
    // holds back instead: refused while the text, as part of the frame it
    // joins, would take any viewer's backlog past the hard bound, counting
    // the log frames not yet queued. Checked and counted under m_mutex, so
    // that two producers cannot both take the last room.
    const long long frameBytes = static_cast<long long>(n) + (m_logText.empty() ? kFrameHeaderLen + 1 : 0);
    const long long inFlight = std::max(0LL, m_logInFlight.load());
    if (!server->RoomFor(static_cast<size_t>(inFlight + frameBytes))) return -1;
    m_logInFlight += frameBytes;
    m_logText.append(text, n);
    // One wake-up per pass, not per line: whoever raised the flag since the
    // send thread last took everything has woken it already.
    if (!m_dataReady.exchange(true)) m_cond.notify_all();
    return 0;
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
