#include "foxglove_client.h"

#include <chrono>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "support/bounded_io.h"

namespace travik_soak {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct FoxgloveClient::Impl {
    asio::io_context ioc;
    std::unique_ptr<websocket::stream<tcp::socket>> ws;
    std::chrono::seconds timeout{2};

    // One asynchronous step, for at most the timeout.
    template <class Start>
    beast::error_code Bounded(Start&& start) {
        return travik_test::RunBounded(ioc, ws->next_layer(), timeout, std::forward<Start>(start));
    }
};

FoxgloveClient::FoxgloveClient() : m_impl(std::make_unique<Impl>()) {}
FoxgloveClient::~FoxgloveClient() { Close(true); }

bool FoxgloveClient::Open(int port, int timeoutSeconds) {
    Close(true);
    m_impl->timeout = std::chrono::seconds(timeoutSeconds);
    m_impl->ws = std::make_unique<websocket::stream<tcp::socket>>(m_impl->ioc);
    websocket::stream<tcp::socket>& ws = *m_impl->ws;
    const tcp::endpoint server(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    if (m_impl->Bounded([&](auto handler) { ws.next_layer().async_connect(server, std::move(handler)); })) return false;
    ws.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
        req.set(beast::http::field::sec_websocket_protocol, "foxglove.websocket.v1");
    }));
    ws.read_message_max(64u << 20);
    if (m_impl->Bounded([&](auto handler) { ws.async_handshake("127.0.0.1", "/", std::move(handler)); })) return false;
    // The advertisement comes among the first few messages.
    nlohmann::json subscribe = {{"op", "subscribe"}, {"subscriptions", nlohmann::json::array()}};
    for (int i = 0; i < 16 && subscribe["subscriptions"].empty(); ++i) {
        beast::flat_buffer buffer;
        if (m_impl->Bounded([&](auto handler) { ws.async_read(buffer, std::move(handler)); })) return false;
        if (!ws.got_text()) continue;
        const auto j = nlohmann::json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
        if (!j.is_object() || j.value("op", "") != "advertise" || !j["channels"].is_array()) continue;
        int id = 1;
        for (const auto& channel : j["channels"]) {
            if (channel.contains("id"))
                subscribe["subscriptions"].push_back({{"id", id++}, {"channelId", channel["id"]}});
        }
    }
    return !subscribe["subscriptions"].empty() && SendText(subscribe.dump());
}

bool FoxgloveClient::Read(bool& binary) {
    if (!m_impl->ws || !m_impl->ws->next_layer().is_open()) return false;
    websocket::stream<tcp::socket>& ws = *m_impl->ws;
    beast::flat_buffer buffer;
    const beast::error_code ec = m_impl->Bounded([&](auto handler) { ws.async_read(buffer, std::move(handler)); });
    binary = !ws.got_text();
    return !ec;
}

bool FoxgloveClient::SendText(const std::string& text) {
    if (!m_impl->ws || !m_impl->ws->next_layer().is_open()) return false;
    websocket::stream<tcp::socket>& ws = *m_impl->ws;
    ws.text(true);
    return !m_impl->Bounded([&](auto handler) { ws.async_write(asio::buffer(text), std::move(handler)); });
}

void FoxgloveClient::Close(bool reset) {
    if (!m_impl->ws) return;
    tcp::socket& s = m_impl->ws->next_layer();
    if (reset && s.is_open()) {
        beast::error_code ignored;
        s.set_option(asio::socket_base::linger(true, 0), ignored);
    } else if (s.is_open()) {
        // The closing handshake reads until the server's close frame.
        m_impl->Bounded(
            [&](auto handler) { m_impl->ws->async_close(websocket::close_code::normal, std::move(handler)); });
    }
    beast::error_code ignored;
    s.close(ignored);
    // Whatever is still pending completes (cancelled) before its stream goes.
    m_impl->ioc.restart();
    m_impl->ioc.run();
    m_impl->ws.reset();
}

}  // namespace travik_soak
