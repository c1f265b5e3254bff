#include "server/request_checks.h"

namespace travik_tool {

namespace http = boost::beast::http;

void LimitRequestParser(RequestParser& parser) {
    parser.header_limit(kMaxRequestHeader);
    parser.body_limit(kMaxRequestBody);
}

ReadVerdict JudgeRequestRead(const boost::beast::error_code& ec, const RequestParser& parser) {
    if (ec == http::error::header_limit) return ReadVerdict::HeaderTooLarge;
    if (ec == http::error::body_limit) return ReadVerdict::BodyTooLarge;
    if (ec && ec.category() == http::make_error_code(http::error::bad_method).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message)
        return ReadVerdict::Malformed;
    if (ec) return ReadVerdict::Closed;
    const auto& header = parser.get();
    if (header.count(http::field::host) > 1 || header.count(http::field::origin) > 1) return ReadVerdict::Malformed;
    return ReadVerdict::Go;
}

}  // namespace travik_tool
