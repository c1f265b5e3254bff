// `travik bridge` and `travik list nats://...`.
// Contract: Run* block the main thread until done or stopped.
#pragma once

#include <cstdio>
#include <string>

#include "cli/options.h"
#include "cli/stop_signal.h"
#include "cli/view_source.h"

namespace travik_nats {

// The viewer options are the bridge's source (target) and the most it
// forwards; --nats-creds and --nats-tls-ca serve its cluster (and a nats://
// source).
struct BridgeOptions : travik_tool::ViewerOptions {
    BridgeOptions() { interval = 1; }  // the smallest interval it asks the device for
    std::string nats;                  // URL[,URL...]
    std::string name;
    int level = 6;
    std::string video;         // "h264": also publish the channels as video when leased
    std::string videoBitrate;  // RATE (ParseBitrate); empty: sized by resolution
};

struct ListOptions {
    std::string target;  // nats://HOST[:PORT]
    double wait = 2.0;   // seconds of listening for status messages
    std::string creds;
    std::string tlsCa;
};

// Publishes `source` (borrowed for the call). Exit codes: 0 stopped, 1 NATS
// unreachable, 2 bad arguments.
int RunBridge(const BridgeOptions& options, travik_tool::ViewSource& source, travik_tool::StopSignal& stop);
// Prints one line per device heard from, to `out`.
int RunList(const ListOptions& options, travik_tool::StopSignal& stop, FILE* out);

}  // namespace travik_nats
