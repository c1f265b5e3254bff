// The nats:// stream of travik.Viewer: the tool's own NATS viewer (the same
// client code as `travik view nats://...`) feeding the Inbox.
#include <utility>

#include "nats/client/source.h"
#include "viewer_core.h"

namespace travik_py {

namespace {

// Python's commands say on / off / keep; a bridge is told the whole wish.
travik_tool::SourceWish WishOf(const CommandSt& state) {
    travik_tool::SourceWish wish;
    wish.logs = state.logs == 1;
    for (int c = 0; c < kChannels; ++c) wish.channels[c] = state.images != 2 && state.channels[c] != 2;
    if (state.intervalMs > 0) wish.intervalMs = state.intervalMs;
    return wish;
}

class NatsRemote : public Remote {
public:
    NatsRemote(std::string url, std::string name, travik_nats::LinkOptions link)
        : m_viewer(std::move(url), std::move(name), std::move(link)) {}

    bool Open(const CommandSt& state, const std::shared_ptr<Inbox>& inbox) override {
        // The callbacks run on the viewer's delivery thread, which Close ends.
        auto log = [inbox](std::string& text) { inbox->PushLogText(text); };
        auto image = [inbox](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                             unsigned long long tag) { PushReceivedImage(*inbox, a1, a2, a3, a4, a5, data, len, tag); };
        return m_viewer.Connect(WishOf(state), log, image) == 0;
    }
    bool Up() override { return m_viewer.Up(); }
    void Want(const CommandSt& state) override { m_viewer.SendWish(WishOf(state)); }
    void Close() override { m_viewer.Release(); }

private:
    travik_nats::NatsViewer m_viewer;
};

}  // namespace

bool HasNats() { return true; }

std::unique_ptr<Remote> MakeNatsRemote(const std::string& address, const std::string& credsFile,
                                       const std::string& tlsCaFile, std::string& error) {
    std::string url, name;
    if (!travik_nats::ParseNatsTarget(address, url, name)) {
        error = "bad address '" + address + "' (expected nats://HOST[:PORT]/NAME)";
        return nullptr;
    }
    travik_nats::LinkOptions link;
    link.credsFile = credsFile;
    link.tlsCaFile = tlsCaFile;
    return std::make_unique<NatsRemote>(std::move(url), std::move(name), std::move(link));
}

}  // namespace travik_py
