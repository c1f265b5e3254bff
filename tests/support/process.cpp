#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace travik_proc {

using Clock = std::chrono::steady_clock;

bool LineChannel::Send(const std::string& line) {
    const std::string out = line + "\n";
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

bool LineChannel::Read(std::string& line, std::chrono::milliseconds timeout) {
    return ReadBefore(line, Clock::now() + timeout);
}

bool LineChannel::ReadBefore(std::string& line, Clock::time_point deadline) {
    for (;;) {
        const size_t nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || m_fd < 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[512];
        const ssize_t n = read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // the child closed its end
        m_buffer.append(buf, static_cast<size_t>(n));
    }
}

void LineChannel::Reset(NativeFd fd) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
    m_buffer.clear();
}

Process::~Process() {
    Kill();
    m_channel.Reset(-1);
    m_output.Reset(-1);
}

namespace {
// The child's end becomes `target`: keep the source away from it so that
// dup2 really copies (and drops close-on-exec).
int AwayFrom(int fd, int target) {
    if (fd != target) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return moved;
}
}  // namespace

bool Process::Start(const std::string& path, const std::vector<std::string>& argv, const SpawnOptions& options) {
    if (m_pid > 0) return false;
    int channel[2] = {-1, -1};
    int output[2] = {-1, -1};
    auto closeAll = [&] {
        for (int fd : {channel[0], channel[1], output[0], output[1]})
            if (fd >= 0) close(fd);
    };
    using Ch = SpawnOptions::Channel;
    if ((options.channel == Ch::kPipe && pipe2(channel, O_CLOEXEC) != 0) ||
        (options.channel == Ch::kSocketPair && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) ||
        (options.pipeOutput && pipe2(output, O_CLOEXEC) != 0)) {
        closeAll();
        return false;
    }
    if (channel[1] >= 0) channel[1] = AwayFrom(channel[1], 3);
    if (output[1] >= 0) output[1] = AwayFrom(output[1], 1);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int outFlags = O_WRONLY | O_CREAT | (options.appendOutput ? O_APPEND : O_TRUNC);
    if (output[1] >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    } else if (!options.outPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, options.outPath.c_str(), outFlags, 0644);
    }
    if (!options.errPath.empty())
        posix_spawn_file_actions_addopen(&actions, 2, options.errPath.c_str(), outFlags, 0644);
    if (channel[1] >= 0) posix_spawn_file_actions_adddup2(&actions, channel[1], 3);
    if (options.closeOthers) posix_spawn_file_actions_addclosefrom_np(&actions, 4);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (options.defaultSignals) {
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    std::vector<std::string> copies = argv;
    std::vector<char*> args;
    for (std::string& a : copies) args.push_back(&a[0]);
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        closeAll();
        return false;
    }
    if (channel[1] >= 0) close(channel[1]);
    if (output[1] >= 0) close(output[1]);
    m_pid = pid;
    m_ended = false;
    m_status = 0;
    m_channel.Reset(channel[0]);
    m_output.Reset(output[0]);
    return true;
}

void Process::Signal(int sig) {
    if (m_pid > 0 && !m_ended) kill(m_pid, sig);
}

bool Process::Interrupt() { return m_pid > 0 && !m_ended && kill(m_pid, SIGINT) == 0; }

bool Process::Suspend() { return m_pid > 0 && !m_ended && kill(m_pid, SIGSTOP) == 0; }

bool Process::Resume() { return m_pid > 0 && !m_ended && kill(m_pid, SIGCONT) == 0; }

bool Process::EndedByKill() {
    return Ended() && m_status >= 0 && WIFSIGNALED(m_status) && WTERMSIG(m_status) == SIGKILL;
}

bool Process::Ended() {
    if (m_pid <= 0 || m_ended) return m_ended;
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = status;
        m_ended = true;
    } else if (r < 0 && errno != EINTR) {
        m_status = -1;  // not ours to wait for any more
        m_ended = true;
    }
    return m_ended;
}

int Process::Wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -1;
    const auto deadline = Clock::now() + timeout;
    // Bounded by the deadline.
    while (!Ended()) {
        if (Clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return m_status;
}

int Process::ExitCode(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -1;
    const int status = Wait(timeout);
    if (!m_ended) return -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

void Process::Kill() {
    if (m_pid <= 0 || Ended()) return;
    kill(m_pid, SIGKILL);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = status;
    m_ended = true;
}

bool SendToParent(const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(3, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace travik_proc
