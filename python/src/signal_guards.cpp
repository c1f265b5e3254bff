#include "signal_guards.h"

#include <pthread.h>

#include <initializer_list>

namespace travik_py {

BlockSignalsForNewThreads::BlockSignalsForNewThreads() {
    sigset_t all;
    sigfillset(&all);
    // Faults are delivered to the thread that caused them; never block them.
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &m_saved);
}

BlockSignalsForNewThreads::~BlockSignalsForNewThreads() { pthread_sigmask(SIG_SETMASK, &m_saved, nullptr); }

KeepSigintHandler::KeepSigintHandler() { m_ok = sigaction(SIGINT, nullptr, &m_saved) == 0; }

KeepSigintHandler::~KeepSigintHandler() {
    if (m_ok) sigaction(SIGINT, &m_saved, nullptr);
}

}  // namespace travik_py
