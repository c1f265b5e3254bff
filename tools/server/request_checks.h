// What a server checks of a request as it reads it, before the access
// policy and the handler: the parser's limits, the answer to a read that
// failed, and the headers that may appear only once. HttpConnection reads
// every request through these; the HTTP fuzz target does too.
// Thread: pure functions, any thread.
#pragma once

#include <boost/beast/http.hpp>

#include <cstddef>

namespace travik_tool {

constexpr size_t kMaxRequestHeader = 16 * 1024;
constexpr size_t kMaxRequestBody = 16 * 1024;
// The read buffer's size: a line the parser cannot finish within it is a
// malformed request, not a reason to grow the buffer.
constexpr size_t kMaxRequestBuffer = kMaxRequestHeader + kMaxRequestBody;

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

// Sets the header and body limits on a fresh parser.
void LimitRequestParser(RequestParser& parser);

enum class ReadVerdict {
    Go,              // a whole request: on to the access policy
    HeaderTooLarge,  // answer 431
    BodyTooLarge,    // answer 413
    Malformed,       // answer 400
    Closed           // the peer left or the read failed: close quietly
};
// The verdict on a read that ended with `ec`; after a whole request, on its
// headers (two Hosts or two Origins are malformed: the checks would pass on
// one, a proxy or browser might act on the other).
ReadVerdict JudgeRequestRead(const boost::beast::error_code& ec, const RequestParser& parser);

}  // namespace travik_tool
