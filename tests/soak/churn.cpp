#include "churn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "foxglove_client.h"
#include "protocol/frame_writer.h"
#include "protocol/switch_value.h"
#include "support/process.h"
#include "travik/travik.h"

namespace travik_soak {

using namespace std::chrono_literals;

namespace {

// A blocking loopback socket whose reads and writes give up after 2 s.
int ConnectRaw(int port, int rcvbuf = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const unsigned char* p, size_t len) {
    while (len > 0) {
        const ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) return;
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void Reset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

// Every image channel and the logs, as fast as the device goes.
travik::ByteBuffer GreedyCommand() {
    travik::CmdSt cmd;
    cmd.logSwitch = travik::SWITCH_ON;
    cmd.imageSwitch = travik::SWITCH_ON;
    for (int& s : cmd.imageSwitches) s = travik::SWITCH_ON;
    cmd.sendInterval = 1;
    return travik::WriteCommandFrame(cmd);
}

int RandomSwitch(std::mt19937& rng) { return static_cast<int>(rng() % 3); }  // keep, on or off

}  // namespace

Churn::Churn(ChurnTargets targets) : m_targets(std::move(targets)) {}
Churn::~Churn() { Stop(); }

void Churn::Start() {
    Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
    }
    auto add = [this](void (Churn::*action)(uint64_t)) {
        m_workers.emplace_back([this, action] { Worker([this, action](uint64_t r) { (this->*action)(r); }); });
    };
    add(&Churn::ShortViewer);
    add(&Churn::ShortViewer);
    add(&Churn::Switcher);
    add(&Churn::RawPeer);
    add(&Churn::StalledPeer);
    m_workers.emplace_back([this] { Worker([this](uint64_t r) { ViewProcess(r, false); }); });
    if (!m_targets.natsTarget.empty()) {
        m_workers.emplace_back([this] { Worker([this](uint64_t r) { ViewProcess(r, true); }); });
    }
    if (m_targets.foxglovePort > 0) {
        add(&Churn::FoxgloveVisitor);
        add(&Churn::FoxgloveVisitor);
    }
}

void Churn::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_cond.notify_all();
    }
    for (std::thread& t : m_workers) t.join();
    m_workers.clear();
}

std::string Churn::FirstFailure() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firstFailure;
}

void Churn::Fail(const std::string& what) {
    m_failures.fetch_add(1);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_firstFailure.empty()) m_firstFailure = what;
}

bool Churn::Pause(int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop; });
}

void Churn::Worker(const std::function<void(uint64_t)>& action) {
    // Bounded by Stop(): each action ends soon after it.
    for (uint64_t round = 0;; ++round) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) return;
        }
        action(round);
        m_actions.fetch_add(1);
    }
}

// Joins, asks for something at random, waits for a little of it (or leaves
// at once), leaves.
void Churn::ShortViewer(uint64_t round) {
    std::mt19937 rng(static_cast<unsigned>(round * 7919 + 17));
    std::atomic<int> got{0};
    {
        TravikMgr viewer;
        char ip[] = "127.0.0.1";
        if (viewer.Connect(ip, m_targets.devicePort) != 0) {
            Fail("a short-lived viewer could not connect to the device");
        } else if (round % 4 != 0) {
            viewer.SetImageCb(
                [&got](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) { ++got; });
            viewer.SetLogCb([&got](std::string&) { ++got; });
            int channels[4];
            for (int& c : channels) c = RandomSwitch(rng);
            static const int kIntervals[] = {5, 20, 100, 400};
            viewer.SendCmd(RandomSwitch(rng), travik::SWITCH_ON, channels, kIntervals[rng() % 4]);
            for (int i = 0; i < 100 && got.load() == 0 && Pause(20); ++i) {
            }
        }
        viewer.Release();
    }
    Pause(50);
}

// One viewer that changes its channels, logs, image switch and interval
// every quarter second, forty times, then leaves.
void Churn::Switcher(uint64_t round) {
    std::mt19937 rng(static_cast<unsigned>(round * 104729 + 3));
    TravikMgr viewer;
    char ip[] = "127.0.0.1";
    if (viewer.Connect(ip, m_targets.devicePort) != 0) {
        Fail("a switching viewer could not connect to the device");
        Pause(500);
        return;
    }
    viewer.SetImageCb([](int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long) {});
    viewer.SetLogCb([](std::string&) {});
    static const int kIntervals[] = {1, 10, 50, 250, 1000};
    for (int i = 0; i < 40 && Pause(250); ++i) {
        int channels[4];
        for (int& c : channels) c = RandomSwitch(rng);
        viewer.SendCmd(RandomSwitch(rng), RandomSwitch(rng), channels, kIntervals[rng() % 5]);
    }
    viewer.Release();
}

