// The address of a device through NATS, as a viewer gives it.
// Contract: pure functions, any thread, nothing blocks.
#pragma once

#include <string>

namespace travik_nats {

// "nats://[USER:PASSWORD@]HOST[:PORT]/NAME" -> "nats://[USER:PASSWORD@]HOST:PORT"
// (4222 by default), NAME. `name` may be left empty only when `nameOptional`
// (travik list).
bool ParseNatsTarget(const std::string& text, std::string& url, std::string& name, bool nameOptional = false);
bool IsNatsTarget(const std::string& text);

}  // namespace travik_nats
