// A Foxglove WebSocket client just sufficient to join `travik web`'s
// endpoint, subscribe to every channel it advertises and read messages.
// Contract: one thread at a time; every call blocks for at most the timeout
// given to Open (each step of it, for Open itself), so a server that stalls
// or sends nothing cannot hang the caller.
#pragma once

#include <memory>
#include <string>

namespace travik_soak {

class FoxgloveClient {
public:
    FoxgloveClient();
    ~FoxgloveClient();
    FoxgloveClient(const FoxgloveClient&) = delete;
    FoxgloveClient& operator=(const FoxgloveClient&) = delete;

    // Connects, shakes hands, reads the advertisement and subscribes to
    // every channel in it. False on any failure.
    bool Open(int port, int timeoutSeconds);
    // Reads one message; `binary` says which kind. False on error or timeout
    // (the client is then unusable: Close and Open again).
    bool Read(bool& binary);
    // Sends one text message (for hostile ones).
    bool SendText(const std::string& text);
    // A closing handshake, or with `reset` an abortive close (RST).
    void Close(bool reset);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace travik_soak
