// The staging area between host threads and the send thread: log text
// accumulates, each image channel keeps only its newest image.
#include <cstring>

#include "manager/manager_internal.h"
#include "platform/clock.h"
#include "protocol/frame_writer.h"

namespace travik {

int ChannelOf(int attr1, int attr5) {
    if (attr1 == 2 && attr5 == 1) return 2;
    if (attr1 == 2 && attr5 == 3) return 3;
    if (attr5 == 3) return 1;
    return 0;
}

namespace {

bool HasViewer(TravikMgr& mgr) {
    std::shared_ptr<Travik> server = ServerOf(mgr);
    return server && server->IsEmpty() == 0;
}

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

}  // namespace
}  // namespace travik

using namespace travik;

int TravikMgr::SendLogInfo(char* text, int /*len*/) {
    if (!text || m_logClosed.load() == 1) return -1;
    std::shared_ptr<Travik> server = ServerOf(*this);
    if (!server || server->IsEmpty() != 0) return -1;
    // Log text is never skipped for a slow viewer, so a producer faster than
    // every viewer is told to hold back instead of having them all closed.
    if (server->AllBacklogged()) return -1;
    size_t n = std::strlen(text);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_logText.size() + n > kMaxStagedLogBytes) return -1;
    m_logText.append(text, n);
    m_dataReady.exchange(true);
    m_cond.notify_all();
    return 0;
}

int TravikMgr::SendImageData(int attr1, int attr2, int attr3, int attr4, int attr5, unsigned char* data, int len,
                             unsigned long long tag) {
    if (m_imageClosed.load() == 1 || BadImageArgs(data, len)) return -1;
    if (!HasViewer(*this)) return 0;
    std::shared_ptr<unsigned char> copy = AllocBytes(static_cast<size_t>(len));
    if (len > 0) std::memcpy(copy.get(), data, static_cast<size_t>(len));
    SendImageDataPtr(attr1, attr2, attr3, attr4, attr5, copy, len, tag);
    return 0;
}

int TravikMgr::SendImageDataPtr(int attr1, int attr2, int attr3, int attr4, int attr5,
                                std::shared_ptr<unsigned char> data, int len, unsigned long long tag) {
    if (m_imageClosed.load() == 1 || BadImageArgs(data.get(), len)) return -1;
    if (!HasViewer(*this)) return 0;
    int channel = ChannelOf(attr1, attr5);
    if (!IntervalPassed(*this, channel)) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_images.size() != static_cast<size_t>(kImageChannels)) return 0;  // released meanwhile
    SendImageSt& slot = m_images[static_cast<size_t>(channel)];
    slot.attr1 = attr1;
    slot.attr2 = attr2 == 0 ? 1 : attr2;
    slot.attr3 = attr3;
    slot.attr4 = attr4;
    slot.attr5 = attr5;
    slot.data = std::move(data);
    slot.imageLen = len;
    slot.tag = tag;
    m_imagesPending = 1;
    m_dataReady.exchange(true);
    m_cond.notify_all();
    m_lastSendTime[channel] = static_cast<unsigned long long>(NowMicros());
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
        for (SendImageSt& slot : m_images) slot.attr2 = 0;
        m_imagesPending = 0;
    }
    m_dataReady.exchange(false);
    return 0;
}
