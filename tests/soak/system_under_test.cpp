#include "system_under_test.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "support/wait.h"

namespace travik_soak {

using namespace std::chrono_literals;

bool Accepting(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

namespace {

travik_proc::SpawnOptions OutputTo(const std::string& path) {
    travik_proc::SpawnOptions options;
    options.outPath = path;
    options.errPath = path;
    options.appendOutput = true;
    options.closeOthers = true;
    return options;
}

std::string Describe(const std::string& name, travik_proc::Process& p) {
    if (!p.Started() || !p.Ended()) return "";
    const int status = p.Wait(0ms);
    if (WIFEXITED(status)) return name + " exited with code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return name + " was killed by signal " + std::to_string(WTERMSIG(status));
    return name + " ended";
}

void End(travik_proc::Process& p) {
    if (!p.Running()) return;
    p.Signal(SIGINT);
    if (p.Wait(travik_test::Scaled(10s)) < 0) p.Kill();
}

}  // namespace

SystemUnderTest::~SystemUnderTest() { Stop(); }

void SystemUnderTest::Stop() {
    // Viewers of the device first, so that the device sees them leave.
    End(m_web);
    End(m_bridge);
    End(m_nats);
    End(m_device);
}

bool SystemUnderTest::StartNats(const SystemConfig& config, std::string& error) {
    const std::string dir = config.dir + "/nats";
    mkdir(dir.c_str(), 0700);
    const std::string conf = dir + "/server.conf";
    std::ofstream(conf) << "listen: \"127.0.0.1:-1\"\nports_file_dir: \"" << dir << "\"\n";
    if (!m_nats.Start(config.natsServerPath, {"nats-server", "-c", conf}, OutputTo(config.dir + "/nats-server.log"))) {
        error = "nats-server could not be started";
        return false;
    }
    // The port it chose, from the file it writes once it listens.
    const std::string ports = dir + "/nats-server_" + std::to_string(m_nats.pid()) + ".ports";
    const std::string key = "\"nats\":[\"nats://";
    travik_test::WaitUntil(
        [&] {
            const std::string text = travik_proc::ReadText(ports);
            const size_t at = text.find(key);
            const size_t end = at == std::string::npos ? at : text.find('"', at + key.size());
            if (end == std::string::npos) return false;
            m_natsUrl = "nats://" + text.substr(at + key.size(), end - at - key.size());
            return true;
        },
        30s);
    if (m_natsUrl.empty()) error = "nats-server did not report its port";
    return !m_natsUrl.empty();
}

bool SystemUnderTest::Start(const SystemConfig& config, std::string& error) {
    const std::string port = std::to_string(DevicePort());
    if (!m_device.Start(config.toolPath,
                        {"travik", "device", "--port", port, "--bind", "127.0.0.1", "--channels", "0,1,2,3", "--noise",
                         "8", "--log-rate", "50", "--fps", "30"},
                        OutputTo(config.dir + "/device.log"))) {
        error = "the device could not be started";
        return false;
    }
    if (!travik_test::WaitUntil([&] { return Accepting(DevicePort()) || m_device.Ended(); }, 30s) || m_device.Ended()) {
        error = "the device does not accept connections" + (Ended().empty() ? "" : ": " + Ended());
        return false;
    }
    const std::string device = "127.0.0.1:" + port;
    if (!config.natsServerPath.empty()) {
        if (!StartNats(config, error)) return false;
        if (!m_bridge.Start(
                config.toolPath,
                {"travik", "bridge", device, "--nats", m_natsUrl, "--name", kNatsName, "--logs", "--interval", "50"},
                OutputTo(config.dir + "/bridge.log"))) {
            error = "the bridge could not be started";
            return false;
        }
    }
    if (config.web) {
        const std::string http = "127.0.0.1:" + std::to_string(m_httpReserved.port());
        const std::string fox = "127.0.0.1:" + std::to_string(m_foxReserved.port());
        if (!m_web.Start(config.toolPath, {"travik", "web", device, "--logs", "--http", http, "--foxglove", fox},
                         OutputTo(config.dir + "/web.log"))) {
            error = "the web server could not be started";
            return false;
        }
        if (!travik_test::WaitUntil(
                [&] { return (Accepting(m_httpReserved.port()) && Accepting(m_foxReserved.port())) || m_web.Ended(); },
                30s) ||
            m_web.Ended()) {
            error = "the web server does not accept connections" + (Ended().empty() ? "" : ": " + Ended());
            return false;
        }
    }
    return true;
}

std::vector<SystemUnderTest::Watched> SystemUnderTest::Measured() {
    std::vector<Watched> out{{"device", &m_device}};
    if (m_bridge.Started()) out.push_back({"bridge", &m_bridge});
    if (m_web.Started()) out.push_back({"web", &m_web});
    return out;
}

std::string SystemUnderTest::Ended() {
    for (auto& [name, p] : std::vector<std::pair<std::string, travik_proc::Process*>>{
             {"device", &m_device}, {"nats-server", &m_nats}, {"bridge", &m_bridge}, {"web", &m_web}}) {
        std::string what = Describe(name, *p);
        if (!what.empty()) return what;
    }
    return "";
}

}  // namespace travik_soak
