// The hand-over between the library's loop thread, which delivers a viewer's
// images and log text, and the Python threads that take them.
//
// Contract: Push* run on the loop thread (inside the library's callbacks) and
// only take this object's own lock, briefly: they never touch Python or the
// GIL. Wait* run on Python threads with the GIL released and block for at most
// the time they are given. Memory is bounded: one pending image per channel
// (the newest wins) and a bounded number of log lines (the oldest go first);
// both count what they dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "common/bounded_lines.h"
#include "protocol/channel_rule.h"

namespace travik_py {

constexpr int kChannels = travik::kImageChannels;
constexpr size_t kMaxLogLines = 10000;
constexpr size_t kMaxLogBytes = 8u << 20;

struct ReceivedImage {
    int channel = 0;
    int attr[5] = {0, 0, 0, 0, 0};
    std::shared_ptr<unsigned char> data;  // exactly `len` bytes, ours to keep
    int len = 0;
    unsigned long long tag = 0;
    long long arrivalUs = 0;  // wall clock, microseconds since 1970
    unsigned long long seq = 0;
};

// What a wait ended with.
enum class WaitResult { Item, Timeout, Closed, Lost };

class Inbox {
public:
    using Clock = std::chrono::steady_clock;

    // Loop thread. Replaces an image of the same channel still waiting.
    void PushImage(ReceivedImage image);
    // Loop thread. Splits `text` into lines (line ends removed; a last piece
    // without a line end is a line too).
    void PushLogText(const std::string& text);

    // Any thread, GIL released. Waits until an item is there, the inbox is
    // closed or the connection lost, or `until` passes. Items are handed out
    // before a loss is reported; nothing is handed out once closed.
    WaitResult WaitImage(Clock::time_point until, ReceivedImage& out);
    WaitResult WaitLog(Clock::time_point until, std::string& out);

    // Any thread. Close empties the inbox and wakes every waiter for good;
    // SetLost wakes them to report a lost connection; SetConnected(true)
    // clears a loss (after a reconnect).
    void Close();
    void SetLost();
    void SetConnected(bool up);

    bool Connected();
    unsigned long long DroppedImages();
    unsigned long long DroppedLogLines();

private:
    template <class Pop>
    WaitResult Wait(Clock::time_point until, Pop pop);
    bool PopOldestImage(ReceivedImage& out);

    std::mutex m_mutex;
    std::condition_variable m_cond;
    ReceivedImage m_slots[kChannels];
    bool m_filled[kChannels] = {false, false, false, false};
    unsigned long long m_nextSeq = 0;
    travik_tool::BoundedLines m_lines{kMaxLogLines, kMaxLogBytes, false};
    unsigned long long m_droppedImages = 0;
    unsigned long long m_droppedLines = 0;
    bool m_connected = true;
    bool m_lost = false;
    bool m_closed = false;
};

}  // namespace travik_py
