#include "live/direct_source.h"

#include "cli/options.h"
#include "protocol/switch_value.h"

namespace travik_tool {

DirectSource::DirectSource(TravikMgr& mgr, std::string ip, int port, TravikTls tls)
    : m_mgr(mgr), m_ip(std::move(ip)), m_port(port), m_tls(std::move(tls)) {}

int DirectSource::Connect(const SourceWish& wish, LogCb log, ImageCb image) {
    if (!m_tls.caFile.empty() && m_mgr.SetTls(m_tls) != 0) return -1;
    std::string ip = m_ip;  // Connect takes a mutable C string
    if (m_mgr.Connect(&ip[0], m_port) != 0) return -1;
    m_mgr.SetLogCb(std::move(log));
    m_mgr.SetImageCb(std::move(image));
    SendWish(wish);
    return 0;
}

bool DirectSource::Up() { return m_mgr.IsConnected() == 1; }

void DirectSource::SendWish(const SourceWish& wish) {
    // One command carries the whole wish: log stream, image stream, channels, interval.
    int switches[travik::kImageChannels];
    for (int c = 0; c < travik::kImageChannels; ++c) switches[c] = travik::SwitchOf(wish.channels[c]);
    m_mgr.SendCmd(travik::SwitchOf(wish.logs), travik::SwitchOf(wish.images), switches, wish.intervalMs);
}

void DirectSource::Release() { m_mgr.Release(); }

std::string DirectSource::Where() const {
    // The name the certificate is checked against, as the user gave it.
    if (!m_tls.caFile.empty()) return kTlsScheme + m_tls.serverName + ":" + std::to_string(m_port);
    return m_ip + ":" + std::to_string(m_port);
}

}  // namespace travik_tool