// A `travik view` process: some run their course, some are killed.
void Churn::ViewProcess(uint64_t round, bool nats) {
    std::mt19937 rng(static_cast<unsigned>(round * 31 + (nats ? 1 : 0)));
    const std::string target = nats ? m_targets.natsTarget : "127.0.0.1:" + std::to_string(m_targets.devicePort);
    static const char* kChannels[] = {"0", "1,2", "0,1,2,3", "3"};
    static const char* kIntervals[] = {"10", "100", "500"};
    const int seconds = 2 + static_cast<int>(rng() % 4);
    std::vector<std::string> argv{"travik",
                                  "view",
                                  target,
                                  "--channels",
                                  kChannels[rng() % 4],
                                  "--interval",
                                  kIntervals[rng() % 3],
                                  "--duration",
                                  std::to_string(seconds)};
    if (rng() % 2) argv.push_back("--logs");
    travik_proc::SpawnOptions options;
    options.outPath = "/dev/null";
    options.errPath = "/dev/null";
    options.closeOthers = true;
    travik_proc::Process view;
    if (!view.Start(m_targets.toolPath, argv, options)) {
        Fail("travik view could not be started");
        Pause(1000);
        return;
    }
    const bool kill = round % 3 == 2;
    const int limitMs = kill ? 500 + static_cast<int>(rng() % 1500) : (seconds + 30) * 1000;
    for (int waited = 0; waited < limitMs && !view.Ended() && Pause(100); waited += 100) {
    }
    if (view.Ended()) {
        const int status = view.Wait(0ms);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            Fail(std::string("travik view ") + target + " ended with status " + std::to_string(status));
    } else {
        view.Kill();  // on purpose, when asked to; else it overran by far
        if (!kill && Pause(0)) Fail("travik view " + target + " did not end after its --duration");
    }
    Pause(300);
}

// Garbage, a reset in the middle of a frame, a corrupted frame, or a
// greedy viewer that reads a little and resets.
void Churn::RawPeer(uint64_t round) {
    std::mt19937 rng(static_cast<unsigned>(round * 613 + 5));
    const int fd = ConnectRaw(m_targets.devicePort);
    if (fd < 0) {
        Fail("a raw connection to the device was refused");
        Pause(500);
        return;
    }
    const travik::ByteBuffer command = GreedyCommand();
    std::vector<unsigned char> bytes;
    switch (round % 4) {
        case 0:  // random bytes, up to 64 KiB
            bytes.resize(1 + rng() % 65536);
            for (unsigned char& b : bytes) b = static_cast<unsigned char>(rng());
            SendAll(fd, bytes.data(), bytes.size());
            close(fd);
            break;
        case 1:  // half a header, then a reset
            SendAll(fd, command.data.get(), 8);
            Reset(fd);
            break;
        case 2: {  // a command frame with a few bytes flipped, then wait for the device to act
            bytes.assign(command.data.get(), command.data.get() + command.len);
            for (int i = 0; i < 3; ++i) bytes[rng() % bytes.size()] ^= static_cast<unsigned char>(1 + rng() % 255);
            SendAll(fd, bytes.data(), bytes.size());
            unsigned char buf[4096];
            for (int i = 0; i < 64 && recv(fd, buf, sizeof buf, 0) > 0; ++i) {
            }
            close(fd);
            break;
        }
        default: {  // asks for everything, reads a little, resets
            SendAll(fd, command.data.get(), static_cast<size_t>(command.len));
            unsigned char buf[16384];
            for (int i = 0; i < 8 && recv(fd, buf, sizeof buf, 0) > 0; ++i) {
            }
            Reset(fd);
            break;
        }
    }
    Pause(100);
}

// Asks for everything with a tiny receive buffer, never reads, and hangs on
// for fifteen seconds; a second connection beside it never says anything.
void Churn::StalledPeer(uint64_t) {
    const int fd = ConnectRaw(m_targets.devicePort, 4096);
    const int silent = ConnectRaw(m_targets.devicePort);
    if (fd < 0 || silent < 0) Fail("a stalling connection to the device was refused");
    if (fd >= 0) {
        const travik::ByteBuffer command = GreedyCommand();
        SendAll(fd, command.data.get(), static_cast<size_t>(command.len));
    }
    Pause(15000);
    if (fd >= 0) close(fd);
    if (silent >= 0) close(silent);
    Pause(200);
}

// Joins the web server's Foxglove endpoint, reads a few messages (sometimes
// after a hostile text message), and leaves cleanly or with a reset.
void Churn::FoxgloveVisitor(uint64_t round) {
    FoxgloveClient client;
    if (client.Open(m_targets.foxglovePort, 5)) {
        if (round % 3 == 0) {
            client.SendText(R"({"op":"subscribe","subscriptions":[{"id":77,"channelId":4294967295}]})");
            client.SendText("{\"op\":");
            client.SendText(R"({"op":"unsubscribe","subscriptionIds":[1,2,3,77]})");
        }
        bool binary = false;
        for (uint64_t i = 0; i < round % 20 && client.Read(binary); ++i) {
        }
        client.Close(round % 2 == 0);
    }
    Pause(300);
}

}  // namespace travik_soak
