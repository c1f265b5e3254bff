// The addresses and sizes a user types on the command line (or a script
// passes on): HOST[:PORT], tls://HOST[:PORT], nats://…/NAME, ADDR:PORT to
// serve on, WIDTHxHEIGHT. A value a check lets through is one its parser
// takes, and a parsed value written back parses to itself.
#include <string>

#include "cli/options.h"
#include "cli/validators.h"
#include "nats/client/target.h"
#include "parser_drivers.h"

namespace travik_fuzz {
namespace {

using namespace travik_tool;

bool Passes(const CLI::Validator& check, const std::string& text) {
    std::string copy = text;
    return check(copy).empty();
}

bool Target(const std::string& text, ParseResult& r) {
    DeviceTarget t;
    const bool ok = ParseTarget(text, t);
    if (text.compare(0, 7, "nats://") != 0 && Passes(TargetCheck(), text) != ok) return false;
    if (!ok) return true;
    if (t.host.empty() || t.port < 1 || t.port > 65535 || t.tls != (text.compare(0, 6, kTlsScheme) == 0)) return false;
    DeviceTarget back;
    const std::string again = (t.tls ? std::string(kTlsScheme) : "") + t.host + ":" + std::to_string(t.port);
    if (!ParseTarget(again, back) || back.host != t.host || back.port != t.port || back.tls != t.tls) return false;
    ++r.accepted;
    return true;
}

bool Nats(const std::string& text, ParseResult& r) {
    std::string url, name;
    for (bool optional : {false, true}) {
        if (!travik_nats::ParseNatsTarget(text, url, name, optional)) continue;
        if (url.compare(0, 7, "nats://") != 0 || (!optional && name.empty())) return false;
        std::string url2, name2;
        if (!travik_nats::ParseNatsTarget(url + (name.empty() ? "" : "/" + name), url2, name2, optional) ||
            url2 != url || name2 != name)
            return false;
        ++r.accepted;
    }
    return true;
}

bool Serve(const std::string& text, ParseResult& r) {
    std::string address;
    int port = -1;
    const bool ok = ParseHttpAddress(text, address, port);
    if (Passes(HttpCheck(), text) != ok) return false;
    if (!ok) return true;
    // What is served on must be a literal the server can bind.
    if (port < 0 || port > 65535 || !IsAddressLiteral(address)) return false;
    if (IsLoopbackLiteral(text) && !IsAddressLiteral(text)) return false;
    ++r.accepted;
    return true;
}

bool Size(const std::string& text, ParseResult& r) {
    int w = 0, h = 0;
    const bool ok = ParseSize(text, w, h);
    if (Passes(SizeCheck(), text) != ok) return false;
    if (!ok) return true;
    int w2 = 0, h2 = 0;
    if (w < 1 || w > 16384 || h < 1 || h > 16384) return false;
    if (!ParseSize(std::to_string(w) + "x" + std::to_string(h), w2, h2) || w2 != w || h2 != h) return false;
    ++r.accepted;
    return true;
}

}  // namespace

bool DriveAddresses(const uint8_t* data, size_t size, ParseResult* result) {
    ParseResult local;
    ParseResult& r = result ? *result : local;
    const std::string text(reinterpret_cast<const char*>(data), size);
    return Target(text, r) && Nats(text, r) && Serve(text, r) && Size(text, r);
}

}  // namespace travik_fuzz
