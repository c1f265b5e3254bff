// The image channels and how an image's first and fifth attribute choose
// one: the single statement of the rule for the library, the tool, the
// Python package, the tests and the benchmarks.
// Contract: constexpr, any thread, no state.
#pragma once

namespace travik {

constexpr int kImageChannels = 4;

// Whether `channel` names one of them. Anything else is refused, never
// folded onto a valid channel.
constexpr bool ValidChannel(int channel) { return channel >= 0 && channel < kImageChannels; }

// attr5 3 selects an odd channel, attr1 2 the upper pair: (1,1) -> 0,
// (1,3) -> 1, (2,1) -> 2, (2,3) -> 3; any other attr1 with attr5 3 -> 1,
// everything else -> 0. Always a valid channel.
constexpr int ChannelOf(int attr1, int attr5) {
    const bool upper = attr1 == 2;
    if (attr5 == 3) return upper ? 3 : 1;
    return upper && attr5 == 1 ? 2 : 0;
}

// The attr1/attr5 that select `channel` (0..kImageChannels-1).
constexpr void ChannelAttrs(int channel, int& attr1, int& attr5) {
    attr1 = channel >= 2 ? 2 : 1;
    attr5 = channel % 2 == 1 ? 3 : 1;
}

}  // namespace travik
