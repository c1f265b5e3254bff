// The values of a command's log, image and per-channel switches, as viewers
// send them and devices apply them.
// Contract: constants only, any thread.
#pragma once

#include <cstdint>

namespace travik {

enum SwitchValue : int32_t { SWITCH_KEEP = 0, SWITCH_ON = 1, SWITCH_OFF = 2 };

// On or off, for a switch that is always set.
constexpr int32_t SwitchOf(bool on) { return on ? SWITCH_ON : SWITCH_OFF; }

}  // namespace travik
