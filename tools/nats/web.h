// `travik web nats://HOST[:PORT][/NAME]`: the live page over NATS. The page
// lists the devices whose bridges publish a status and shows the one it
// picks (NAME, when given, from the start) through a nats:// viewer.
// Contract: RunNatsWeb blocks the main thread until stopped.
#pragma once

#include <cstdio>
#include <string>

#include "cli/stop_signal.h"
#include "web/viewer.h"

namespace travik_nats {

// Exit codes: 0 stopped, 1 NATS unreachable or the page's address not
// bound, 2 bad arguments.
int RunNatsWeb(const travik_tool::WebOptions& options, const std::string& creds, const std::string& tlsCa,
               travik_tool::StopSignal& stop, FILE* out);

}  // namespace travik_nats
