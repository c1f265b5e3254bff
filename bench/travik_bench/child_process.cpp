#include "travik_bench/child_process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

namespace travik_bench {

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"travik-bench", "--child"};
    argv.insert(argv.end(), args.begin(), args.end());
    travik_proc::SpawnOptions options;
    options.channel = travik_proc::SpawnOptions::Channel::kSocketPair;
    // TRAVIK_BENCH_CHILD_LOG=FILE keeps the children's diagnostic lines
    // (appended to FILE) for looking into a run.
    const char* logPath = std::getenv("TRAVIK_BENCH_CHILD_LOG");
    options.outPath = logPath && *logPath ? logPath : "/dev/null";
    options.appendOutput = true;
    options.defaultSignals = false;  // the child keeps this program's signal set-up
    return m_process.Start("/proc/self/exe", argv, options);
}

bool ChildProcess::Ask(const std::string& command, std::string& reply, int timeoutMs) {
    return Send(command) && Read(reply, timeoutMs);
}

void ChildProcess::Stop() {
    if (!m_process.Started() || m_process.Ended()) return;
    std::string reply;
    Send("stop");
    Read(reply, 8000);
    if (m_process.Wait(std::chrono::seconds(4)) == -1 && !m_process.Ended()) {
        std::fprintf(stderr, "travik-bench: child %d did not stop; killing it\n", static_cast<int>(m_process.pid()));
        m_process.Kill();
    }
    m_process.Channel().Reset(-1);
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
