// The sending side of each workload runs in a child process of its own (this
// same program, started with --child), so that its CPU time and memory can
// be read without the viewers' share. Parent and child talk in text lines
// over a socket pair that the child sees as file descriptor 3.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace travik_bench {

using LineChannel = travik_proc::LineChannel;

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts this program with "--child" and `args`; its standard output (the
    // library's diagnostic lines) goes to /dev/null, or is appended to the
    // file named by TRAVIK_BENCH_CHILD_LOG.
    bool Start(const std::vector<std::string>& args);
    // Sends `command` and waits for the reply line.
    bool Ask(const std::string& command, std::string& reply, int timeoutMs = 10000);
    bool Send(const std::string& command) { return m_process.Channel().Send(command); }
    bool Read(std::string& line, int timeoutMs) {
        return m_process.Channel().Read(line, std::chrono::milliseconds(timeoutMs));
    }
    // Asks the child to finish and reaps it; a child that does not end
    // within a few seconds is killed (this child only, by its pid).
    void Stop();
    pid_t pid() const { return m_process.pid(); }

private:
    travik_proc::Process m_process;
};

// Resident set size and its peak (VmRSS, VmHWM) of a process, in bytes; 0
// when unreadable.
long long ProcessRss(pid_t pid);
long long ProcessPeakRss(pid_t pid);

// This process's CPU time (all threads) in nanoseconds.
long long OwnCpuNanos();

// The first word of `line` and the number after it ("port 1234" -> 1234).
bool ParseReply(const std::string& line, const std::string& word, long long& value);

}  // namespace travik_bench
