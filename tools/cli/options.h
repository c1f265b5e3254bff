// What each subcommand was asked to do, filled in by the command line its
// folder registers, and the small parsers its values need.
// Contract: plain values and pure parsers, filled and read on the main
// thread; nothing blocks.
#pragma once

#include <string>
#include <vector>

namespace travik_tool {

struct DeviceOptions {
    int port = 7000;
    double fps = 10;
    std::vector<int> channels{0, 1, 2, 3};
    std::string size = "640x480";
    std::string format = "gray";
    std::string imagesDir;
    double logRate = 2;
    double duration = 0;  // seconds; 0 runs until Ctrl-C
    int noise = 0;
    int level = 0;                   // 0: the library's (6, or TRAVIK_COMPRESS_LEVEL)
    int compressThreads = -1;        // -1: the library's (1, or TRAVIK_COMPRESS_THREADS); 0: one per core
    std::string bind = "127.0.0.1";  // local address literal to listen on
    std::string tlsCert;             // PEM files; empty: plain TCP (cert and key go together)
    std::string tlsKey;
    std::string tlsClientCa;  // empty: any viewer is served
};

// What every viewer subcommand (view, record, web, bridge) takes: where its
// source is and what it asks for (cli/viewer_options.h declares them).
struct ViewerOptions {
    std::string target;  // [tls://]HOST[:PORT], or an address of a registered scheme (nats://HOST[:PORT]/NAME)
    bool logs = false;
    std::vector<int> channels{0, 1, 2, 3};
    int interval = 100;     // ms
    std::string natsCreds;  // credentials file for NATS; empty: none
    std::string natsTlsCa;  // CA certificates for TLS to NATS; empty: none
    std::string tlsCa;      // CA that signed the device's certificate; required by (and only for) tls://
    std::string tlsCert;    // client certificate and key for a device that checks its viewers; empty: none
    std::string tlsKey;
};

struct ViewOptions : ViewerOptions {
    std::string outDir;  // empty: save nothing
    long long count = 0;
    double duration = 0;
    bool reconnect = false;
};

struct DemoOptions {
    double seconds = 5;
    std::string outDir = "travik-demo";
    int port = 0;     // 0: a free port
    std::string web;  // ADDR:PORT to serve the live page on; empty: none
};

constexpr int kDefaultPort = 7000;

// "640x480" -> 640, 480. False unless both are 1..16384.
bool ParseSize(const std::string& text, int& width, int& height);
// A device's address as a viewer gives it.
struct DeviceTarget {
    std::string host;  // a name or a dotted IPv4 address
    int port = kDefaultPort;
    bool tls = false;  // "tls://" in front
};
constexpr char kTlsScheme[] = "tls://";
// "host", "host:port", "1.2.3.4:7000", "tls://host:port". False on an empty
// host or a port outside 1..65535.
bool ParseTarget(const std::string& text, DeviceTarget& target);
// The hint after "cannot connect to WHERE": a TLS refusal is named by the
// library's own line just before it.
const char* ConnectHint(const std::string& where);
// A local address to listen on: dotted IPv4 or an IPv6 literal.
bool IsAddressLiteral(const std::string& text);
// 127.0.0.0/8 or ::1: reachable from this host only.
bool IsLoopbackLiteral(const std::string& text);
// Off loopback, whoever reaches the port can watch and steer the device
// unless TLS with a client CA stands in the way: says so once on the status
// stream. Main thread, before serving.
void WarnWhenExposed(const std::string& bind, bool tls, bool clientCa);
// Windows: starts Windows Sockets for the tool's own lookups (ResolveIPv4,
// the demo's port probe; the library starts them on its threads itself).
// Elsewhere nothing. Main thread, once, before any lookup.
void StartSocketLookups();
// Dotted IPv4 address of `host` (a name or already dotted). False when it
// does not resolve.
bool ResolveIPv4(const std::string& host, std::string& dotted);
// "127.0.0.1:8080", "0.0.0.0:80", "[::1]:0", "localhost:8080" -> address
// literal and port (0..65535). False otherwise.
bool ParseHttpAddress(const std::string& text, std::string& address, int& port);
// A video bitrate: bits per second with an optional k (1000) or M
// (1000000) suffix: "600k", "2M", "1500000", "1.5M". False with a reason in
// `error` for anything else, or outside kMinVideoBitrate..kMaxVideoBitrate.
constexpr int kMinVideoBitrate = 50000;
constexpr int kMaxVideoBitrate = 100000000;
bool ParseBitrate(const std::string& text, int& bitsPerSecond, std::string& error);
// "0,2" for messages.
std::string JoinChannels(const std::vector<int>& channels);

}  // namespace travik_tool
