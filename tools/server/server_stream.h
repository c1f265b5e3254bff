// A connection's byte stream: plain TCP, or TLS over it. The HTTP
// connection and the WebSocket session read and write through it without
// asking which, so both protocols get https and wss from the one core.
// Deadlines and the socket live on the TCP layer (next_layer(), which is
// also what beast::get_lowest_layer finds).
//
// Threads: server thread only, like the socket it wraps; not blocking.
// Move it only while no operation is pending (the upgrade).
#pragma once

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <optional>
#include <utility>

namespace travik_tool {

class ServerStream {
public:
    using executor_type = boost::beast::tcp_stream::executor_type;

    // Plain TCP.
    explicit ServerStream(boost::asio::ip::tcp::socket socket) : m_plain(std::in_place, std::move(socket)) {}
    // TLS with `tls` (which must outlive the stream); the handshake is Handshake's.
    ServerStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& tls)
        : m_tls(std::in_place, std::move(socket), tls) {}
    ServerStream(ServerStream&&) = default;
    ServerStream& operator=(ServerStream&&) = default;

    bool Tls() const { return m_tls.has_value(); }
    boost::beast::tcp_stream& next_layer() { return m_tls ? m_tls->next_layer() : *m_plain; }
    executor_type get_executor() { return next_layer().get_executor(); }

    // The server side of the TLS handshake (TLS streams only); `handler(ec)`.
    template <class Handler>
    void Handshake(Handler&& handler) {
        m_tls->async_handshake(boost::asio::ssl::stream_base::server, std::forward<Handler>(handler));
    }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::beast::error_code, std::size_t)>(
            [this](auto&& handler, const Buffers& b) {
                if (m_tls) {
                    m_tls->async_read_some(b, std::forward<decltype(handler)>(handler));
                } else {
                    m_plain->async_read_some(b, std::forward<decltype(handler)>(handler));
                }
            },
            token, buffers);
    }

    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::beast::error_code, std::size_t)>(
            [this](auto&& handler, const Buffers& b) {
                if (m_tls) {
                    m_tls->async_write_some(b, std::forward<decltype(handler)>(handler));
                } else {
                    m_plain->async_write_some(b, std::forward<decltype(handler)>(handler));
                }
            },
            token, buffers);
    }

    // The WebSocket close: TLS's close_notify, then the socket's.
    friend void teardown(boost::beast::role_type role, ServerStream& stream, boost::beast::error_code& ec) {
        using boost::beast::websocket::teardown;
        if (stream.m_tls) {
            teardown(role, *stream.m_tls, ec);
        } else {
            teardown(role, *stream.m_plain, ec);
        }
    }

    template <class Handler>
    friend void async_teardown(boost::beast::role_type role, ServerStream& stream, Handler&& handler) {
        using boost::beast::websocket::async_teardown;
        if (stream.m_tls) {
            async_teardown(role, *stream.m_tls, std::forward<Handler>(handler));
        } else {
            async_teardown(role, *stream.m_plain, std::forward<Handler>(handler));
        }
    }

private:
    std::optional<boost::beast::tcp_stream> m_plain;
    std::optional<boost::beast::ssl_stream<boost::beast::tcp_stream>> m_tls;
};

}  // namespace travik_tool
