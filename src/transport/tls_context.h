// An endpoint's TLS context, made from the host's TLS settings by Listen or
// Connect on the host thread (blocking: it reads the PEM files), then shared
// read-only by the endpoint's connections on its loop thread. OpenSSL allows
// SSL objects of one context to be made on any thread.
#pragma once

#include <memory>
#include <string>

#include "travik/travik.h"

struct ssl_ctx_st;
struct ssl_st;

namespace travik {

class TlsContext {
public:
    TlsContext(ssl_ctx_st* ctx, std::string peerName);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Any thread. A new connection's SSL object; a viewer's checks the
    // device's certificate against the expected name or IP. Null when out
    // of memory.
    ssl_st* NewConnection() const;

private:
    ssl_ctx_st* m_ctx;
    std::string m_peerName;  // viewer: name or IP the device must prove; empty on a device
};

// Host thread, blocking. Null, after a diagnostic line naming the file or the
// missing setting, when the settings cannot make a context (missing or
// unreadable file, key not matching the certificate): the caller fails, it
// never falls back to plain.
std::shared_ptr<TlsContext> MakeDeviceTls(const TravikTls& tls);
// `connectAddress` is what the certificate must name when tls.serverName is empty.
std::shared_ptr<TlsContext> MakeViewerTls(const TravikTls& tls, const std::string& connectAddress);

// Any thread: 1 when the library was built with TLS.
int TlsBuilt();

// Any thread: true when any setting is present (TLS is on).
inline bool TlsRequested(const TravikTls& tls) {
    return !tls.certFile.empty() || !tls.keyFile.empty() || !tls.caFile.empty() || !tls.serverName.empty();
}

}  // namespace travik
