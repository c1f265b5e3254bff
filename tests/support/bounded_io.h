// Time-bounded I/O for the tests' Asio clients. A socket receive timeout
// does not bound Asio's synchronous reads: when it expires they poll the
// socket again, without limit, so a peer that stops sending hangs them.
// These run the asynchronous form of one operation for at most a given time.
// Contract: header only; the calling thread runs `ioc`, which nothing else
// runs meanwhile; blocks for at most `timeout` (plus the cancellation).
#pragma once

#include <chrono>
#include <cstddef>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace travik_test {

// Calls `start(handler)`, which starts one asynchronous operation with that
// completion handler, and runs `ioc` until the handler runs or `timeout`
// passes. On timeout `socket` is closed, so the operation ends (cancelled;
// the stream over the socket is then done for) and the result is timed_out.
// `bytes`, when given, gets the count a read or write reports.
template <class Start>
boost::system::error_code RunBounded(boost::asio::io_context& ioc, boost::asio::ip::tcp::socket& socket,
                                     std::chrono::steady_clock::duration timeout, Start&& start,
                                     std::size_t* bytes = nullptr) {
    boost::system::error_code result = boost::asio::error::timed_out;
    bool done = false;
    start([&result, &done, bytes](boost::system::error_code ec, auto... count) {
        result = ec;
        done = true;
        if (bytes) ((*bytes = static_cast<std::size_t>(count)), ...);
    });
    ioc.restart();
    ioc.run_for(timeout);
    if (!done) {
        boost::system::error_code ignored;
        socket.close(ignored);
        ioc.restart();
        ioc.run();
        result = boost::asio::error::timed_out;
    }
    return result;
}

}  // namespace travik_test
