// Device endpoint seen from raw sockets: accepting peers, refusing a busy
// port, removing peers that leave, the two-second exit after SIGINT, and a
// loop that sleeps while its connections are idle.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "transport/travik_transport.h"
#include "travik/travik.h"

using namespace travik_test;
using Clock = std::chrono::steady_clock;

namespace {

// Every integer printed right after `prefix`.
std::vector<int> FdsAfter(const std::string& text, const std::string& prefix) {
    std::vector<int> fds;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
        fds.push_back(std::atoi(text.c_str() + at + prefix.size()));
    return fds;
}

std::vector<int> Accepted(StdoutCapture& cap) { return FdsAfter(cap.Text(), "accept connect fd = "); }

// Local port of a socket, and remote port of a socket (host byte order).
int LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 ? ntohs(a.sin_port) : -1;
}
int PeerPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 ? ntohs(a.sin_port) : -1;
}

std::vector<unsigned char> OpenLogCommand() {
    std::vector<unsigned char> f;
    for (int v : {3, 0, 32, 0, 1, 1, 0, 0, 0, 0, 0, 0}) PutLE32(f, v);
    return f;
}

long long CpuMicros() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto us = [](const timeval& tv) { return tv.tv_sec * 1000000LL + tv.tv_usec; };
    return us(ru.ru_utime) + us(ru.ru_stime);
}

}  // namespace

TEST(ServerEndpoint, AcceptsPeerAndPrintsItsSocket) {
    StdoutCapture cap;
    TravikMgr mgr;
    const int port = FreePort();
    ASSERT_EQ(mgr.Listen(port), 0);
    ASSERT_TRUE(mgr.m_server);
    EXPECT_EQ(mgr.m_server->IsEmpty(), 1);

    RawClient peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_server->IsEmpty() == 0; }));
    ASSERT_TRUE(WaitUntil([&] { return Accepted(cap).size() == 1; }));
    // The printed handle is the device's end of exactly this peer.
    const int fd = Accepted(cap)[0];
    EXPECT_EQ(PeerPort(fd), LocalPort(peer.fd()));
    EXPECT_NE(cap.Text().find("accept connect fd = " + std::to_string(fd) + "\n"), std::string::npos);
    EXPECT_EQ(mgr.Release(), 0);
}

TEST(ServerEndpoint, PortAboveSixteenBitsIsCutToItsLowBits) {
    TravikMgr mgr;
    const int port = FreePort();
    ASSERT_EQ(mgr.Listen(port + 65536), 0);
    RawClient peer;
    ASSERT_TRUE(peer.Connect(port));
    EXPECT_TRUE(WaitUntil([&] { return mgr.m_server->IsEmpty() == 0; }));
}

TEST(ServerEndpoint, TwoPeersAreTwoConnectionsAndLeaveOneByOne) {
    StdoutCapture cap;
    TravikMgr mgr;
    const int port = FreePort();
    ASSERT_EQ(mgr.Listen(port), 0);
    RawClient a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return Accepted(cap).size() == 2; }));
    std::vector<int> fds = Accepted(cap);
    ASSERT_NE(fds[0], fds[1]);
    const int fdA = PeerPort(fds[0]) == LocalPort(a.fd()) ? fds[0] : fds[1];
    const int fdB = fdA == fds[0] ? fds[1] : fds[0];
    EXPECT_EQ(PeerPort(fdB), LocalPort(b.fd()));

    // The first peer leaves: reported twice, then removed; the other stays.
    a.Close();
    const std::string goneA = "disconnect fd = " + std::to_string(fdA) + " \n";
    ASSERT_TRUE(WaitUntil([&] { return cap.Text().find(goneA) != std::string::npos; }));
    std::string text = cap.Text();
    EXPECT_NE(text.find("Connection closed.\nConnection closed.\n" + goneA), std::string::npos) << text;
    EXPECT_EQ(mgr.m_server->IsEmpty(), 0);

    // The remaining peer still gets what the device sends.
    std::vector<unsigned char> cmd = OpenLogCommand();
    ASSERT_TRUE(b.Send(cmd));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_logClosed.load() == 0; }));
    char line[] = "still here";
    ASSERT_EQ(mgr.SendLogInfo(line, 0), 0);
    std::vector<unsigned char> frame;
    ASSERT_TRUE(b.ReadFrame(frame));
    EXPECT_EQ(std::string(frame.begin() + 16, frame.end()), std::string("still here") + '\0');

    b.Close();
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_server->IsEmpty() == 1; }));
    EXPECT_NE(cap.Text().find("disconnect fd = " + std::to_string(fdB) + " \n"), std::string::npos);
}

