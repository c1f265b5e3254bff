// One connection to a NATS cluster, for the bridge and the viewers: every
// URL of the cluster (reconnects to the others, forever), credentials and a
// CA file passed through, disconnects, reconnects and slow-consumer drops
// reported on the console (URLs without their user part; nothing secret).
// Two implementations stand behind it: link_libnats.cpp (the NATS C client,
// where installed) and builtin/ (the tool's own protocol client, Windows;
// tested on Linux too), each its own library: a program links one.
// Contract: Connect, Subscribe and Close on one host thread; Publish, Flush,
// Request, Up and the counters from any thread while connected.
// Handlers run on the client's threads, one at a time per subscription;
// they borrow the message for the call only. After Close returns no handler
// runs (it waits up to a few seconds for one running).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace travik_nats {

struct LinkOptions {
    std::vector<std::string> urls;  // nats://HOST:PORT, at least one
    std::string credsFile;          // empty: none
    std::string tlsCaFile;          // empty: plain TCP unless a URL says tls://
    std::string who = "travik";     // prefix of the console reports
    int reconnectWaitMs = 250;
    // After this long without a byte from the server a PING goes out; a
    // connection silent through two of them is dropped and made again.
    int pingIntervalMs = 120000;
};

// A message as a handler sees it; every pointer is valid for the call only.
struct LinkMessage {
    const char* subject = "";
    const char* reply = nullptr;  // null: no reply subject
    const char* data = "";
    int size = 0;
};

// "a,b,c" -> {"a","b","c"}, each given "nats://" and port 4222 when left out.
// False when a part is empty.
bool SplitUrls(const std::string& text, std::vector<std::string>& urls);
// An URL as printed: without a user or password part.
std::string Redacted(const std::string& url);

class NatsLink {
public:
    using Handler = std::function<void(const LinkMessage& msg)>;

    NatsLink();
    ~NatsLink();
    NatsLink(const NatsLink&) = delete;
    NatsLink& operator=(const NatsLink&) = delete;

    // Blocks until connected to one of the URLs (true) or all refused.
    bool Connect(const LinkOptions& options, std::string& error);
    // Subscribes with the client's queue for it bounded to `pendingMsgs`
    // messages and `pendingBytes` bytes: past them the client drops and
    // the drop is reported.
    bool Subscribe(const std::string& subject, Handler handler, int pendingMsgs, int pendingBytes, std::string& error);
    // Non-blocking (the client buffers, also while reconnecting). False when
    // the message was refused (closed, too large, buffer full).
    bool Publish(const std::string& subject, const void* data, int len);
    // Blocks up to `timeoutMs` until the server has seen everything
    // published before; false on timeout or when not connected.
    bool Flush(int timeoutMs);
    // Blocks up to `timeoutMs` for the answer.
    bool Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply);
    // The server's max_payload (0 before connected).
    int64_t MaxPayload();
    // False once the connection is closed for good.
    bool Up();
    // True while connected (not while reconnecting).
    bool Connected();
    uint64_t SlowConsumerDrops() const;
    void Close();

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace travik_nats
