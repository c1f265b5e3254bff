#include "device_core.h"

#include <utility>

#include "inbox.h"
#include "manager/manager_internal.h"
#include "protocol/channel_rule.h"
#include "signal_guards.h"

namespace travik_py {

namespace {

bool Acceptable(int channel, int width, int height, int len) {
    return channel >= 0 && channel < kChannels && width >= 0 && height >= 0 && len >= 0 && len <= kMaxImageBytes;
}

}  // namespace

DeviceCore::~DeviceCore() { Close(); }

bool DeviceCore::Open(int port, const std::string& bind, const TravikTls& tls) {
    std::lock_guard<std::mutex> lock(m_lifecycle);
    // Declared in this order so that the handler is back before the signals
    // are unblocked: a Ctrl-C that came meanwhile then reaches the interpreter.
    BlockSignalsForNewThreads blocked;
    KeepSigintHandler keep;
    if (!tls.certFile.empty() && m_mgr.SetTls(tls) != 0) return false;
    if (m_mgr.Listen(bind.empty() ? nullptr : bind.c_str(), port) != 0) return false;
    m_open = true;
    return true;
}

void DeviceCore::Close() {
    std::lock_guard<std::mutex> lock(m_lifecycle);
    if (!m_open.exchange(false)) return;
    KeepSigintHandler keep;
    m_mgr.Release();
}

int DeviceCore::Port() { return m_open ? travik::ListeningPort(m_mgr) : 0; }

int DeviceCore::Viewers() { return m_open ? travik::ViewerCount(m_mgr) : 0; }

bool DeviceCore::SendImage(int channel, int attr2, int width, int height, const unsigned char* data, int len,
                           unsigned long long tag) {
    if (!m_open || !Acceptable(channel, width, height, len)) return false;
    int attr1 = 0, attr5 = 0;
    travik::ChannelAttrs(channel, attr1, attr5);
    // The library copies the bytes and never writes to them.
    auto* bytes = const_cast<unsigned char*>(data);
    return m_mgr.SendImageData(attr1, attr2, width, height, attr5, bytes, len, tag) == 0;
}

bool DeviceCore::SendImageShared(int channel, int attr2, int width, int height, std::shared_ptr<unsigned char> data,
                                 int len, unsigned long long tag) {
    if (!m_open || !Acceptable(channel, width, height, len)) return false;
    int attr1 = 0, attr5 = 0;
    travik::ChannelAttrs(channel, attr1, attr5);
    return m_mgr.SendImageDataPtr(attr1, attr2, width, height, attr5, std::move(data), len, tag) == 0;
}

bool DeviceCore::Log(const char* text) {
    if (!m_open) return false;
    return m_mgr.SendLogInfo(const_cast<char*>(text), 0) == 0;
}

}  // namespace travik_py
