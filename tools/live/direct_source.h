// A direct connection to a device as a ViewSource: TravikMgr's Connect (over
// TLS when given its settings), its two callbacks and one command carrying
// the whole wish.
// Contract: see ViewSource. The callbacks run on the library's loop thread;
// the manager is borrowed for the source's lifetime and used by nothing else
// meanwhile.
#pragma once

#include <travik/travik.h>

#include <string>

#include "cli/view_source.h"

namespace travik_tool {

class DirectSource : public ViewSource {
public:
    // `ip` dotted IPv4. With `tls` (caFile set) every Connect sets it first,
    // so a reconnect is never plain.
    DirectSource(TravikMgr& mgr, std::string ip, int port, TravikTls tls = TravikTls());

    int Connect(const SourceWish& wish, LogCb log, ImageCb image) override;
    bool Up() override;
    void SendWish(const SourceWish& wish) override;
    void Release() override;
    std::string Where() const override;
    int DevicePort() const override { return m_port; }

private:
    TravikMgr& m_mgr;
    const std::string m_ip;
    const int m_port;
    const TravikTls m_tls;
};

}  // namespace travik_tool
