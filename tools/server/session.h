// One WebSocket session on the server core: the upgrade, the read loop and
// a write loop that keeps one message in flight. What it writes, in order:
// control messages (a bounded queue), then whatever more control the
// protocol has (MoreControl), then the queued items round the channels.
// A channel's queue has a bound; bound 1 keeps only the newest item
// (images: an unsent one is replaced, and counted), so a slow client holds
// at most one per channel and never builds a lag.
//
// Threads: server thread only, callbacks included. Ownership: the Server's
// session set holds it while open; each pending operation holds it too
// (`self`). The Server and its counters outlive it. OnFinished runs at
// most once, from Finish, when the session ends (Close alone does not call
// it: the server is then dropping every session itself).
#pragma once

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/http_connection.h"
#include "server/server.h"
#include "server/server_stream.h"

namespace travik_tool {

namespace websocket = beast::websocket;

// One message for a channel, shared by every session that sends it.
struct SessionItem {
    std::shared_ptr<const std::string> payload;
    uint64_t logTimeNanos = 0;    // for the protocol's frame header
    uint64_t receivedMicros = 0;  // wall clock when the raw data arrived (0: none); feeds the hop samples
    bool keyframe = false;        // QueueStreamItem: decodable without the items before it
};

class Session : public std::enable_shared_from_this<Session> {
public:
    // What a full control queue does: drop its oldest message (state that a
    // newer one repeats), or close a client that does not read at all.
    enum class ControlOverflow { DropOldest, Close };

    // `channels`: how many item queues; `slot` and `handshake` are taken
    // over from the HttpConnection (empty ones are fine).
    Session(Server& server, ServerStream stream, size_t channels, size_t maxControl, ControlOverflow overflow,
            ConnectionSlot slot, HandshakeTicket handshake);
    virtual ~Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Adds the session to the server's set and completes the upgrade for
    // `request`, answering with `subprotocol` when not empty; then OnOpen,
    // reading and writing.
    void Accept(const HttpRequest& request, const std::string& subprotocol = std::string());
    // The server closes the session (Stop): closes the socket so that
    // pending operations complete, queues nothing more, no OnFinished.
    void Close();
    bool IsOpen() const { return m_open && !m_closed; }

protected:
    // Queues a control message (text, or binary when `binary`).
    void SendControl(std::string message, bool binary = false);
    // Queues an item on `channel`, keeping at most `bound` (>= 1) unsent:
    // the oldest goes first. True when one was dropped for it.
    bool QueueItem(size_t channel, SessionItem item, size_t bound);
    void ClearChannel(size_t channel);
    // Queues one item of a stream whose items depend on those before it
    // (video), keeping at most one unsent. A channel that loses an item (one
    // replaced before it was sent, or WaitForKeyframe) takes nothing until
    // the next keyframe, so memory stays bounded and the client never gets
    // a gap. True when the channel waits for a keyframe: the caller asks
    // its producer for one.
    bool QueueStreamItem(size_t channel, SessionItem item);
    // The next item of `channel` must be a keyframe (a new watcher, or a
    // resubscription); drops what is queued.
    void WaitForKeyframe(size_t channel);
    bool Closed() const { return m_closed; }
    Server& Owner() { return m_server; }
    // Ends on its own: closes, frees the queues, calls OnFinished and
    // leaves the server's set, once.
    void Finish();
    void Pump();

    virtual void OnOpen() {}
    virtual void OnMessage(bool text, const std::string& bytes) = 0;
    // More control after the queue (the page's log batches): true with one message.
    virtual bool MoreControl(std::string& out) {
        (void)out;
        return false;
    }
    // The protocol's frame header before an item's payload, at most
    // kMaxItemHeader bytes; returns its length.
    virtual size_t ItemHeader(size_t channel, const SessionItem& item, unsigned char* out) {
        (void)channel;
        (void)item;
        (void)out;
        return 0;
    }
    virtual void OnFinished() {}

    static constexpr size_t kMaxItemHeader = 32;

private:
    void Read();
    void OnWritten(beast::error_code ec, bool item, uint64_t receivedMicros);

    Server& m_server;
    websocket::stream<ServerStream> m_ws;
    ConnectionSlot m_slot;
    HandshakeTicket m_handshake;
    beast::flat_buffer m_readBuffer;
    const size_t m_maxControl;
    const ControlOverflow m_overflow;
    bool m_open = false, m_writing = false, m_closed = false, m_finished = false;
    std::deque<std::pair<bool, std::string>> m_control;
    std::pair<bool, std::string> m_controlOut;
    std::vector<std::deque<SessionItem>> m_items;
    std::vector<bool> m_waitKeyframe;  // QueueStreamItem's channels
    size_t m_nextChannel = 0;
    SessionItem m_itemOut;
    unsigned char m_header[kMaxItemHeader] = {};
};

}  // namespace travik_tool
