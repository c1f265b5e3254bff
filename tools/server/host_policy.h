// Which Host and Origin headers a server accepts. A server bound to
// loopback refuses every Host but a loopback name, so that a page from
// another site cannot rebind its own name to 127.0.0.1 and pass the
// Origin check; the Host is parsed whole, so that a name with a loopback
// prefix ("localhost:80@evil.com", "[::1]evil") is not taken for one.
// Thread: pure functions, any thread.
#pragma once

#include <string>

namespace travik_tool {

std::string Lower(std::string s);

// Splits a Host header into its name and port. The grammar is exact:
// a name of letters, digits, '.', '-' and '_' (a DNS name or an IPv4
// address), or a bracketed IPv6 address "[...]" of hex digits, ':' and
// '.'; then optionally ':' and 1 to 5 digits (at most 65535); nothing
// else, no white space. `name` keeps the brackets. False for anything
// else (and for an empty header).
bool ParseHost(const std::string& host, std::string& name, std::string& port);

// Whether `host` is a well-formed Host header that names the loopback
// interface: 127.0.0.1, localhost or [::1] (any case), with any port.
bool LoopbackHost(const std::string& host);

// Whether `address` (an IP literal to bind) reaches beyond this machine:
// anything but 127.0.0.0/8 and ::1, an address that does not parse too.
bool BeyondLoopback(const std::string& address);

// Whether a browser's Origin is the page's own: "http://" (or "https://"
// when `tls`) + the Host, both compared without case. A trailing '/' is
// not allowed (browsers send none).
bool SameOrigin(const std::string& origin, const std::string& host, bool tls);

}  // namespace travik_tool
