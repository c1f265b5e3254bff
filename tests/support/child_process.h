// A child process for tests that run the travik tool: standard output and
// error in files, signals at their defaults, killed and reaped on
// destruction.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"

namespace travik_test {

using travik_proc::ReadText;

class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& out, const std::string& err)
        : m_out(out), m_err(err) {
        travik_proc::SpawnOptions options;
        options.outPath = out;
        options.errPath = err;
        if (!argv.empty()) m_process.Start(argv[0], argv, options);
    }

    bool Started() const { return m_process.Started(); }
#if !defined(_WIN32)
    void Signal(int sig) { m_process.Signal(sig); }
#endif
    // Ctrl-C (a clean stop) and a kill (SIGKILL, TerminateProcess).
    bool Interrupt() { return m_process.Interrupt(); }
    void Kill() { m_process.Kill(); }
    // Exit code once ended within `timeout` (scaled); -1 still running, -2
    // killed by a signal.
    int Wait(std::chrono::milliseconds timeout) { return m_process.ExitCode(Scaled(timeout)); }
    bool Running() { return m_process.Running(); }
    std::string Out() const { return ReadText(m_out); }
    std::string Err() const { return ReadText(m_err); }
    bool WaitForErr(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        WaitUntil([&] { return Err().find(text) != std::string::npos || m_process.Ended(); }, timeout);
        return Err().find(text) != std::string::npos;
    }

private:
    travik_proc::Process m_process;
    std::string m_out, m_err;
};

}  // namespace travik_test
