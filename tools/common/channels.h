// The library's four image channels and how attr1/attr5 select them: the one
// place the tool knows the rule.
// Contract: constexpr, any thread.
#pragma once

namespace travik_tool {

constexpr int kChannelCount = 4;

// Whether `channel` names one of them. Anything else is refused, never
// folded onto a valid channel.
constexpr bool ValidChannel(int channel) { return channel >= 0 && channel < kChannelCount; }

// The library's rule: attr5 3 selects the odd channels, attr1 2 the upper
// pair; (2,1) -> 2, (2,3) -> 3, any other attr1 with attr5 3 -> 1,
// everything else -> 0.
constexpr int ChannelOfAttrs(int attr1, int attr5) {
    const bool upper = attr1 == 2;
    if (attr5 == 3) return upper ? 3 : 1;
    return upper && attr5 == 1 ? 2 : 0;
}

// attr1/attr5 that select `channel` (0..kChannelCount-1).
constexpr void ChannelAttrs(int channel, int& attr1, int& attr5) {
    attr1 = channel >= 2 ? 2 : 1;
    attr5 = channel % 2 == 1 ? 3 : 1;
}

}  // namespace travik_tool
