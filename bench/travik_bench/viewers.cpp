#include "travik_bench/viewers.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace travik_bench {

bool RawImageViewers::Start(int port, int count) {
    for (int i = 0; i < count; ++i) {
        auto v = std::make_unique<Viewer>();
        v->fd = ConnectLoopback(port);
        if (v->fd < 0) return false;
        Viewer* self = v.get();
        v->scanner = std::make_unique<FrameScanner>([self](const FrameScanner::Frame& f) {
            if (f.msgType == 2) self->frames.Add(NowNanos(), static_cast<uint64_t>(f.rawLen));
        });
        m_viewers.push_back(std::move(v));
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool RawImageViewers::SendCommand(const std::vector<unsigned char>& cmd) {
    return !m_viewers.empty() && SendAll(m_viewers[0]->fd, cmd.data(), cmd.size());
}

void RawImageViewers::Run() {
    std::vector<unsigned char> buf(1 << 20);
    std::vector<pollfd> fds;
    for (auto& v : m_viewers) fds.push_back(pollfd{v->fd, POLLIN, 0});
    while (!m_stop.load()) {
        if (poll(fds.data(), fds.size(), 50) <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = recv(fds[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n > 0) {
                m_viewers[i]->scanner->Feed(buf.data(), static_cast<size_t>(n));
            } else if (n == 0) {
                fds[i].fd = -1;  // the device closed this viewer
            }
        }
    }
}

void RawImageViewers::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    for (auto& v : m_viewers) {
        if (v->fd >= 0) close(v->fd);
        v->fd = -1;
    }
}

double RawImageViewers::MinRate(uint64_t from, uint64_t to) const {
    if (m_viewers.empty()) return 0.0;
    double rate = std::numeric_limits<double>::max();
    for (const auto& v : m_viewers) rate = std::min(rate, v->frames.Rate(from, to));
    return rate;
}

size_t RawImageViewers::MinFrames(uint64_t from, uint64_t to) const {
    if (m_viewers.empty()) return 0;
    size_t n = std::numeric_limits<size_t>::max();
    for (const auto& v : m_viewers) n = std::min(n, v->frames.Count(from, to));
    return n;
}

}  // namespace travik_bench
