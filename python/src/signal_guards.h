// Keeps the interpreter in charge of signals while the library starts and
// stops its threads.
//
// Contract: both guards are used on the calling Python thread around
// library calls (GIL held or not), and restore what they changed on scope
// exit. Not for the library's own threads.
#pragma once

#include <signal.h>

namespace travik_py {

// Blocks every asynchronous signal in the calling thread for the guard's
// lifetime, so that the library's threads started meanwhile inherit a mask
// that leaves the signals to the interpreter's threads (Python runs its
// handlers on the main thread, and a Ctrl-C then also interrupts its waits).
class BlockSignalsForNewThreads {
public:
    BlockSignalsForNewThreads();
    ~BlockSignalsForNewThreads();
    BlockSignalsForNewThreads(const BlockSignalsForNewThreads&) = delete;
    BlockSignalsForNewThreads& operator=(const BlockSignalsForNewThreads&) = delete;

private:
    sigset_t m_saved;
};

// The listening endpoint installs its own SIGINT handler (a device program
// written in C++ stops two seconds after Ctrl-C). In Python, Ctrl-C must
// raise KeyboardInterrupt instead, so the guard puts back the SIGINT
// disposition that was there before, on scope exit.
class KeepSigintHandler {
public:
    KeepSigintHandler();
    ~KeepSigintHandler();
    KeepSigintHandler(const KeepSigintHandler&) = delete;
    KeepSigintHandler& operator=(const KeepSigintHandler&) = delete;

private:
    struct sigaction m_saved;
    bool m_ok = false;
};

}  // namespace travik_py
