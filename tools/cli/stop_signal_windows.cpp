// Ctrl-C on Windows: a console control handler, called on a thread that the
// system starts for each event. It reaches the live StopSignal through a
// pointer guarded by a mutex, so an event during construction or
// destruction finds either a whole object or none.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>

#include "cli/stop_signal.h"

namespace travik_tool {

namespace {

std::mutex g_mutex;
StopSignal* g_current = nullptr;  // under g_mutex
std::atomic<int> g_presses{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_current) g_current->Request();
    }
    // A second Ctrl-C while the clean stop is under way ends at once.
    if (event == CTRL_C_EVENT && ++g_presses >= 2) {
        static const char kMsg[] = "travik: interrupted twice, exiting now\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kMsg, sizeof kMsg - 1, &written, nullptr);
        ExitProcess(130);
    }
    // Closing the console ends the process when the handler returns: give
    // the clean stop the few seconds the system allows.
    if (event == CTRL_CLOSE_EVENT) Sleep(4000);
    return TRUE;
}

}  // namespace

void BlockStopSignals() {
    // The C runtime puts its own console handler in place the first time
    // SIGINT is given a handler (the library's listening endpoint does so).
    // Doing it here first keeps it below ours: handlers run newest first,
    // and ours returns TRUE, so the library's interrupt handling never runs
    // and the tool decides when to stop, as on Linux.
    std::signal(SIGINT, SIG_IGN);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignal::StopSignal() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_current = this;
}

StopSignal::~StopSignal() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_current == this) g_current = nullptr;
}

}  // namespace travik_tool
