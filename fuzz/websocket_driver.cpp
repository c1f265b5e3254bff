// What WebSocket clients send: the Foxglove endpoint's text and binary
// messages and the page's commands. See parser_drivers.h for the layout.
#include <cstring>
#include <string>

#include "foxglove_endpoint/foxglove_protocol.h"
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
    switch (data[0] % 5) {
        case 0:
            return FoxgloveText(text, r);
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
