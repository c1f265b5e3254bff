// The sending side of each workload runs in a child process of its own (this
// same program, started with --child), so that its CPU time and memory can
// be read without the viewers' share. Parent and child talk in text lines
// over a socket pair that the child sees as file descriptor 3.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace travik_bench {

// A line channel over one file descriptor.
class LineChannel {
public:
    explicit LineChannel(int fd = -1) : m_fd(fd) {}
    bool Send(const std::string& line);
    // Reads one line (without its '\n'); false on timeout, error or EOF.
    bool Read(std::string& line, int timeoutMs);
    int fd() const { return m_fd; }
    void Reset(int fd) {
        m_fd = fd;
        m_buffer.clear();
    }

private:
    int m_fd;
    std::string m_buffer;
};

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
    bool Send(const std::string& command) { return m_channel.Send(command); }
    bool Read(std::string& line, int timeoutMs) { return m_channel.Read(line, timeoutMs); }
    // Asks the child to finish and reaps it; a child that does not end
    // within a few seconds is killed (this child only, by its pid).
    void Stop();
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    LineChannel m_channel;
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
