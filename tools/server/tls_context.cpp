#include "server/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace travik_tool {

namespace ssl = boost::asio::ssl;

namespace {

// OpenSSL's own reasons say "no start line" for a missing file too: the
// file is opened first so that the message says what is wrong.
bool Readable(const std::string& what, const std::string& file, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (in && in.peek() != std::ifstream::traits_type::eof()) return true;
    error =
        "cannot read the TLS " + what + " '" + file + "': " + (in ? std::string("empty file") : std::strerror(errno));
    return false;
}

}  // namespace

std::shared_ptr<ssl::context> MakeServerTlsContext(const std::string& certFile, const std::string& keyFile,
                                                   std::string& error) {
    if (!Readable("certificate", certFile, error) || !Readable("key", keyFile, error)) return nullptr;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1) {
        error = "TLS: cannot require TLS 1.2";
        return nullptr;
    }
    // Renegotiation is of no use to a browser and costs the server.
    SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    boost::system::error_code ec;
    context->use_certificate_chain_file(certFile, ec);
    if (ec) {
        error = "the TLS certificate '" + certFile + "' is not a PEM certificate: " + ec.message();
        ERR_clear_error();
        return nullptr;
    }
    context->use_private_key_file(keyFile, ssl::context::pem, ec);
    if (!ec && SSL_CTX_check_private_key(native) != 1) ec = boost::asio::error::invalid_argument;
    if (ec) {
        error = "the TLS key '" + keyFile + "' is not a PEM private key for the certificate '" + certFile +
                "': " + ec.message();
        ERR_clear_error();
        return nullptr;
    }
    return context;
}

}  // namespace travik_tool
