// The options every viewer subcommand shares (target, --logs, --channels,
// --interval, --nats-creds, --nats-tls-ca, --tls-ca, --tls-cert, --tls-key),
// declared once, with the parse-time check that TLS files go with a tls://
// target and that it has its CA. A subcommand may word their help its own
// way.
// Contract: main thread, while the command line is built; `o` is borrowed
// by `cmd` (CLI11 writes into it) until the application is destroyed.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/options.h"

namespace travik_tool {

struct ViewerHelp {
    const char* target =
        "Device address, HOST or HOST:PORT (port 7000 when left out), tls://HOST[:PORT], or nats://HOST[:PORT]/NAME";
    const char* logs = "Open the device's log stream (closed otherwise)";
    const char* channels = "Image channels to switch on (the others are switched off)";
    const char* interval = "Minimum ms between two images of one channel";
    const char* nats = "(with a nats:// address)";
};

void AddViewerOptions(CLI::App* cmd, ViewerOptions& o, const ViewerHelp& help = ViewerHelp());

}  // namespace travik_tool
