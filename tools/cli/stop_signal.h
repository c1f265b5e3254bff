// Ctrl-C and SIGTERM end every subcommand cleanly. The signals are blocked in
// all threads (the library's threads inherit the mask from the thread that
// starts them) and taken by one waiting thread, so the library's own SIGINT
// handling on the listening endpoint never runs and the host decides when to
// stop: it notices the request, stops producing and calls Release().
// On Windows a console control handler takes Ctrl-C, Ctrl-Break and the
// console's closing instead; it runs on a thread the system starts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace travik_tool {

// Blocks SIGINT and SIGTERM in the calling thread (Windows: installs the
// console control handler). Call first thing in main, before any thread
// exists and before any library call.
void BlockStopSignals();

class StopSignal {
public:
    StopSignal();   // starts the waiting thread
    ~StopSignal();  // ends and joins it
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Asks for a stop, as Ctrl-C does; any thread.
    void Request();
    bool Requested();
    // Waits until a stop is requested or `timeout` passes; true when stopped.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
    void Wait();  // the waiting thread (POSIX)

    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_requested = false;
    bool m_shutdown = false;
    std::thread m_thread;  // POSIX only
};

}  // namespace travik_tool
