// The part of StopSignal that both systems share; the rest is in
// stop_signal_posix.cpp and stop_signal_windows.cpp.
#include "cli/stop_signal.h"

namespace travik_tool {

void StopSignal::Request() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requested = true;
    m_cond.notify_all();
}

bool StopSignal::Requested() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requested;
}

bool StopSignal::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, timeout, [this] { return m_requested; });
}

}  // namespace travik_tool
