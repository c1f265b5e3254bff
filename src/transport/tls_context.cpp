// Building the OpenSSL contexts: TLS 1.2 at least, the device's certificate
// and key (with the client CA when viewers must prove themselves), the
// viewer's trusted CA and optional client certificate. Every failure names
// the file that caused it.
#include "transport/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "platform/diag.h"
#include "platform/sockets.h"

namespace travik {

namespace {

struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

// The reason of the latest OpenSSL error of this thread; clears the queue.
std::string LastError() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "unknown error";
}

// A missing file is reported as such rather than as OpenSSL's parse error.
bool Readable(const std::string& path, const char* what) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        Diag("TLS: cannot read %s %s\n", what, path.c_str());
        return false;
    }
    std::fclose(f);
    return true;
}

CtxPtr NewContext(const SSL_METHOD* method) {
    ERR_clear_error();
    CtxPtr ctx(SSL_CTX_new(method));
    if (!ctx) {
        Diag("TLS: no context: %s\n", LastError().c_str());
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // A peer that closes without close_notify has simply disconnected; the
    // stream's own framing tells a truncated frame.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Idle connections give their record buffers back.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
    return ctx;
}

bool UseCertificate(SSL_CTX* ctx, const TravikTls& tls) {
    if (!Readable(tls.certFile, "certificate") || !Readable(tls.keyFile, "key")) return false;
    if (SSL_CTX_use_certificate_chain_file(ctx, tls.certFile.c_str()) != 1) {
        Diag("TLS: bad certificate %s: %s\n", tls.certFile.c_str(), LastError().c_str());
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        Diag("TLS: bad key %s: %s\n", tls.keyFile.c_str(), LastError().c_str());
        return false;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        Diag("TLS: key %s does not match certificate %s\n", tls.keyFile.c_str(), tls.certFile.c_str());
        ERR_clear_error();
        return false;
    }
    return true;
}

bool TrustCa(SSL_CTX* ctx, const std::string& caFile) {
    if (!Readable(caFile, "CA file")) return false;
    if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        Diag("TLS: bad CA file %s: %s\n", caFile.c_str(), LastError().c_str());
        return false;
    }
    return true;
}

bool IsIpLiteral(const std::string& name) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

}  // namespace

TlsContext::TlsContext(ssl_ctx_st* ctx, std::string peerName) : m_ctx(ctx), m_peerName(std::move(peerName)) {}

TlsContext::~TlsContext() { SSL_CTX_free(m_ctx); }

ssl_st* TlsContext::NewConnection() const {
    SSL* ssl = SSL_new(m_ctx);
    if (!ssl || m_peerName.empty()) return ssl;
    bool named;
    if (IsIpLiteral(m_peerName)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), m_peerName.c_str()) == 1;
    } else {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(ssl, m_peerName.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, m_peerName.c_str()) == 1;
    }
    if (!named) {
        // Unchecked would accept any certificate the CA signed: refuse.
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    return ssl;
}

std::shared_ptr<TlsContext> MakeDeviceTls(const TravikTls& tls) {
    if (tls.certFile.empty()) {
        Diag("TLS: a listening device needs a certificate and key\n");
        return nullptr;
    }
    CtxPtr ctx = NewContext(TLS_server_method());
    if (!ctx || !UseCertificate(ctx.get(), tls)) return nullptr;
    if (!tls.caFile.empty()) {
        if (!TrustCa(ctx.get(), tls.caFile)) return nullptr;
        // Tells viewers which CA to present a certificate of.
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(tls.caFile.c_str());
        if (names) SSL_CTX_set_client_CA_list(ctx.get(), names);
        ERR_clear_error();
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    // Nothing resumes sessions: no tickets to write after each handshake.
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    return std::make_shared<TlsContext>(ctx.release(), std::string());
}

std::shared_ptr<TlsContext> MakeViewerTls(const TravikTls& tls, const std::string& connectAddress) {
    if (tls.caFile.empty()) {
        Diag("TLS: a viewer needs the CA file of the device's certificate\n");
        return nullptr;
    }
    CtxPtr ctx = NewContext(TLS_client_method());
    if (!ctx || !TrustCa(ctx.get(), tls.caFile)) return nullptr;
    if (!tls.certFile.empty() && !UseCertificate(ctx.get(), tls)) return nullptr;
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    const std::string& name = tls.serverName.empty() ? connectAddress : tls.serverName;
    if (name.empty()) {
        Diag("TLS: no name to check the device's certificate against\n");
        return nullptr;
    }
    return std::make_shared<TlsContext>(ctx.release(), name);
}

int TlsBuilt() { return 1; }

}  // namespace travik
