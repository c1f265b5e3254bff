// The TLS context a server serves https and wss with: a certificate chain
// and its private key from PEM files, TLS 1.2 at least.
//
// Thread: any, before the servers start; the servers' threads then share
// the context read-only (OpenSSL locks what it changes inside).
#pragma once

#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>

namespace travik_tool {

// Null with `error` naming the file when a file cannot be read, is not PEM
// of the expected kind, or the key is not the certificate's.
std::shared_ptr<boost::asio::ssl::context> MakeServerTlsContext(const std::string& certFile, const std::string& keyFile,
                                                                std::string& error);

}  // namespace travik_tool
