// The Foxglove WebSocket endpoint of `travik web --foxglove`: a second
// listener, apart from the page's, that Foxglove and Lichtblick connect to.
// It advertises a fixed set of channels and services, keeps each client's
// subscriptions and fans published messages out to the subscribers.
//
// Threads: Start spawns one server thread that owns every socket and every
// client's queue. Publish, Subscribers and TakeStats may be called from any
// thread and never block on the network (Publish puts the message in a
// small inbox under a mutex and wakes the server thread). The service
// handler runs on the server thread and must not block.
//
// Memory per client is bounded: per channel at most one unsent message
// when the channel is latestOnly (images: a newer one replaces it and the
// client gets a throttled warning status), else at most
// `clientQueueMessages` (the oldest are dropped); plus a few control
// messages. Client messages are bounded in size and subscriptions in number.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foxglove_endpoint/foxglove_protocol.h"
#include "server/security.h"
#include "server/stats.h"

namespace travik_tool {

struct FoxgloveServerConfig {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 literal
    int port = 8765;                    // 0: any free port (see Port())
    // Origins (e.g. "https://app.foxglove.dev") whose pages may connect.
    // A request without Origin (a desktop app, a script) is allowed.
    std::vector<std::string> allowedOrigins;
    size_t maxConnections = 32;  // past it, accepting pauses until one closes
    // Connections accepted whose handshake has not completed; past it a
    // newcomer closes the oldest (see server/server.h). Each has about 2 s
    // to send its request.
    size_t maxHandshakes = 8;
    std::chrono::milliseconds firstRequestTimeout{2000};
    size_t clientQueueMessages = 500;
    // Service calls handled per second over all clients (and as a burst);
    // past it calls fail at once, so a flood never reaches the device.
    unsigned serviceCallsPerSecond = 20;
    std::string name = "travik";
    ServerSecurity security;  // wss and the token (server/security.h)
};

// The core's counts (server/stats.h) and the endpoint's.
struct FoxgloveServerStats : ServerStats {
    uint64_t clients = 0;           // open WebSocket clients now
    uint64_t messagesQueued = 0;    // messages handed to a client's queue (totals)
    uint64_t messagesWritten = 0;   // message data frames written
    uint64_t messagesReplaced = 0;  // unsent messages replaced or dropped for a newer one
};

class FoxgloveServer {
public:
    // Runs on the server thread with a call's service id and JSON request.
    // Returns true with the JSON response in `reply`, or false with the
    // reason in `reply` (the client gets a serviceCallFailure).
    using ServiceHandler = std::function<bool(uint32_t serviceId, const std::string& request, std::string& reply)>;

    FoxgloveServer();
    ~FoxgloveServer();  // Stop()
    FoxgloveServer(const FoxgloveServer&) = delete;
    FoxgloveServer& operator=(const FoxgloveServer&) = delete;

    // Before Start. Channel ids must be below kMaxFoxgloveChannels.
    void SetChannels(std::vector<FoxgloveChannel> channels);
    void SetServices(std::vector<FoxgloveService> services, ServiceHandler handler);
    bool Start(const FoxgloveServerConfig& config, std::string& error);
    int Port() const;
    void Stop();  // closes every socket and joins the thread; idempotent

    // Subscriptions to `channelId` over all clients now (0 for an unknown id).
    uint32_t Subscribers(uint32_t channelId) const;
    // Fans `payload` out to the channel's subscribers; false for an unknown
    // channel or an empty pointer. `receivedMicros` (wall clock, 0: none)
    // feeds the hop figures. `keyframe`: on a stream channel, whether the
    // message decodes without those before it.
    bool Publish(uint32_t channelId, uint64_t logTimeNanos, std::shared_ptr<const std::string> payload,
                 uint64_t receivedMicros, bool keyframe = false);
    // A stream channel's subscriber (new, or one that fell behind) waits
    // for a keyframe: true once per request.
    bool TakeKeyframeWanted(uint32_t channelId);

    FoxgloveServerStats TakeStats();

    static constexpr uint32_t kMaxFoxgloveChannels = 64;
    struct Impl;  // foxglove_server.cpp

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace travik_tool
