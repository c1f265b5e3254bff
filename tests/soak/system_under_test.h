// The programs the soak measures, started as the shipped `travik` tool runs
// them: a device (four channels with noise, logs), and when the build and
// the machine have them a NATS bridge on a loopback nats-server and the live
// page's web server with its Foxglove endpoint. Every port on loopback,
// held (ReservedPort) until the program listens on it.
// Contract: one thread (the soak's main thread) owns it; Start blocks until
// every program accepts connections or its deadline passes. The destructor
// ends every child (SIGINT, then SIGKILL after a bounded wait).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"

namespace travik_soak {

struct SystemConfig {
    std::string toolPath;
    std::string natsServerPath;  // "" leaves NATS out
    bool web = false;            // the tool has `travik web`
    std::string dir;             // the programs' output files
};

class SystemUnderTest {
public:
    struct Watched {
        std::string name;
        travik_proc::Process* process;
    };

    ~SystemUnderTest();
    bool Start(const SystemConfig& config, std::string& error);
    void Stop();

    int DevicePort() const { return m_deviceReserved.port(); }
    int FoxglovePort() const { return m_web.Started() ? m_foxReserved.port() : 0; }
    int HttpPort() const { return m_web.Started() ? m_httpReserved.port() : 0; }
    // nats://127.0.0.1:PORT, "" without NATS.
    const std::string& NatsUrl() const { return m_natsUrl; }
    static constexpr const char* kNatsName = "soak";

    // The processes sampled: device, then bridge and web when running.
    std::vector<Watched> Measured();
    // "" while every program runs, else which ended and how.
    std::string Ended();

private:
    bool StartNats(const SystemConfig& config, std::string& error);

    travik_test::ReservedPort m_deviceReserved, m_httpReserved, m_foxReserved;
    travik_proc::Process m_device, m_nats, m_bridge, m_web;
    std::string m_natsUrl;
};

// True when something accepts a TCP connection on 127.0.0.1:`port`.
bool Accepting(int port);

}  // namespace travik_soak
