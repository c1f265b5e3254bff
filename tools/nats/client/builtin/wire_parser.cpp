#include "nats/client/builtin/wire_parser.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace travik_nats {

namespace {

// Subjects and reply subjects: printable, no spaces (the server never
// sends others).
bool ValidSubject(const std::string& s) {
    if (s.empty() || s.size() > WireParser::kMaxControlLine) return false;
    for (char c : s)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

// A decimal without sign or leading junk, at most `max`.
bool ParseCount(const std::string& s, uint64_t max, uint64_t& value) {
    if (s.empty() || s.size() > 19) return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value <= max;
}

std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size() && out.size() <= 5) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

bool StartsWithOp(const std::string& line, const char* op, std::string& rest) {
    const size_t n = std::strlen(op);
    if (line.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(line[i])) != op[i]) return false;  // '+' and '-' as they are
    if (line.size() > n && line[n] != ' ' && line[n] != '\t') return false;
    rest = line.substr(n);
    return true;
}

}  // namespace

void WireParser::Reset() {
    m_line.clear();
    m_inPayload = false;
    m_payloadLeft = 0;
    m_headerBytes = 0;
    m_message = WireMessage();
    m_failed = false;
    m_stopped = false;
    m_maxPayload = kDefaultMaxPayload;
}

bool WireParser::Feed(const char* data, size_t size, WireSink& sink, std::string& error) {
    if (m_failed) {
        error = "protocol error earlier";
        return false;
    }
    size_t i = 0;
    while (i < size && !m_stopped) {
        if (m_inPayload) {
            const size_t take = std::min(size - i, m_payloadLeft);
            const size_t bodyLeft = m_payloadLeft > 2 ? m_payloadLeft - 2 : 0;
            const size_t body = std::min(take, bodyLeft);
            m_message.data.insert(m_message.data.end(), data + i, data + i + body);
            // The two bytes after the payload must be CRLF.
            for (size_t k = body; k < take; ++k) {
                const char want = (m_payloadLeft - k) == 2 ? '\r' : '\n';
                if (data[i + k] != want) {
                    m_failed = true;
                    error = "a message's payload is not followed by CRLF";
                    return false;
                }
            }
            i += take;
            m_payloadLeft -= take;
            if (m_payloadLeft == 0) {
                m_inPayload = false;
                TakeHeaders();
                sink.OnMessage(m_message);
                m_message = WireMessage();
            }
            continue;
        }
        const char* end = static_cast<const char*>(std::memchr(data + i, '\n', size - i));
        const size_t chunk = end == nullptr ? size - i : static_cast<size_t>(end - (data + i));
        if (m_line.size() + chunk > kMaxControlLine) {
            m_failed = true;
            error = "a control line longer than " + std::to_string(kMaxControlLine) + " bytes";
            return false;
        }
        m_line.append(data + i, chunk);
        if (end == nullptr) return true;
        i += chunk + 1;
        if (m_line.empty() || m_line.back() != '\r') {
            m_failed = true;
            error = "a control line not ended by CRLF";
            return false;
        }
        m_line.pop_back();
        const std::string line = std::move(m_line);
        m_line.clear();
        if (!Line(line, sink, error)) {
            m_failed = true;
            return false;
        }
    }
    return true;
}

bool WireParser::Line(const std::string& line, WireSink& sink, std::string& error) {
    std::string rest;
    if (StartsWithOp(line, "MSG", rest)) return MessageLine(rest, false, error);
    if (StartsWithOp(line, "HMSG", rest)) return MessageLine(rest, true, error);
    if (StartsWithOp(line, "PING", rest) && rest.find_first_not_of(" \t") == std::string::npos) {
        sink.OnPing();
        return true;
    }
    if (StartsWithOp(line, "PONG", rest) && rest.find_first_not_of(" \t") == std::string::npos) {
        sink.OnPong();
        return true;
    }
    if (StartsWithOp(line, "+OK", rest) && rest.find_first_not_of(" \t") == std::string::npos) return true;
    if (StartsWithOp(line, "-ERR", rest)) {
        const size_t from = rest.find_first_not_of(" \t");
        std::string text = from == std::string::npos ? std::string() : rest.substr(from);
        if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') text = text.substr(1, text.size() - 2);
        // Printed on the console: nothing but printable ASCII.
        for (char& c : text)
            if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) > '~') c = '?';
        sink.OnServerError(text.substr(0, 256));
        return true;
    }
    if (StartsWithOp(line, "INFO", rest)) {
        const size_t from = rest.find_first_not_of(" \t");
        if (from == std::string::npos) {
            error = "an INFO without its document";
            return false;
        }
        sink.OnInfo(rest.substr(from));
        return true;
    }
    error = "an unknown operation from the server";
    return false;
}

bool WireParser::MessageLine(const std::string& args, bool headers, std::string& error) {
    const std::vector<std::string> f = Fields(args);
    const size_t n = headers ? 1 : 0;  // HMSG has the header size before the total
    if (f.size() != 3 + n && f.size() != 4 + n) {
        error = "a MSG line with " + std::to_string(f.size()) + " fields";
        return false;
    }
    uint64_t size = 0;
    const uint64_t max = m_maxPayload > 0 ? static_cast<uint64_t>(m_maxPayload) : 0;
    if (!ValidSubject(f[0]) || !ParseCount(f[1], UINT64_MAX / 16, m_message.sid) ||
        (f.size() == 4 + n && !ValidSubject(f[2]))) {
        error = "a malformed MSG line";
        return false;
    }
    if (!ParseCount(f.back(), max, size)) {
        error = "a MSG whose size is malformed or past max_payload";
        return false;
    }
    uint64_t headerBytes = 0;
    if (headers && (!ParseCount(f[f.size() - 2], size, headerBytes) || headerBytes < 4)) {
        error = "an HMSG whose header size is malformed or past its total";
        return false;
    }
    m_headerBytes = static_cast<size_t>(headerBytes);
    m_message.subject = f[0];
    if (f.size() == 4 + n) m_message.reply = f[2];
    // The size is the server's word: memory follows the bytes that come.
    m_message.data.reserve(static_cast<size_t>(std::min<uint64_t>(size, 64 * 1024)));
    m_payloadLeft = static_cast<size_t>(size) + 2;
    m_inPayload = true;
    return true;
}

void WireParser::TakeHeaders() {
    if (m_headerBytes == 0) return;
    // "NATS/1.0[ CODE[ TEXT]]\r\n...": the code only.
    const std::string block(m_message.data.begin(), m_message.data.begin() + static_cast<long>(m_headerBytes));
    m_message.data.erase(m_message.data.begin(), m_message.data.begin() + static_cast<long>(m_headerBytes));
    m_headerBytes = 0;
    if (block.compare(0, 9, "NATS/1.0 ") != 0) return;
    int code = 0;
    for (size_t i = 9; i < block.size() && i < 12 && block[i] >= '0' && block[i] <= '9'; ++i)
        code = code * 10 + (block[i] - '0');
    m_message.status = code;
}

}  // namespace travik_nats
