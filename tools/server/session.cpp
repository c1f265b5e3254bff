#include "server/session.h"

#include <array>

#include "platform/clock.h"

namespace travik_tool {

namespace {
// Client messages are small (commands, subscriptions, service calls);
// larger ones close the session (WebSocket status 1009).
constexpr size_t kReadMessageMax = 64 * 1024;
constexpr auto kUpgradeTimeout = std::chrono::seconds(10);
}  // namespace

Session::Session(Server& server, ServerStream stream, size_t channels, size_t maxControl, ControlOverflow overflow,
                 ConnectionSlot slot, HandshakeTicket handshake)
    : m_server(server),
      m_ws(std::move(stream)),
      m_slot(std::move(slot)),
      m_handshake(std::move(handshake)),
      m_maxControl(maxControl),
      m_overflow(overflow),
      m_items(channels),
      m_waitKeyframe(channels, false) {}

void Session::Accept(const HttpRequest& request, const std::string& subprotocol) {
    auto self = shared_from_this();
    m_server.AddSession(self);
    std::weak_ptr<Session> weak = self;
    m_handshake.Rebind([weak] {
        if (auto s = weak.lock()) s->Close();
    });
    // A client that sends nothing is pinged when the socket has been quiet
    // for 15 s and closed when it has not answered within 30 s (a closed
    // laptop, a dead network).
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kUpgradeTimeout;
    timeouts.idle_timeout = std::chrono::seconds(30);
    timeouts.keep_alive_pings = true;
    m_ws.set_option(timeouts);
    m_ws.set_option(websocket::stream_base::decorator([subprotocol](websocket::response_type& res) {
        res.set(http::field::server, "travik");
        if (!subprotocol.empty()) res.set(http::field::sec_websocket_protocol, subprotocol);
    }));
    m_ws.read_message_max(kReadMessageMax);
    m_ws.auto_fragment(false);
    m_ws.async_accept(request, [self](beast::error_code ec) {
        self->m_handshake.Release();
        if (ec || self->m_closed) return self->Finish();
        self->m_open = true;
        ++self->m_server.Counters().openSessions;
        self->OnOpen();
        self->Read();
        self->Pump();
    });
}

void Session::Close() {
    if (m_closed) return;
    m_closed = true;
    beast::error_code ignored;
    beast::get_lowest_layer(m_ws).socket().close(ignored);
}

void Session::SendControl(std::string message, bool binary) {
    if (m_closed) return;
    if (m_control.size() >= m_maxControl) {
        if (m_overflow == ControlOverflow::Close) return Finish();
        m_control.pop_front();
    }
    m_control.emplace_back(binary, std::move(message));
    Pump();
}

bool Session::QueueItem(size_t channel, SessionItem item, size_t bound) {
    if (m_closed || channel >= m_items.size() || !item.payload) return false;
    std::deque<SessionItem>& queue = m_items[channel];
    bool dropped = false;
    while (!queue.empty() && queue.size() >= (bound > 0 ? bound : 1)) {
        queue.pop_front();
        ++m_server.Counters().itemsReplaced;
        dropped = true;
    }
    queue.push_back(std::move(item));
    ++m_server.Counters().itemsQueued;
    Pump();
    return dropped;
}

void Session::ClearChannel(size_t channel) {
    if (channel < m_items.size()) m_items[channel].clear();
}

bool Session::QueueStreamItem(size_t channel, SessionItem item) {
    if (m_closed || channel >= m_items.size() || !item.payload) return false;
    if (item.keyframe) m_waitKeyframe[channel] = false;
    if (m_waitKeyframe[channel]) return true;
    const bool keyframe = item.keyframe;
    if (!QueueItem(channel, std::move(item), 1) || keyframe) return false;
    // A delta replaced the one before it: the stream has a gap.
    WaitForKeyframe(channel);
    return true;
}

void Session::WaitForKeyframe(size_t channel) {
    if (channel >= m_items.size()) return;
    m_items[channel].clear();
    m_waitKeyframe[channel] = true;
}

void Session::Read() {
    auto self = shared_from_this();
    m_readBuffer.consume(m_readBuffer.size());
    m_ws.async_read(m_readBuffer, [self](beast::error_code ec, size_t) {
        // Also invalid UTF-8 in a text message: Beast closes with status 1007.
        if (ec) return self->Finish();
        self->OnMessage(self->m_ws.got_text(), beast::buffers_to_string(self->m_readBuffer.data()));
        if (!self->m_closed) self->Read();
    });
}

void Session::Pump() {
    if (!m_open || m_writing || m_closed) return;
    auto self = shared_from_this();
    std::string more;
    if (!m_control.empty() || MoreControl(more)) {
        if (!m_control.empty()) {
            m_controlOut = std::move(m_control.front());
            m_control.pop_front();
        } else {
            m_controlOut = {false, std::move(more)};
        }
        m_writing = true;
        m_ws.binary(m_controlOut.first);
        m_ws.async_write(asio::buffer(m_controlOut.second),
                         [self](beast::error_code ec, size_t) { self->OnWritten(ec, false, 0); });
        return;
    }
    const size_t channels = m_items.size();
    for (size_t i = 0; i < channels; ++i) {
        const size_t channel = (m_nextChannel + i) % channels;
        std::deque<SessionItem>& queue = m_items[channel];
        if (queue.empty()) continue;
        m_nextChannel = (channel + 1) % channels;
        m_itemOut = std::move(queue.front());
        queue.pop_front();
        const size_t headerBytes = ItemHeader(channel, m_itemOut, m_header);
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(m_header, headerBytes),
                                                        asio::buffer(*m_itemOut.payload)};
        m_writing = true;
        m_ws.binary(true);
        const uint64_t received = m_itemOut.receivedMicros;
        m_ws.async_write(buffers,
                         [self, received](beast::error_code ec, size_t) { self->OnWritten(ec, true, received); });
        return;
    }
}

void Session::OnWritten(beast::error_code ec, bool item, uint64_t receivedMicros) {
    m_writing = false;
    m_itemOut = SessionItem();
    m_controlOut.second.clear();
    if (ec) return Finish();
    if (item) {
        ++m_server.Counters().itemsWritten;
        if (receivedMicros > 0) m_server.Counters().AddHop(travik::NowMicros() - static_cast<int64_t>(receivedMicros));
    }
    Pump();
}

void Session::Finish() {
    Close();
    if (m_finished) return;
    m_finished = true;
    m_control.clear();
    for (auto& queue : m_items) queue.clear();
    if (m_open) --m_server.Counters().openSessions;
    m_slot.Release();
    m_handshake.Release();
    OnFinished();
    // The running handler's `self` keeps this session alive until it returns.
    m_server.RemoveSession(this);
}

}  // namespace travik_tool
