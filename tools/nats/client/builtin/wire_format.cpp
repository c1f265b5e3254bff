#include "nats/client/builtin/wire_format.h"

#include <nlohmann/json.hpp>

namespace travik_nats {

bool ParseServerInfo(const std::string& json, ServerInfo& info) {
    const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
    if (!doc.is_object()) return false;
    const auto payload = doc.find("max_payload");
    if (payload == doc.end() || !payload->is_number_integer() || payload->get<int64_t>() <= 0) return false;
    info.maxPayload = payload->get<int64_t>();
    const auto flag = [&doc](const char* key) {
        const auto it = doc.find(key);
        return it != doc.end() && it->is_boolean() && it->get<bool>();
    };
    info.tlsRequired = flag("tls_required");
    info.authRequired = flag("auth_required");
    const auto nonce = doc.find("nonce");
    info.nonce = nonce != doc.end() && nonce->is_string() ? nonce->get<std::string>() : std::string();
    return true;
}

std::string FormatConnect(const ConnectFields& fields) {
    nlohmann::json doc = {{"verbose", false}, {"pedantic", false}, {"tls_required", fields.tls},
                          {"lang", "travik"}, {"version", "1"},    {"protocol", 1},
                          {"echo", true},     {"headers", true},   {"no_responders", true}};
    if (!fields.user.empty()) doc["user"] = fields.user;
    if (!fields.pass.empty()) doc["pass"] = fields.pass;
    if (!fields.jwt.empty()) doc["jwt"] = fields.jwt;
    if (!fields.signature.empty()) doc["sig"] = fields.signature;
    // Replacement for invalid UTF-8 in a user name rather than a throw.
    return "CONNECT " + doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\r\n";
}

void AppendPublish(std::string& out, const std::string& subject, const std::string& reply, const void* data,
                   size_t size) {
    out += "PUB ";
    out += subject;
    if (!reply.empty()) {
        out += ' ';
        out += reply;
    }
    out += ' ';
    out += std::to_string(size);
    out += "\r\n";
    out.append(static_cast<const char*>(data), size);
    out += "\r\n";
}

std::string FormatSubscribe(const std::string& subject, uint64_t sid) {
    return "SUB " + subject + " " + std::to_string(sid) + "\r\n";
}

std::string FormatUnsubscribe(uint64_t sid) { return "UNSUB " + std::to_string(sid) + "\r\n"; }

bool ValidClientSubject(const std::string& subject) {
    if (subject.empty() || subject.size() > 4096) return false;
    for (char c : subject)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

}  // namespace travik_nats
