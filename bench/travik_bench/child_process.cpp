#include "travik_bench/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

namespace travik_bench {

bool LineChannel::Send(const std::string& line) {
    std::string out = line + "\n";
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t n = write(m_fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool LineChannel::Read(std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[512];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        m_buffer.append(buf, static_cast<size_t>(n));
    }
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::vector<std::string>& args) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    std::vector<std::string> all = {"travik-bench", "--child"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // TRAVIK_BENCH_CHILD_LOG=FILE keeps the children's diagnostic lines
    // (appended to FILE) for looking into a run.
    const char* logPath = std::getenv("TRAVIK_BENCH_CHILD_LOG");
    const std::string stdoutPath = logPath && *logPath ? logPath : "/dev/null";
    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are made.
    pid_t pid = fork();
    if (pid < 0) {
        close(sv[0]);
        close(sv[1]);
        return false;
    }
    if (pid == 0) {
        if (sv[1] == 3) {
            fcntl(3, F_SETFD, 0);
        } else {
            dup2(sv[1], 3);  // the copy does not inherit close-on-exec
        }
        int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) dup2(out, 1);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(sv[1]);
    m_pid = pid;
    m_channel.Reset(sv[0]);
    return true;
}

bool ChildProcess::Ask(const std::string& command, std::string& reply, int timeoutMs) {
    return m_channel.Send(command) && m_channel.Read(reply, timeoutMs);
}

void ChildProcess::Stop() {
    if (m_pid <= 0) return;
    std::string reply;
    m_channel.Send("stop");
    m_channel.Read(reply, 8000);
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 400 && !reaped; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            reaped = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!reaped) {
        std::fprintf(stderr, "travik-bench: child %d did not stop; killing it\n", static_cast<int>(m_pid));
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
    close(m_channel.fd());
    m_channel.Reset(-1);
    m_pid = -1;
}

namespace {
long long StatusField(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0) return std::atoll(line.c_str() + n) * 1024;
    }
    return 0;
}
}  // namespace

long long ProcessRss(pid_t pid) { return StatusField(pid, "VmRSS:"); }
long long ProcessPeakRss(pid_t pid) { return StatusField(pid, "VmHWM:"); }

long long OwnCpuNanos() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000ll + ts.tv_nsec;
}

bool ParseReply(const std::string& line, const std::string& word, long long& value) {
    if (line.compare(0, word.size() + 1, word + " ") != 0) return false;
    char* end = nullptr;
    value = std::strtoll(line.c_str() + word.size() + 1, &end, 10);
    return end != line.c_str() + word.size() + 1;
}

}  // namespace travik_bench
