// The once-a-second status line of every subcommand's main loop: the loop
// asks whether a line is due, prints it for the window that just ended, and
// may sleep until the next one is due.
// Contract: owned and called by that loop's thread only; never blocks.
#pragma once

#include <chrono>

namespace travik_tool {

class StatusTicker {
public:
    using Clock = std::chrono::steady_clock;

    explicit StatusTicker(Clock::time_point start = Clock::now()) : m_last(start) {}

    // When the next line is due.
    Clock::time_point NextDue() const { return m_last + std::chrono::seconds(1); }

    // True when a second or more has passed since the last line; then
    // `windowSeconds` is that window's length and the next window starts.
    bool Due(Clock::time_point now, double& windowSeconds) {
        if (now < NextDue()) return false;
        windowSeconds = std::chrono::duration<double>(now - m_last).count();
        m_last = now;
        return true;
    }

private:
    Clock::time_point m_last;
};

}  // namespace travik_tool