TEST(ServerEndpoint, BusyPortFailsListenAndLeavesNothingRunning) {
    const int port = FreePort();
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(blocker, 4), 0);

    const int threads = ThreadCount();
    TravikMgr mgr;
    std::string text;
    {
        StdoutCapture cap;
        EXPECT_EQ(mgr.Listen(port), -1);
        text = cap.Text();
    }
    EXPECT_NE(text.find("Could not create a listener!\n"), std::string::npos) << text;
    EXPECT_TRUE(!mgr.m_server || mgr.m_server->IsEmpty() == 1);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads; })) << ThreadCount() << " vs " << threads;

    // Once the port is free again, the same manager listens on it.
    close(blocker);
    ASSERT_EQ(mgr.Listen(port), 0);
    RawClient peer;
    ASSERT_TRUE(peer.Connect(port));
    EXPECT_TRUE(WaitUntil([&] { return mgr.m_server->IsEmpty() == 0; }));
}

// The child does its work with plain code and leaves with _exit, so that
// nothing of the test framework runs twice.
TEST(ServerEndpoint, InterruptClosesPeersAndEndsLoopTwoSecondsLater) {
    const int port = FreePort();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(out[0]);
        dup2(out[1], STDOUT_FILENO);
        close(out[1]);
        auto* mgr = new TravikMgr();  // left to _exit
        int rc = 1;
        if (mgr->Listen(port) == 0) {
            std::shared_ptr<Travik> server = mgr->m_server;
            printf("ready\n");
            fflush(stdout);
            for (int i = 0; i < 2000 && server->IsEmpty() == 1; ++i) usleep(5000);
            raise(SIGINT);
            rc = server->WaitStopped(10000) && server->IsEmpty() == 1 ? 0 : 2;
        }
        fflush(stdout);
        _exit(rc);
    }
    close(out[1]);

    std::string text;
    // Reads the child's output until `needle` shows up; returns when it did.
    auto readUntil = [&](const std::string& needle, Clock::time_point& seen) {
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (text.find(needle) == std::string::npos) {
            if (Clock::now() > deadline) return false;
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) return text.find(needle) != std::string::npos;
            text.append(buf, static_cast<size_t>(n));
        }
        seen = Clock::now();
        return true;
    };

    Clock::time_point ready, caught, closed, done;
    bool ok = readUntil("ready\n", ready);
    RawClient peer;
    ok = ok && peer.Connect(port);
    ok = ok && readUntil("Caught an interrupt signal; exiting cleanly in two seconds.\n", caught);
    const bool peerClosed = ok && peer.WaitClosed(std::chrono::seconds(10));
    closed = Clock::now();
    ok = ok && readUntil("listen done\n", done);
    close(out[0]);
    int status = 0;
    if (!ok) kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(ok) << text;

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(text.find("accept connect fd = "), std::string::npos) << text;
    // The loop keeps serving the peer during the two seconds, then tears down.
    EXPECT_TRUE(peerClosed);
    auto secs = [&](Clock::time_point t) { return std::chrono::duration<double>(t - caught).count(); };
    EXPECT_GE(secs(closed), 1.5);
    EXPECT_GE(secs(done), 1.5);
    EXPECT_LE(secs(done), 6.0);
}

// A busy-looping event loop burns a whole core; an idle one almost nothing.
TEST(ServerEndpoint, IdleConnectionDoesNotSpinTheLoop) {
    TravikMgr mgr;
    const int port = FreePort();
    ASSERT_EQ(mgr.Listen(port), 0);
    RawClient viewer;
    ASSERT_TRUE(viewer.Connect(port));
    std::vector<unsigned char> cmd = OpenLogCommand();
    ASSERT_TRUE(viewer.Send(cmd));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_logClosed.load() == 0; }));
    // Some traffic first, so that the idle time follows a completed write.
    char line[] = "one line";
    ASSERT_EQ(mgr.SendLogInfo(line, 0), 0);
    std::vector<unsigned char> frame;
    ASSERT_TRUE(viewer.ReadFrame(frame));

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long long before = CpuMicros();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long long used = CpuMicros() - before;
    EXPECT_LT(used, 200000) << "CPU time over one idle second: " << used << " us";
    EXPECT_EQ(mgr.m_server->IsEmpty(), 0);
}
