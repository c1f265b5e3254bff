// `travik bridge` and `travik list nats://...`, and the glue that lets
// view, record and web take a nats:// address.
// Contract: Run* block the main thread until done or stopped.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/stop_signal.h"
#include "cli/view_source.h"

namespace travik_nats {

struct BridgeOptions {
    std::string target;  // DEVICE[:PORT]
    std::string nats;    // URL[,URL...]
    std::string name;
    std::vector<int> channels{0, 1, 2, 3};  // the most it forwards
    int interval = 1;                       // the smallest interval it asks the device for
    bool logs = false;                      // whether it forwards log texts at all
    std::string creds;
    std::string tlsCa;
    int level = 6;
};

struct ListOptions {
    std::string target;  // nats://HOST[:PORT]
    double wait = 2.0;   // seconds of listening for status messages
    std::string creds;
    std::string tlsCa;
};

// Exit codes: 0 stopped, 1 NATS unreachable, 2 bad arguments.
int RunBridge(const BridgeOptions& options, travik_tool::StopSignal& stop);
// Prints one line per device heard from, to `out`.
int RunList(const ListOptions& options, travik_tool::StopSignal& stop, FILE* out);
// The source behind a nats:// address for view, record and web; null with a
// message printed when the address is malformed.
std::unique_ptr<travik_tool::ViewSource> MakeSource(const std::string& target, const std::string& creds = "",
                                                    const std::string& tlsCa = "");

}  // namespace travik_nats
