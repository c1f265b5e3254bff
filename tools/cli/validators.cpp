#include "cli/validators.h"

#include <string>

#include "cli/options.h"
#include "protocol/channel_rule.h"

namespace travik_tool {

const CLI::Validator& TargetCheck() {
    static const CLI::Validator check(
        [](std::string& text) {
            DeviceTarget target;
            // nats:// addresses are checked by the tool's NATS code, or
            // refused when this build has none.
            if (text.compare(0, 7, "nats://") == 0) return std::string();
            return ParseTarget(text, target) ? std::string()
                                             : "must be HOST, HOST:PORT or tls://HOST[:PORT] with a port 1..65535";
        },
        "[tls://]HOST[:PORT]");
    return check;
}

const CLI::Validator& SizeCheck() {
    static const CLI::Validator check(
        [](std::string& text) {
            int w = 0, h = 0;
            return ParseSize(text, w, h) ? std::string() : "must be WIDTHxHEIGHT, each 1..16384, e.g. 640x480";
        },
        "WxH");
    return check;
}

const CLI::Validator& ChannelCheck() {
    static const CLI::Validator check = CLI::Range(0, travik::kImageChannels - 1);
    return check;
}

const CLI::Validator& BindCheck() {
    static const CLI::Validator check(
        [](std::string& text) {
            return IsAddressLiteral(text) ? std::string()
                                          : "must be a local IPv4 or IPv6 address, e.g. 127.0.0.1, 0.0.0.0 or ::1";
        },
        "ADDR");
    return check;
}

const CLI::Validator& HttpCheck() {
    static const CLI::Validator check(
        [](std::string& text) {
            std::string address;
            int port = 0;
            return ParseHttpAddress(text, address, port) ? std::string()
                                                         : "must be ADDR:PORT with an IP address, e.g. 127.0.0.1:8080";
        },
        "ADDR:PORT");
    return check;
}

const CLI::Validator& BitrateCheck() {
    static const CLI::Validator check(
        [](std::string& text) {
            int bits = 0;
            std::string error;
            return ParseBitrate(text, bits, error) ? std::string() : error;
        },
        "RATE");
    return check;
}

}  // namespace travik_tool
