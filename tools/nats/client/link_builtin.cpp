// NatsLink on the tool's own NATS client (builtin/).
#include "nats/client/builtin/connection.h"
#include "nats/client/link.h"

namespace travik_nats {

class NatsLink::Impl : public Connection {};

NatsLink::NatsLink() : m_impl(std::make_unique<Impl>()) {}

NatsLink::~NatsLink() { Close(); }

bool NatsLink::Connect(const LinkOptions& options, std::string& error) { return m_impl->Connect(options, error); }

bool NatsLink::Subscribe(const std::string& subject, Handler handler, int pendingMsgs, int pendingBytes,
                         std::string& error) {
    return m_impl->Subscribe(subject, std::move(handler), pendingMsgs, pendingBytes, error);
}

bool NatsLink::Publish(const std::string& subject, const void* data, int len) {
    return m_impl->Publish(subject, data, len);
}

bool NatsLink::Flush(int timeoutMs) { return m_impl->Flush(timeoutMs); }

bool NatsLink::Request(const std::string& subject, const std::string& text, int timeoutMs, std::string& reply) {
    return m_impl->Request(subject, text, timeoutMs, reply);
}

int64_t NatsLink::MaxPayload() { return m_impl->MaxPayload(); }

bool NatsLink::Up() { return m_impl->Up(); }

bool NatsLink::Connected() { return m_impl->Connected(); }

uint64_t NatsLink::SlowConsumerDrops() const { return m_impl->SlowConsumerDrops(); }

void NatsLink::Close() { m_impl->Close(); }

}  // namespace travik_nats
