// The host's TLS settings: checked for consistency here, turned into an
// OpenSSL context (reading the files) by each Listen or Connect.
#include "manager/manager_internal.h"
#include "platform/diag.h"
#include "transport/tls_context.h"

int TravikMgr::TlsAvailable() { return travik::TlsBuilt(); }

int TravikMgr::SetTls(const TravikTls& tls) {
    if (!travik::TlsBuilt()) {
        // Turning TLS off is refused too: the caller asked for something
        // this build cannot have and should know.
        travik::Diag("TLS: this library was built without TLS\n");
        return -1;
    }
    if (tls.certFile.empty() != tls.keyFile.empty()) {
        travik::Diag("TLS: a certificate needs its key and a key its certificate\n");
        return -1;
    }
    if (!tls.serverName.empty() && tls.caFile.empty()) {
        travik::Diag("TLS: a server name is checked only with a CA file\n");
        return -1;
    }
    m_tls = tls;
    return 0;
}
