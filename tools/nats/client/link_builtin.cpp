// NatsLink on the tool's own NATS client (builtin/).
#include <exception>

#include "nats/client/builtin/connection.h"
#include "nats/client/link.h"

namespace travik_nats {

class NatsLink::Impl : public Connection {};

// The connection is made in Connect: its I/O objects take descriptors (an
// epoll set, say), and with none left a constructor could only throw.
NatsLink::NatsLink() = default;

NatsLink::~NatsLink() { Close(); }

bool NatsLink::Connect(const LinkOptions& options, std::string& error) {
    if (m_impl) {
        error = "already connected";
        return false;
    }
    try {
        m_impl = std::make_unique<Impl>();
    } catch (const std::exception& e) {
        error = std::string("cannot start the NATS client: ") + e.what();
        return false;
    }
    return m_impl->Connect(options, error);
}

bool NatsLink::Subscribe(const std::string& subject, Handler handler, int pendingMsgs, int pendingBytes,
                         std::string& error) {
    if (!m_impl) {
        error = "cannot subscribe to " + subject + ": not connected";
        return false;
    }
    return m_impl->Subscribe(subject, std::move(handler), pendingMsgs, pendingBytes, error);
}

bool NatsLink::Publish(const std::string& subject, const void* data, int len) {
    return m_impl && m_impl->Publish(subject, data, len);
}

bool NatsLink::Flush(int timeoutMs) { return m_impl && m_impl->Flush(timeoutMs); }

bool NatsLink::Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply) {
    return m_impl && m_impl->Request(subject, text, timeoutMs, reply);
}

int64_t NatsLink::MaxPayload() { return m_impl ? m_impl->MaxPayload() : 0; }

bool NatsLink::Up() { return m_impl && m_impl->Up(); }

bool NatsLink::Connected() { return m_impl && m_impl->Connected(); }

uint64_t NatsLink::SlowConsumerDrops() const { return m_impl ? m_impl->SlowConsumerDrops() : 0; }

void NatsLink::Close() {
    if (m_impl) m_impl->Close();
}

}  // namespace travik_nats
