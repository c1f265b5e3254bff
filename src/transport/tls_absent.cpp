// A library built without TLS: no context can be made (SetTls refuses
// first), so the transport's TLS paths are never reached; they fail closed.
#include "platform/diag.h"
#include "transport/tls_context.h"
#include "transport/travik_obj.h"

namespace travik {

TlsContext::TlsContext(ssl_ctx_st* ctx, std::string peerName) : m_ctx(ctx), m_peerName(std::move(peerName)) {}
TlsContext::~TlsContext() = default;
ssl_st* TlsContext::NewConnection() const { return nullptr; }

std::shared_ptr<TlsContext> MakeDeviceTls(const TravikTls&) {
    Diag("TLS: this library was built without TLS\n");
    return nullptr;
}

std::shared_ptr<TlsContext> MakeViewerTls(const TravikTls&, const std::string&) {
    Diag("TLS: this library was built without TLS\n");
    return nullptr;
}

int TlsBuilt() { return 0; }

}  // namespace travik

void TravikObj::AcceptTls(evutil_socket_t fd) { evutil_closesocket(fd); }
void TravikObj::EndHandshake(HandshakeSt*, bool, const char*) {}
void TravikObj::FreeHandshakes() {}
bufferevent* TravikObj::NewTlsClient() { return nullptr; }
void TravikObj::OnTlsRead(ConnectionSt*) {}
void TravikObj::HandshakeEventCb(bufferevent*, short, void*) {}
void TravikObj::HandshakeTimeoutCb(evutil_socket_t, short, void*) {}
void TravikObj::TlsReadCb(bufferevent*, void*) {}
void TravikObj::TlsEventCb(bufferevent*, short, void*) {}
