#include "foxglove_endpoint/foxglove_protocol.h"

#include <nlohmann/json.hpp>

namespace travik_tool {

namespace {

using nlohmann::json;

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void Put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint32_t Get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool ReadId(const json& value, uint32_t& out) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > 0xffffffffu) return false;
    out = static_cast<uint32_t>(value.get<uint64_t>());
    return true;
}

std::string Trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

std::string PickFoxgloveSubprotocol(const std::string& header) {
    bool sdk = false;
    size_t start = 0;
    while (start <= header.size()) {
        size_t comma = header.find(',', start);
        if (comma == std::string::npos) comma = header.size();
        const std::string item = Trim(header.substr(start, comma - start));
        if (item == kFoxgloveSubprotocol) return item;
        if (item == kFoxgloveSdkSubprotocol) sdk = true;
        start = comma + 1;
    }
    return sdk ? kFoxgloveSdkSubprotocol : "";
}

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int k = 3; k >= 0; --k) out.push_back(kAlphabet[(v >> (6 * k)) & 63]);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::string FoxgloveServerInfoJson(const std::string& name, const std::string& sessionId) {
    return Dump({{"op", "serverInfo"},
                 {"name", name},
                 {"capabilities", json::array({"services"})},
                 {"supportedEncodings", json::array({"json"})},
                 {"metadata", json::object()},
                 {"sessionId", sessionId}});
}

std::string FoxgloveAdvertiseJson(const std::vector<FoxgloveChannel>& channels) {
    json list = json::array();
    for (const FoxgloveChannel& c : channels) {
        list.push_back({{"id", c.id},
                        {"topic", c.topic},
                        {"encoding", c.encoding},
                        {"schemaName", c.schemaName},
                        {"schemaEncoding", c.schemaEncoding},
                        {"schema", Base64(c.schema)}});
    }
    return Dump({{"op", "advertise"}, {"channels", list}});
}

std::string FoxgloveAdvertiseServicesJson(const std::vector<FoxgloveService>& services) {
    json list = json::array();
    for (const FoxgloveService& s : services) {
        auto definition = [&](const std::string& schema, const char* suffix) {
            return json{{"encoding", "json"},
                        {"schemaName", s.type + suffix},
                        {"schemaEncoding", "jsonschema"},
                        {"schema", schema}};
        };
        // Both the current form (request/response) and the older one
        // (requestSchema/responseSchema), which older apps still read.
        list.push_back({{"id", s.id},
                        {"name", s.name},
                        {"type", s.type},
                        {"request", definition(s.requestSchema, "_Request")},
                        {"response", definition(s.responseSchema, "_Response")},
                        {"requestSchema", s.requestSchema},
                        {"responseSchema", s.responseSchema}});
    }
    return Dump({{"op", "advertiseServices"}, {"services", list}});
}

std::string FoxgloveStatusJson(FoxgloveStatusLevel level, const std::string& message) {
    return Dump({{"op", "status"}, {"level", static_cast<int>(level)}, {"message", message}});
}

std::string FoxgloveServiceCallFailureJson(uint32_t serviceId, uint32_t callId, const std::string& message) {
    return Dump({{"op", "serviceCallFailure"}, {"serviceId", serviceId}, {"callId", callId}, {"message", message}});
}

bool ParseFoxgloveClientText(const std::string& text, size_t maxItems, FoxgloveClientOp& op, std::string& error) {
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("op") || !j["op"].is_string()) {
        error = "expected a JSON object with an \"op\"";
        return false;
    }
    const std::string name = j["op"].get<std::string>();
    op = FoxgloveClientOp();
    if (name == "subscribe") {
        op.kind = FoxgloveClientOp::Subscribe;
        if (!j.contains("subscriptions") || !j["subscriptions"].is_array() || j["subscriptions"].size() > maxItems) {
            error = "subscribe needs a \"subscriptions\" array of at most " + std::to_string(maxItems);
            return false;
        }
        for (const json& s : j["subscriptions"]) {
            uint32_t id = 0, channel = 0;
            if (!s.is_object() || !s.contains("id") || !s.contains("channelId") || !ReadId(s["id"], id) ||
                !ReadId(s["channelId"], channel)) {
                error = "each subscription needs an \"id\" and a \"channelId\" (unsigned 32-bit)";
                return false;
            }
            op.subscriptions.emplace_back(id, channel);
        }
        return true;
    }
    if (name == "unsubscribe") {
        op.kind = FoxgloveClientOp::Unsubscribe;
        if (!j.contains("subscriptionIds") || !j["subscriptionIds"].is_array() ||
            j["subscriptionIds"].size() > maxItems) {
            error = "unsubscribe needs a \"subscriptionIds\" array of at most " + std::to_string(maxItems);
            return false;
        }
        for (const json& v : j["subscriptionIds"]) {
            uint32_t id = 0;
            if (!ReadId(v, id)) {
                error = "subscription ids are unsigned 32-bit integers";
                return false;
            }
            op.unsubscribe.push_back(id);
        }
        return true;
    }
    error = "operation '" + name.substr(0, 64) + "' is not supported by this server";
    return false;
}

void WriteFoxgloveMessageHeader(uint32_t subscriptionId, uint64_t logTimeNanos, unsigned char* out) {
    out[0] = kFoxgloveMessageData;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<unsigned char>((subscriptionId >> (8 * i)) & 0xff);
    for (int i = 0; i < 8; ++i) out[5 + i] = static_cast<unsigned char>((logTimeNanos >> (8 * i)) & 0xff);
}

bool ParseFoxgloveServiceCall(const unsigned char* p, size_t size, FoxgloveServiceCall& call) {
    if (!p || size < 13 || p[0] != kFoxgloveServiceCallRequest) return false;
    const uint32_t encodingLength = Get32(p + 9);
    if (encodingLength > kMaxServiceEncodingBytes || encodingLength > size - 13) return false;
    call.serviceId = Get32(p + 1);
    call.callId = Get32(p + 5);
    call.encoding.assign(reinterpret_cast<const char*>(p + 13), encodingLength);
    call.payload.assign(reinterpret_cast<const char*>(p + 13 + encodingLength), size - 13 - encodingLength);
    return true;
}

std::string FoxgloveServiceResponse(uint32_t serviceId, uint32_t callId, const std::string& encoding,
                                    const std::string& payload) {
    std::string out;
    out.reserve(13 + encoding.size() + payload.size());
    out.push_back(static_cast<char>(kFoxgloveServiceCallResponse));
    Put32(out, serviceId);
    Put32(out, callId);
    Put32(out, static_cast<uint32_t>(encoding.size()));
    out += encoding;
    out += payload;
    return out;
}

}  // namespace travik_tool
