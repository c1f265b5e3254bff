#include "travik_bench/tcp_baseline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "common/loopback.h"
#include "travik_bench/child_process.h"
#include "travik_bench/log_rows.h"
#include "travik_bench/travik_workloads.h"

namespace travik_bench {
namespace {

class TcpSender : public Sender {
public:
    explicit TcpSender(const WorkloadArgs& args) : m_args(args) {}

    int Setup() override {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        if (m_listen < 0) return -1;
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sin;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(m_listen, 4) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
            return -1;
        return ntohs(sin.sin_port);
    }

    void Produce(const std::atomic<bool>& stop) override {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return;
        m_conn = accept(m_listen, nullptr, nullptr);
        if (m_conn < 0) return;
        int one = 1;
        setsockopt(m_conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char line[kLogLineBytes + 1];
        if (m_args.mode == "logs") {
            MakeLogLine(line, 0);
            SendPaced(stop, m_args.rate, [&] {
                if (!SendAll(m_conn, line, kLogLineBytes)) return false;
                ++m_accepted;
                return true;
            });
        } else if (m_args.mode == "loglat") {
            SendTimedLines(stop, m_args.rate,
                           [this](const char* stamped) { return SendAll(m_conn, stamped, kLogLineBytes); });
        }
    }

    // Every line written was accepted: the writer blocks, nothing is refused.
    std::string Query(const std::string& cmd) override {
        return cmd == "stats" ? "stats " + std::to_string(m_accepted.load()) + " 0" : std::string();
    }

    void Teardown() override {
        if (m_conn >= 0) close(m_conn);
        if (m_listen >= 0) close(m_listen);
        m_conn = m_listen = -1;
    }

private:
    WorkloadArgs m_args;
    int m_listen = -1;
    int m_conn = -1;
    std::atomic<unsigned long long> m_accepted{0};
};

// Reads the stream, counting lines and, when asked, timing each one.
class TcpReader {
public:
    TcpReader(int port, bool timeLines) : m_timeLines(timeLines) {
        m_fd = ConnectLoopback(port);
        if (m_fd >= 0) m_thread = std::thread([this] { Run(); });
    }
    ~TcpReader() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    ReceiverCount Count() const { return {m_lines.load(), 0}; }
    const LatencyLog& Latency() const { return m_latency; }

private:
    void Run() {
        std::vector<char> buf(1 << 20);
        std::string carry;
        while (!m_stop.load()) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = recv(m_fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n <= 0) {
                if (n == 0) break;
                continue;
            }
            if (!m_timeLines) {
                // Counting needs no carry: a line is counted when its '\n' arrives.
                m_lines += CountLines(buf.data(), static_cast<size_t>(n));
                continue;
            }
            const uint64_t now = NowNanos();
            carry.append(buf.data(), static_cast<size_t>(n));
            const size_t whole = carry.rfind('\n') + 1;  // 0 when there is none
            m_lines += SplitLines(carry.data(), whole, [&](const char* line, size_t len) {
                const uint64_t stamp = LineStamp(line, len);
                if (stamp > 0 && stamp <= now) m_latency.Add(now - stamp, now);
            });
            carry.erase(0, whole);
        }
    }

    bool m_timeLines;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_lines{0};
    LatencyLog m_latency;
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<Sender> MakeTcpSender(const WorkloadArgs& args) { return std::make_unique<TcpSender>(args); }

void MeasureTcpLogs(const Timing& t, Results& results) {
    ChildProcess sender;
    int port = 0;
    if (!StartSender(sender, "tcp", WorkloadArgs{"logs", {}, 0}, port)) return;
    auto reader = std::make_unique<TcpReader>(port, false);
    if (!reader->ok()) return;
    const LogRow row = RunLogRow(
        sender, t, [&] { return std::vector<ReceiverCount>{reader->Count()}; }, false);
    reader.reset();
    sender.Stop();
    if (!row.ok) return;
    LogProducer producer;
    producer.lossless = true;
    StoreLogRow(LogKey("tcp", 1, producer), row, -1, results);
    std::fprintf(stderr, "  %-60s %12.2f lines/s\n", "raw TCP log lines/s, 1 viewer", row.minRate);
}

void MeasureTcpLogLatency(const Timing& t, Results& results) {
    ChildProcess sender;
    int port = 0;
    if (!StartSender(sender, "tcp", WorkloadArgs{"loglat", {}, 1000}, port)) return;
    auto reader = std::make_unique<TcpReader>(port, true);
    if (!reader->ok()) return;
    const LatencyFigures f = LatencyOver(sender, reader->Latency(), t.warmup, t.latencyWindow);
    reader.reset();
    sender.Stop();
    if (!f.any) return;
    results.Set("loglat.tcp.p50us", f.p50 / 1e3);
    results.Set("loglat.tcp.p99us", f.p99 / 1e3);
    std::fprintf(stderr, "  %-52s %12.2f us\n", "raw TCP log latency p50", f.p50 / 1e3);
}

}  // namespace travik_bench
