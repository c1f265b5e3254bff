#include "viewer_core.h"

#include <chrono>
#include <utility>

#include "platform/clock.h"
#include "signal_guards.h"

namespace travik_py {

namespace {

// How often the watcher looks at the connection, and how long it waits
// between two reconnection attempts.
constexpr auto kWatchPeriod = std::chrono::milliseconds(50);
constexpr auto kRetryPeriod = std::chrono::milliseconds(500);

void Merge(CommandSt& state, const CommandSt& cmd) {
    if (cmd.logs) state.logs = cmd.logs;
    if (cmd.images) state.images = cmd.images;
    for (int c = 0; c < kChannels; ++c)
        if (cmd.channels[c]) state.channels[c] = cmd.channels[c];
    if (cmd.intervalMs > 0) state.intervalMs = cmd.intervalMs;
}

void Send(TravikMgr& mgr, CommandSt cmd) { mgr.SendCmd(cmd.logs, cmd.images, cmd.channels, cmd.intervalMs); }

}  // namespace

void PushReceivedImage(Inbox& inbox, int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data,
                       int len, unsigned long long tag) {
    ReceivedImage image;
    image.channel = travik::ChannelOf(a1, a5);
    image.attr[0] = a1;
    image.attr[1] = a2;
    image.attr[2] = a3;
    image.attr[3] = a4;
    image.attr[4] = a5;
    image.data = std::move(data);
    image.len = len;
    image.tag = tag;
    image.arrivalUs = travik::NowMicros();
    inbox.PushImage(std::move(image));
}

ViewerCore::ViewerCore(std::string ip, int port, bool reconnect)
    : m_ip(std::move(ip)), m_port(port), m_reconnect(reconnect) {}

ViewerCore::ViewerCore(std::unique_ptr<Remote> remote) : m_port(0), m_reconnect(false), m_remote(std::move(remote)) {}

void ViewerCore::SetTls(const TravikTls& tls) {
    std::lock_guard<std::mutex> lock(m_lifecycle);
    m_tls = tls;
}

ViewerCore::~ViewerCore() { Close(); }

bool ViewerCore::ConnectOnce() {
    if (m_remote) {
        CommandSt state;
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            state = m_state;
        }
        BlockSignalsForNewThreads blocked;
        if (m_remote->Open(state, m_inbox)) return true;
        m_remote->Close();
        return false;
    }
    std::string ip = m_ip;  // Connect takes a mutable C string
    BlockSignalsForNewThreads blocked;
    // Set before each attempt, so a reconnect is never plain.
    if ((!m_tls.caFile.empty() && m_mgr.SetTls(m_tls) != 0) || m_mgr.Connect(&ip[0], m_port) != 0) {
        m_mgr.Release();
        return false;
    }
    // The callbacks hold the inbox, not this object: a loop thread that
    // outlives Release's bounded wait still has somewhere safe to write.
    std::shared_ptr<Inbox> inbox = m_inbox;
    m_mgr.SetLogCb([inbox](std::string& text) { inbox->PushLogText(text); });
    m_mgr.SetImageCb(
        [inbox](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                unsigned long long tag) { PushReceivedImage(*inbox, a1, a2, a3, a4, a5, data, len, tag); });
    CommandSt state;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        state = m_state;
    }
    Send(m_mgr, state);
    return true;
}

bool ViewerCore::Open(const CommandSt& initial) {
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_state = initial;
    }
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    if (!ConnectOnce()) {
        m_inbox->Close();
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_closed = true;
        return false;
    }
    BlockSignalsForNewThreads blocked;
    m_watcher = std::thread(&ViewerCore::Watch, this);
    return true;
}

void ViewerCore::Command(const CommandSt& cmd) {
    CommandSt state;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_closing) return;
        Merge(m_state, cmd);
        state = m_state;
    }
    if (m_remote) {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle);
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            if (m_closing || m_closed) return;  // Close may have released it already
        }
        BlockSignalsForNewThreads blocked;
        m_remote->Want(state);
        return;
    }
    Send(m_mgr, cmd);  // SendCmd is safe from any thread, also during a reconnect
}

bool ViewerCore::SleepUnlessClosed(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lock(m_stateMutex);
    return !m_stateCond.wait_for(lock, d, [this] { return m_closing; });
}

void ViewerCore::Watch() {
    while (SleepUnlessClosed(kWatchPeriod)) {
        if (m_remote) {
            bool up;
            {
                std::lock_guard<std::mutex> lifecycle(m_lifecycle);
                up = m_remote->Up();
            }
            if (up) continue;
            m_inbox->SetConnected(false);
            m_inbox->SetLost();
            return;
        }
        if (m_mgr.IsConnected() == 1) continue;
        m_inbox->SetConnected(false);
        if (!m_reconnect) {
            m_inbox->SetLost();
            return;
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> lifecycle(m_lifecycle);
                {
                    std::lock_guard<std::mutex> lock(m_stateMutex);
                    if (m_closing) return;
                }
                m_mgr.Release();
                if (ConnectOnce()) break;
            }
            if (!SleepUnlessClosed(kRetryPeriod)) return;
        }
        m_inbox->SetConnected(true);
    }
}

void ViewerCore::Close() {
    {
        std::unique_lock<std::mutex> lock(m_stateMutex);
        if (m_closing) {
            // Another thread is closing: wait until it is done.
            m_stateCond.wait(lock, [this] { return m_closed; });
            return;
        }
        m_closing = true;
    }
    m_stateCond.notify_all();
    m_inbox->Close();
    if (m_watcher.joinable()) m_watcher.join();
    {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle);
        KeepSigintHandler keep;
        if (m_remote)
            m_remote->Close();
        else
            m_mgr.Release();
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_closed = true;
    }
    m_stateCond.notify_all();
}

#ifndef TRAVIK_PY_NATS
bool HasNats() { return false; }

std::unique_ptr<Remote> MakeNatsRemote(const std::string&, const std::string&, const std::string&, std::string& error) {
    error = "this build of travik has no NATS support (libnats was not found when it was built)";
    return nullptr;
}
#endif

}  // namespace travik_py
