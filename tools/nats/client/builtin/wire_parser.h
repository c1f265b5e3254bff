// What a NATS server sends, parsed strictly as it arrives: INFO, MSG, HMSG
// (headers: only the status line is kept, e.g. "no responders" to a
// request), PING, PONG, +OK and -ERR. Every size is bounded: a control line past
// kMaxControlLine, a payload past the limit given, an unknown operation or
// a malformed MSG line is a protocol error after which the parser takes
// nothing more (the connection is closed).
// Contract: one thread (the connection's I/O thread); Feed never blocks and
// calls the sink synchronously; the sink may call SetMaxPayload and Stop,
// never Reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace travik_nats {

struct WireMessage {
    std::string subject;
    std::string reply;  // empty: none
    uint64_t sid = 0;
    int status = 0;  // the header's status code (503: no responders); 0: none
    std::vector<char> data;
};

class WireSink {
public:
    virtual ~WireSink() = default;
    virtual void OnInfo(const std::string& json) = 0;
    virtual void OnMessage(WireMessage& message) = 0;
    virtual void OnPing() = 0;
    virtual void OnPong() = 0;
    virtual void OnServerError(const std::string& text) = 0;
};

class WireParser {
public:
    static constexpr size_t kMaxControlLine = 32 * 1024;
    // Before the server's INFO says otherwise.
    static constexpr int64_t kDefaultMaxPayload = 1024 * 1024;
    // Whatever the server's INFO claims: a MSG larger than this is refused
    // rather than allocated.
    static constexpr int64_t kMaxAcceptedPayload = 64 * 1024 * 1024;

    void SetMaxPayload(int64_t bytes) { m_maxPayload = bytes < kMaxAcceptedPayload ? bytes : kMaxAcceptedPayload; }
    // False on a protocol error (`error` says which); the parser is then
    // spent until Reset.
    bool Feed(const char* data, size_t size, WireSink& sink, std::string& error);
    // The connection these bytes came from is closed: Feed returns after the
    // current sink call and takes nothing more, without error, until Reset.
    void Stop() { m_stopped = true; }
    void Reset();

private:
    bool Line(const std::string& line, WireSink& sink, std::string& error);
    bool MessageLine(const std::string& args, bool headers, std::string& error);
    void TakeHeaders();

    std::string m_line;
    bool m_inPayload = false;
    size_t m_payloadLeft = 0;  // payload bytes plus the closing CRLF
    size_t m_headerBytes = 0;  // of the payload, the leading header block
    WireMessage m_message;
    bool m_failed = false;
    bool m_stopped = false;
    int64_t m_maxPayload = kDefaultMaxPayload;
};

}  // namespace travik_nats
