#include "foxglove_client.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace travik_soak {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct FoxgloveClient::Impl {
    asio::io_context ioc;
    std::unique_ptr<websocket::stream<tcp::socket>> ws;
};

FoxgloveClient::FoxgloveClient() : m_impl(std::make_unique<Impl>()) {}
FoxgloveClient::~FoxgloveClient() { Close(true); }

bool FoxgloveClient::Open(int port, int timeoutSeconds) {
    Close(true);
    m_impl->ws = std::make_unique<websocket::stream<tcp::socket>>(m_impl->ioc);
    beast::error_code ec;
    tcp::socket& s = m_impl->ws->next_layer();
    s.open(tcp::v4(), ec);
    if (ec) return false;
    timeval tv{timeoutSeconds, 0};
    setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), ec);
    if (ec) return false;
    m_impl->ws->set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
        req.set(beast::http::field::sec_websocket_protocol, "foxglove.websocket.v1");
    }));
    m_impl->ws->read_message_max(64u << 20);
    m_impl->ws->handshake("127.0.0.1", "/", ec);
    if (ec) return false;
    // The advertisement comes among the first few messages.
    nlohmann::json subscribe = {{"op", "subscribe"}, {"subscriptions", nlohmann::json::array()}};
    for (int i = 0; i < 16 && subscribe["subscriptions"].empty(); ++i) {
        beast::flat_buffer buffer;
        m_impl->ws->read(buffer, ec);
        if (ec) return false;
        if (!m_impl->ws->got_text()) continue;
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
    if (!m_impl->ws) return false;
    beast::flat_buffer buffer;
    beast::error_code ec;
    m_impl->ws->read(buffer, ec);
    binary = !m_impl->ws->got_text();
    return !ec;
}

bool FoxgloveClient::SendText(const std::string& text) {
    if (!m_impl->ws) return false;
    beast::error_code ec;
    m_impl->ws->text(true);
    m_impl->ws->write(asio::buffer(text), ec);
    return !ec;
}

void FoxgloveClient::Close(bool reset) {
    if (!m_impl->ws) return;
    beast::error_code ec;
    tcp::socket& s = m_impl->ws->next_layer();
    if (reset && s.is_open()) {
        linger l{1, 0};
        setsockopt(s.native_handle(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else if (s.is_open()) {
        // The closing handshake reads until the server's close frame; while
        // the server streams on, no read times out, so it is bounded here.
        m_impl->ws->async_close(websocket::close_code::normal, [](beast::error_code) {});
        m_impl->ioc.restart();
        m_impl->ioc.run_for(std::chrono::seconds(2));
    }
    s.close(ec);
    // A close still waiting completes (cancelled) before its stream goes.
    m_impl->ioc.restart();
    m_impl->ioc.run();
    m_impl->ws.reset();
}

}  // namespace travik_soak
