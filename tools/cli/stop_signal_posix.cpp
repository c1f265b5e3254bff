#include "cli/stop_signal.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace travik_tool {

namespace {
sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void BlockStopSignals() {
    sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignal::StopSignal() : m_thread(&StopSignal::Wait, this) {}

StopSignal::~StopSignal() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
    }
    // A signal aimed at the waiting thread ends its sigwait.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

void StopSignal::Wait() {
    sigset_t set = StopSet();
    int presses = 0;
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutdown) return;
        m_requested = true;
        m_cond.notify_all();
        // A second Ctrl-C while the clean stop is under way ends at once.
        if (sig == SIGINT && ++presses >= 2) {
            static const char kMsg[] = "travik: interrupted twice, exiting now\n";
            ssize_t ignored = write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
            (void)ignored;
            _exit(130);
        }
    }
}

}  // namespace travik_tool
