// What each subcommand was asked to do, filled in by the command line in
// main.cpp, and the small parsers its values need.
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
    int level = 0;             // 0: the library's (6, or TRAVIK_COMPRESS_LEVEL)
    int compressThreads = -1;  // -1: the library's (1, or TRAVIK_COMPRESS_THREADS); 0: one per core
};

struct ViewOptions {
    std::string target;  // HOST[:PORT]
    bool logs = false;
    std::vector<int> channels{0, 1, 2, 3};
    int interval = 100;
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
// "host", "host:port", "1.2.3.4:7000". False on an empty host or a port
// outside 1..65535.
bool ParseTarget(const std::string& text, std::string& host, int& port);
// Dotted IPv4 address of `host` (a name or already dotted). False when it
// does not resolve.
bool ResolveIPv4(const std::string& host, std::string& dotted);
// "0,2" for messages.
std::string JoinChannels(const std::vector<int>& channels);

}  // namespace travik_tool
