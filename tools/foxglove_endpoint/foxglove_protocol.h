// The Foxglove WebSocket protocol (subprotocol foxglove.websocket.v1) as
// far as `travik web --foxglove` speaks it: the server's JSON messages,
// the client's subscribe/unsubscribe, and the binary frames (message data,
// service call request and response). Numbers in binary frames are
// little-endian.
// Thread: pure functions, any thread; nothing is kept past a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace travik_tool {

constexpr const char* kFoxgloveSubprotocol = "foxglove.websocket.v1";
constexpr const char* kFoxgloveSdkSubprotocol = "foxglove.sdk.v1";
constexpr uint8_t kFoxgloveMessageData = 0x01;          // server -> client
constexpr uint8_t kFoxgloveServiceCallRequest = 0x02;   // client -> server
constexpr uint8_t kFoxgloveServiceCallResponse = 0x03;  // server -> client
// op + subscription id + log time
constexpr size_t kFoxgloveMessageHeaderBytes = 1 + 4 + 8;
constexpr size_t kMaxServiceEncodingBytes = 64;

struct FoxgloveChannel {
    uint32_t id = 0;
    std::string topic;
    std::string encoding;        // "protobuf"
    std::string schemaName;      // "foxglove.RawImage"
    std::string schemaEncoding;  // "protobuf"
    std::string schema;          // binary FileDescriptorSet; sent base64-encoded
    bool latestOnly = true;      // images: a newer message replaces an unsent one
    // Video: each message depends on those before it. A client gets them
    // from a keyframe on, and after a gap (it fell behind) nothing until
    // the next keyframe (server/session.h, QueueStreamItem).
    bool stream = false;
};

struct FoxgloveService {
    uint32_t id = 0;
    std::string name;            // "/travik/command"
    std::string type;            // "travik.Command"
    std::string requestSchema;   // JSON Schema text
    std::string responseSchema;  // JSON Schema text
};

enum class FoxgloveStatusLevel { Info = 0, Warning = 1, Error = 2 };

// Picks the subprotocol to answer from a Sec-WebSocket-Protocol header
// ("a, b, c"): foxglove.websocket.v1 first, then foxglove.sdk.v1; "" when
// neither is offered.
std::string PickFoxgloveSubprotocol(const std::string& header);

std::string Base64(const std::string& bytes);

std::string FoxgloveServerInfoJson(const std::string& name, const std::string& sessionId);
std::string FoxgloveAdvertiseJson(const std::vector<FoxgloveChannel>& channels);
std::string FoxgloveAdvertiseServicesJson(const std::vector<FoxgloveService>& services);
std::string FoxgloveStatusJson(FoxgloveStatusLevel level, const std::string& message);
std::string FoxgloveServiceCallFailureJson(uint32_t serviceId, uint32_t callId, const std::string& message);

// One text message from a client. Only subscribe and unsubscribe are
// understood; anything else is refused with a reason.
struct FoxgloveClientOp {
    enum Kind { Subscribe, Unsubscribe } kind = Subscribe;
    std::vector<std::pair<uint32_t, uint32_t>> subscriptions;  // (subscription id, channel id)
    std::vector<uint32_t> unsubscribe;                         // subscription ids
};
// At most `maxItems` subscriptions or ids; never throws.
bool ParseFoxgloveClientText(const std::string& text, size_t maxItems, FoxgloveClientOp& op, std::string& error);

// The 13 header bytes of a message data frame; the payload follows.
void WriteFoxgloveMessageHeader(uint32_t subscriptionId, uint64_t logTimeNanos, unsigned char* out);

struct FoxgloveServiceCall {
    uint32_t serviceId = 0;
    uint32_t callId = 0;
    std::string encoding;
    std::string payload;
};
// A binary service call request frame; false for anything shorter than it
// says, another opcode, or an encoding name over kMaxServiceEncodingBytes.
bool ParseFoxgloveServiceCall(const unsigned char* bytes, size_t size, FoxgloveServiceCall& call);
std::string FoxgloveServiceResponse(uint32_t serviceId, uint32_t callId, const std::string& encoding,
                                    const std::string& payload);

}  // namespace travik_tool
