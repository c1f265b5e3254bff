// What WebSocket clients send: the Foxglove endpoint's text and binary
// messages, also as a sequence acting on one client's subscriptions, and
// the page's commands. See parser_drivers.h for the layout.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "foxglove_endpoint/foxglove_protocol.h"
#include "foxglove_endpoint/foxglove_subscriptions.h"
#include "parser_drivers.h"
#include "web/protocol.h"

namespace travik_fuzz {
namespace {

using namespace travik_tool;

constexpr size_t kMaxItems = 4;  // as the endpoint: one per channel

bool SameWish(const DeviceWish& a, const DeviceWish& b) {
    return a.logs == b.logs && a.images == b.images && a.intervalMs == b.intervalMs &&
           std::memcmp(a.channels, b.channels, sizeof a.channels) == 0;
}

bool WishInRange(const DeviceWish& w) { return w.intervalMs >= 1 && w.intervalMs <= kMaxIntervalMs; }

// Accepted: no more items than allowed, and the same op written back as
// JSON parses to the same op. Refused: with a reason.
bool FoxgloveText(const std::string& text, ParseResult& r) {
    FoxgloveClientOp op;
    std::string error;
    if (!ParseFoxgloveClientText(text, kMaxItems, op, error)) return !error.empty();
    if (op.subscriptions.size() > kMaxItems || op.unsubscribe.size() > kMaxItems) return false;
    std::string again;
    if (op.kind == FoxgloveClientOp::Subscribe) {
        again = "{\"op\":\"subscribe\",\"subscriptions\":[";
        for (size_t i = 0; i < op.subscriptions.size(); ++i)
            again += (i ? "," : "") + std::string("{\"id\":") + std::to_string(op.subscriptions[i].first) +
                     ",\"channelId\":" + std::to_string(op.subscriptions[i].second) + "}";
    } else {
        again = "{\"op\":\"unsubscribe\",\"subscriptionIds\":[";
        for (size_t i = 0; i < op.unsubscribe.size(); ++i) again += (i ? "," : "") + std::to_string(op.unsubscribe[i]);
    }
    again += "]}";
    FoxgloveClientOp back;
    if (!ParseFoxgloveClientText(again, kMaxItems, back, error) || back.kind != op.kind ||
        back.subscriptions != op.subscriptions || back.unsubscribe != op.unsubscribe)
        return false;
    ++r.accepted;
    return true;
}

// What a client's subscriptions look like from outside.
struct SubscriptionState {
    std::vector<uint64_t> idOf;
    std::map<uint32_t, uint32_t> channelOf;
    bool operator==(const SubscriptionState& o) const { return idOf == o.idOf && channelOf == o.channelOf; }
};

constexpr uint32_t kSessionChannels = 8;

SubscriptionState Snapshot(const FoxgloveSubscriptions& subs) {
    SubscriptionState s;
    for (uint32_t c = 0; c < kSessionChannels; ++c) s.idOf.push_back(subs.SubscriptionOf(c));
    s.channelOf = subs.Channels();
    return s;
}

// The two directions of the table agree.
bool Consistent(const SubscriptionState& s) {
    size_t subscribed = 0;
    for (uint32_t c = 0; c < kSessionChannels; ++c) {
        if (s.idOf[c] == FoxgloveSubscriptions::kNone) continue;
        ++subscribed;
        auto found = s.channelOf.find(static_cast<uint32_t>(s.idOf[c]));
        if (s.idOf[c] > UINT32_MAX || found == s.channelOf.end() || found->second != c) return false;
    }
    return subscribed == s.channelOf.size();
}

// NUL-separated client text messages into one client's subscriptions
// (channels 0..7 but 5 advertised). A message that does not parse changes
// nothing; of one that does, every item either takes effect, as reported,
// or is refused and changes nothing.
bool FoxgloveSession(const std::string& input, ParseResult& r) {
    FoxgloveSubscriptions subs(kSessionChannels);
    const auto advertised = [](uint32_t c) { return c != 5; };
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\0', start);
        if (end == std::string::npos) end = input.size();
        const std::string text = input.substr(start, end - start);
        start = end + 1;

        const SubscriptionState before = Snapshot(subs);
        std::vector<FoxgloveSubscriptions::Change> changes;
        std::vector<std::string> reasons;
        const bool parsed = subs.Apply(text, advertised, changes, reasons);
        SubscriptionState after = Snapshot(subs);
        if (!Consistent(after)) return false;
        if (!parsed) {
            if (!(after == before) || !changes.empty() || reasons.size() != 1 || reasons[0].empty()) return false;
            continue;
        }
        FoxgloveClientOp op;
        std::string error;
        if (!ParseFoxgloveClientText(text, kSessionChannels, op, error)) return false;
        const size_t items = op.kind == FoxgloveClientOp::Subscribe ? op.subscriptions.size() : op.unsubscribe.size();
        if (changes.size() + reasons.size() != items) return false;
        // Undo the reported changes: what is left must be the state before.
        for (const FoxgloveSubscriptions::Change& c : changes) {
            if (c.channel >= kSessionChannels || (c.subscribed && !advertised(c.channel))) return false;
            const uint64_t was = before.idOf[c.channel];
            const uint64_t now = after.idOf[c.channel];
            if (c.subscribed != (was == FoxgloveSubscriptions::kNone) ||
                c.subscribed == (now == FoxgloveSubscriptions::kNone))
                return false;
            after.channelOf.erase(static_cast<uint32_t>(c.subscribed ? now : was));
            if (!c.subscribed) after.channelOf[static_cast<uint32_t>(was)] = c.channel;
            after.idOf[c.channel] = was;
        }
        if (!(after == before)) return false;
        r.accepted += changes.size();
    }
    return true;
}

// A service call request is the response frame with another opcode: the
// response writer rebuilds the input byte for byte. Its JSON payload then
// goes to the command service as the endpoint passes it on.
bool ServiceCall(const uint8_t* p, size_t n, ParseResult& r) {
    FoxgloveServiceCall call;
    if (!ParseFoxgloveServiceCall(p, n, call)) return true;
    if (call.encoding.size() > kMaxServiceEncodingBytes) return false;
    std::string again = FoxgloveServiceResponse(call.serviceId, call.callId, call.encoding, call.payload);
    again[0] = static_cast<char>(kFoxgloveServiceCallRequest);
    if (again.size() != n || std::memcmp(again.data(), p, n) != 0) return false;
    ++r.accepted;
    ServiceCommand command;
    std::string error;
    if (ParseServiceCommand(call.payload, command, error)) ++r.accepted;
    return true;
}

// A command the page sends: applied only whole; a refusal changes nothing.
bool PageMessage(const std::string& text, ParseResult& r) {
    PageCommand command;
    std::string error;
    DeviceWish wish;
    const DeviceWish before = wish;
    if (!ParsePageCommand(text, command, error) || !ApplyCommand(command, wish)) {
        return SameWish(wish, before) && (!error.empty() || command.channel != -1);
    }
    if (!WishInRange(wish)) return false;
    ++r.accepted;
    return true;
}

bool ServiceMessage(const std::string& text, ParseResult& r) {
    ServiceCommand command;
    std::string error;
    if (!ParseServiceCommand(text, command, error)) return !error.empty() || text.size() > kMaxCommandBytes;
    if (command.channelMask >= (1 << travik::kImageChannels)) return false;
    DeviceWish wish;
    ApplyServiceCommand(command, wish);
    if (!WishInRange(wish)) return false;
    ++r.accepted;
    return true;
}

bool Subprotocol(const std::string& header, ParseResult& r) {
    const std::string picked = PickFoxgloveSubprotocol(header);
    if (picked.empty()) return true;
    if (picked != kFoxgloveSubprotocol && picked != kFoxgloveSdkSubprotocol) return false;
    if (header.find(picked) == std::string::npos) return false;
    ++r.accepted;
    return true;
}

}  // namespace

bool DriveWebSocketMessages(const uint8_t* data, size_t size, ParseResult* result) {
    ParseResult local;
    ParseResult& r = result ? *result : local;
    if (size == 0) return true;
    const uint8_t* p = data + 1;
    const size_t n = size - 1;
    const std::string text(reinterpret_cast<const char*>(p), n);
    switch (data[0] % 6) {
        case 0:
            return FoxgloveText(text, r);
        case 5:
            return FoxgloveSession(text, r);
        case 1:
            return ServiceCall(p, n, r);
        case 2:
            return PageMessage(text, r);
        case 3:
            return ServiceMessage(text, r);
        default:
            return Subprotocol(text, r);
    }
}

}  // namespace travik_fuzz
