// Child processes for the tests and the benchmarks: one way to start, talk
// to, wait for and end them. Needs nothing of the library or of GoogleTest,
// so bench/ links it too. process.cpp is the POSIX side, process_windows.cpp
// the Windows one (CreateProcess, pipes, TerminateProcess).
// Contract: a Process and its LineChannel belong to the thread that started
// it; Start does not block, Read and Wait block for at most their deadline
// (not scaled: callers in tests scale it). Start copies what it is given.
// The destructor kills (SIGKILL, TerminateProcess) and reaps a child that is
// still running: this child only, by its pid or handle.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace travik_proc {

// A descriptor, or on Windows a pipe handle's value; -1 when there is none.
#if defined(_WIN32)
using NativeFd = long long;
#else
using NativeFd = int;
#endif

// Text lines over one descriptor, read with a deadline.
class LineChannel {
public:
    explicit LineChannel(NativeFd fd = -1) : m_fd(fd) {}
    bool Send(const std::string& line);
    // Reads one line (without its '\n'); false on timeout, error or EOF.
    bool Read(std::string& line, std::chrono::milliseconds timeout);
    bool ReadBefore(std::string& line, std::chrono::steady_clock::time_point deadline);
    NativeFd fd() const { return m_fd; }
    // Takes `fd` (closing the one held before) and forgets buffered text.
    void Reset(NativeFd fd);

private:
    NativeFd m_fd;
    std::string m_buffer;
};

struct SpawnOptions {
    // Standard output and error: "" inherits this process's. Files are
    // created and truncated, or appended to with `appendOutput`.
    std::string outPath;
    std::string errPath;
    bool appendOutput = false;
    // Standard output to a pipe that Output() reads (outPath is ignored).
    bool pipeOutput = false;
    // Descriptor 3 of the child: a pipe it writes status lines to, or a
    // socket pair for lines both ways; Channel() is this side's end. On
    // Windows only the pipe, whose handle the child finds in its environment
    // (SendToParent writes there); a socket pair fails to start.
    enum class Channel { kNone, kPipe, kSocketPair } channel = Channel::kNone;
    // Closes every descriptor above 3 in the child, whatever its flags. On
    // Windows: the child inherits only its standard handles and the channel;
    // otherwise every inheritable handle of this process.
    bool closeOthers = false;
    // An empty signal mask, and SIGINT, SIGTERM and SIGPIPE at their
    // defaults (this process may block or ignore them).
    bool defaultSignals = true;
};

class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Runs `path` with `argv` (argv[0] included). False when it could not
    // be started.
    bool Start(const std::string& path, const std::vector<std::string>& argv, const SpawnOptions& options);
    bool Started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    LineChannel& Channel() { return m_channel; }
    LineChannel& Output() { return m_output; }

#if !defined(_WIN32)
    void Signal(int sig);
#endif
    // Ctrl-C, for a clean stop: SIGINT on POSIX; on Windows a thread at the
    // system's console control routine in the child, with CTRL_C_EVENT, as
    // the console itself delivers it (GenerateConsoleCtrlEvent reaches only
    // whole consoles, and under wine none). False when it was not delivered.
    bool Interrupt();
    // Stops every thread of the child without ending it, and lets it go on
    // (SIGSTOP and SIGCONT; NtSuspendProcess and NtResumeProcess on
    // Windows). False when that is not possible here.
    bool Suspend();
    bool Resume();
    // True once the child has ended (reaps it).
    bool Ended();
    bool Running() { return m_pid > 0 && !Ended(); }
    // Waits for the end; its wait status, or -1 while it still runs after
    // `timeout` (or when there is no child).
    int Wait(std::chrono::milliseconds timeout);
    // Exit code of an ended child; -2 killed by a signal, -1 still running.
    int ExitCode(std::chrono::milliseconds timeout);
    // SIGKILL (TerminateProcess) and reap, when still running.
    void Kill();
    // True once the child has ended because Kill (or SIGKILL) ended it.
    bool EndedByKill();

private:
    pid_t m_pid = -1;
#if defined(_WIN32)
    void* m_handle = nullptr;  // the process
#endif
    bool m_ended = false;
    int m_status = 0;
    LineChannel m_channel;
    LineChannel m_output;
};

// In a child started with a channel: writes `len` bytes to it (descriptor 3,
// or on Windows the pipe its environment names). False when there is none.
bool SendToParent(const char* data, size_t len);

// The whole content of a file; "" when unreadable.
std::string ReadText(const std::string& path);

}  // namespace travik_proc
