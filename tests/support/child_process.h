// A child process for tests that run the travik tool: standard output and
// error in files, signals at their defaults, killed and reaped on
// destruction.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace travik_test {

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& out, const std::string& err)
        : m_out(out), m_err(err) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (posix_spawn(&m_pid, args[0], &actions, &attr, args.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    ~Child() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_pid > 0; }
    void Signal(int sig) {
        if (m_pid > 0 && !m_exited) kill(m_pid, sig);
    }
    // Exit code once ended within `timeout`; -1 still running, -2 killed by a signal.
    int Wait(std::chrono::milliseconds timeout) {
        if (m_pid <= 0) return -1;
        WaitUntil([this] { return Reap(); }, timeout);
        if (!m_exited) return -1;
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -2;
    }
    bool Running() { return m_pid > 0 && !Reap(); }
    std::string Out() const { return ReadText(m_out); }
    std::string Err() const { return ReadText(m_err); }
    bool WaitForErr(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        WaitUntil([&] { return Err().find(text) != std::string::npos || Reap(); }, timeout);
        return Err().find(text) != std::string::npos;
    }

private:
    bool Reap() {
        if (m_exited) return true;
        if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) m_exited = true;
        return m_exited;
    }

    pid_t m_pid = -1;
    int m_status = 0;
    bool m_exited = false;
    std::string m_out, m_err;
};

}  // namespace travik_test
