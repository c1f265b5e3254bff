// What a NATS server sends, into the tool's own client's line parser
// (tools/nats/client/builtin/wire_parser.cpp). See parser_drivers.h for the
// input layout.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "nats/client/builtin/wire_parser.h"
#include "parser_drivers.h"

namespace travik_fuzz {
namespace {

using travik_nats::WireMessage;
using travik_nats::WireParser;

// The "max_payload" of an INFO document as the input wrote it: a sign and
// up to 19 digits, so negative, zero and huge claims all reach the parser.
bool ClaimedMaxPayload(const std::string& json, int64_t& value) {
    const size_t key = json.find("\"max_payload\":");
    if (key == std::string::npos) return false;
    size_t i = key + 14;
    const bool negative = i < json.size() && json[i] == '-';
    if (negative) ++i;
    uint64_t magnitude = 0;
    size_t digits = 0;
    for (; i < json.size() && digits < 19 && json[i] >= '0' && json[i] <= '9'; ++i, ++digits)
        magnitude = magnitude * 10 + static_cast<uint64_t>(json[i] - '0');
    if (digits == 0) return false;
    const int64_t v = magnitude > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(magnitude);
    value = negative ? -v : v;
    return true;
}

bool PrintableAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

// Records every call as text, so that two runs compare as strings, and
// checks what each call hands over.
class RecordingSink : public travik_nats::WireSink {
public:
    explicit RecordingSink(WireParser& parser) : m_parser(parser) {}

    void OnInfo(const std::string& json) override {
        m_log += "INFO " + json + "\n";
        int64_t claim = 0;
        if (ClaimedMaxPayload(json, claim)) {
            m_parser.SetMaxPayload(claim);
            m_maxPayload = std::min(claim, WireParser::kMaxAcceptedPayload);
        }
    }
    void OnMessage(WireMessage& m) override {
        // The whole payload (headers included) was within the limit the MSG
        // line met, and no INFO can come between that line and this call.
        const uint64_t limit = m_maxPayload > 0 ? static_cast<uint64_t>(m_maxPayload) : 0;
        if (m.data.size() > limit || !ValidSubject(m.subject) || (!m.reply.empty() && !ValidSubject(m.reply)) ||
            m.status < 0 || m.status > 999)
            m_broken = true;
        m_log += "MSG " + m.subject + " " + m.reply + " " + std::to_string(m.sid) + " " + std::to_string(m.status) +
                 " " + std::to_string(m.data.size()) + "\n" + std::string(m.data.begin(), m.data.end()) + "\n";
        ++m_messages;
    }
    void OnPing() override { m_log += "PING\n"; }
    void OnPong() override { m_log += "PONG\n"; }
    void OnServerError(const std::string& text) override {
        // Printed on the console as it is.
        if (text.size() > 256 || !PrintableAscii(text)) m_broken = true;
        m_log += "ERR " + text + "\n";
    }

    const std::string& Log() const { return m_log; }
    bool Broken() const { return m_broken; }
    uint64_t Messages() const { return m_messages; }

private:
    static bool ValidSubject(const std::string& s) {
        return !s.empty() &&
               std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) > ' ' && c != 0x7f; });
    }

    WireParser& m_parser;
    int64_t m_maxPayload = WireParser::kDefaultMaxPayload;
    std::string m_log;
    bool m_broken = false;
    uint64_t m_messages = 0;
};

struct Run {
    std::string log;
    bool ok = true;
    std::string error;
    bool broken = false;
    uint64_t messages = 0;
};

// Feeds `stream` in chunks of the given lengths (cycled; 0 feeds nothing,
// and one of them is not 0) until the parser refuses; after a refusal it
// must keep refusing.
Run Feed(WireParser& parser, const std::string& stream, const std::vector<size_t>& lengths) {
    RecordingSink sink(parser);
    Run run;
    size_t at = 0;
    for (size_t k = 0; at < stream.size() && run.ok; ++k) {
        const size_t n = std::min(lengths[k % lengths.size()], stream.size() - at);
        run.ok = parser.Feed(stream.data() + at, n, sink, run.error);
        at += n;
    }
    if (!run.ok) {
        std::string again;
        if (parser.Feed(stream.data(), stream.size(), sink, again) || parser.Feed(nullptr, 0, sink, again))
            run.broken = true;
    }
    run.log = sink.Log();
    run.broken = run.broken || sink.Broken();
    run.messages = sink.Messages();
    return run;
}

bool Same(const Run& a, const Run& b) {
    return a.log == b.log && a.ok == b.ok && a.error == b.error && !a.broken && !b.broken;
}

}  // namespace

bool DriveNatsWire(const uint8_t* data, size_t size, ParseResult* result) {
    ParseResult local;
    ParseResult& r = result ? *result : local;
    if (size == 0) return true;
    // Byte 0 says how many of the next bytes are chunk lengths.
    const size_t count = std::min<size_t>(data[0] % 8, size - 1);
    std::vector<size_t> lengths;
    for (size_t i = 0; i < count; ++i) lengths.push_back(data[1 + i]);
    // A zero feeds nothing; at least one length must move on.
    if (std::all_of(lengths.begin(), lengths.end(), [](size_t n) { return n == 0; })) lengths.push_back(1);
    const std::string stream(reinterpret_cast<const char*>(data + 1 + count), size - 1 - count);

    // At once, in the input's chunks, and byte by byte: the same calls.
    WireParser parser;
    const Run whole = Feed(parser, stream, {stream.size()});
    WireParser split;
    const Run chunked = Feed(split, stream, lengths);
    if (!Same(whole, chunked)) return false;
    if (stream.size() <= 4096) {
        WireParser bytes;
        if (!Same(whole, Feed(bytes, stream, {1}))) return false;
    }
    // A parser Reset after a refusal is as good as a new one.
    parser.Reset();
    if (!Same(whole, Feed(parser, stream, {stream.size()}))) return false;
    r.accepted += whole.messages;
    if (whole.ok && !stream.empty()) ++r.accepted;
    return true;
}

}  // namespace travik_fuzz
