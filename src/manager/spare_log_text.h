// Storage for staged log text, handed back once a log frame has been sent, so
// that a stream of large frames reuses warm pages instead of faulting in
// fresh ones for every frame.
//
// Threads: Give from any thread, typically a loop thread freeing a sent frame
// (possibly under the transport's connection lock); Take from a host thread
// under the manager's m_mutex. The spare's own mutex is a leaf: nothing else
// is locked or called while it is held. Never blocks for long, never throws.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace travik {

class SpareLogText {
public:
    // Keeps `text`'s storage when it is larger than the one kept (and not
    // beyond kMaxKept); clears the text either way.
    void Give(std::string& text) noexcept;
    // Swaps the kept storage into the empty `text` when it is larger.
    void Take(std::string& text) noexcept;

private:
    static constexpr size_t kMinKept = 64 * 1024;
    static constexpr size_t kMaxKept = 16u << 20;
    std::mutex m_mutex;
    std::string m_spare;
};

}  // namespace travik
