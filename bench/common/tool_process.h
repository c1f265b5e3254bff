// A `travik` process of a benchmark run (the tool under measurement, or a
// nats-server beside it): asked to stop with SIGINT when it goes out of
// scope, and killed (this process only, by its pid) when it has not ended
// 5 s later. Its output goes to /dev/null unless captured for ReadWebPort.
// Threads: one owner thread; blocking (Start forks, the destructor waits).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/process.h"

namespace travik_bench {

class ToolProcess {
public:
    ToolProcess() = default;
    ~ToolProcess() {
        m_process.Signal(SIGINT);
        m_process.Wait(std::chrono::seconds(5));
    }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // argv[0] is the program's path. `captureOut`: keep standard output
    // for ReadWebPort.
    bool Start(const std::vector<std::string>& argv, bool captureOut) {
        travik_proc::SpawnOptions options;
        options.pipeOutput = captureOut;
        options.outPath = "/dev/null";
        options.errPath = "/dev/null";
        return m_process.Start(argv[0], argv, options);
    }
    pid_t pid() const { return m_process.pid(); }
    // The port in the URL `travik web` prints first; 0 when none within 10 s.
    int ReadWebPort() {
        std::string line;
        if (!m_process.Output().Read(line, std::chrono::seconds(10))) return 0;
        const size_t colon = line.rfind(':');
        return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
    }

private:
    travik_proc::Process m_process;
};

}  // namespace travik_bench
