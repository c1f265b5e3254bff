// What the client sends a NATS server, and the fields of the server's INFO
// it uses. Contract: pure functions, any thread, nothing blocks.
#pragma once

#include <cstdint>
#include <string>

namespace travik_nats {

struct ServerInfo {
    int64_t maxPayload = 0;
    bool tlsRequired = false;
    bool authRequired = false;
    std::string nonce;  // empty: none
};

// False when `json` is not an object or max_payload is missing or not positive.
bool ParseServerInfo(const std::string& json, ServerInfo& info);

struct ConnectFields {
    std::string user, pass;      // from the URL; empty: none
    std::string jwt, signature;  // from a credentials file; empty: none
    bool tls = false;
};

// "CONNECT {...}\r\n": echo on (a bridge may watch what it publishes);
// headers on for the server's "no responders" answer to a request.
std::string FormatConnect(const ConnectFields& fields);
// "PUB subject [reply] size\r\n" + payload + "\r\n" appended to `out`.
void AppendPublish(std::string& out, const std::string& subject, const std::string& reply, const void* data,
                   size_t size);
std::string FormatSubscribe(const std::string& subject, uint64_t sid);
std::string FormatUnsubscribe(uint64_t sid);
// Publishing and subscribing subjects: non-empty, no whitespace or control
// characters (they would split the line).
bool ValidClientSubject(const std::string& subject);

}  // namespace travik_nats
