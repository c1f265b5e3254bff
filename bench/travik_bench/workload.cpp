#include "travik_bench/workload.h"

#include <dirent.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "common/loopback.h"
#include "travik_bench/child_process.h"

namespace travik_bench {

std::vector<std::string> WorkloadArgs::ToArgs() const {
    return {mode,
            std::to_string(shape.width),
            std::to_string(shape.height),
            std::to_string(shape.channels),
            std::to_string(rate),
            batched ? "1" : "0",
            lossless ? "1" : "0",
            std::to_string(pinCpu),
            codec,
            std::to_string(port),
            std::to_string(windowMs),
            tlsDir};
}

WorkloadArgs WorkloadArgs::FromArgs(const std::vector<std::string>& args, size_t first) {
    WorkloadArgs w;
    auto at = [&](size_t i) { return first + i < args.size() ? args[first + i] : std::string("0"); };
    w.mode = at(0);
    w.shape.width = std::atoi(at(1).c_str());
    w.shape.height = std::atoi(at(2).c_str());
    w.shape.channels = std::atoi(at(3).c_str());
    w.rate = std::atoi(at(4).c_str());
    w.batched = at(5) == "1";
    w.lossless = at(6) == "1";
    w.pinCpu = first + 7 < args.size() ? std::atoi(at(7).c_str()) : -1;
    w.codec = first + 8 < args.size() ? at(8) : std::string("zlib");
    w.port = std::atoi(at(9).c_str());
    w.windowMs = std::atoi(at(10).c_str());
    w.tlsDir = first + 11 < args.size() ? args[first + 11] : std::string();
    return w;
}

void MakeLogLine(char (&out)[kLogLineBytes + 1], uint64_t stampNanos) {
    std::snprintf(out, sizeof out, "%020llu ", static_cast<unsigned long long>(stampNanos));
    for (int i = 21; i < kLogLineBytes - 1; ++i) out[i] = static_cast<char>('a' + i % 26);
    out[kLogLineBytes - 1] = '\n';
    out[kLogLineBytes] = 0;
}

uint64_t ParseStamp(const char* p) {
    uint64_t v = 0;
    for (int i = 0; i < 20; ++i) {
        if (p[i] < '0' || p[i] > '9') return 0;
        v = v * 10 + static_cast<uint64_t>(p[i] - '0');
    }
    return v;
}

uint64_t LineStamp(const char* line, size_t length) {
    return length == static_cast<size_t>(kLogLineBytes) ? ParseStamp(line) : 0;
}

bool PinThread(int tid, int cpu) {
    if (cpu < 0) return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(tid, sizeof set, &set) == 0;
}

int FindThread(const std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        DIR* dir = opendir("/proc/self/task");
        if (!dir) return 0;
        int found = 0;
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string comm;
            std::getline(in, comm);
            if (comm == name) found = std::atoi(e->d_name);
        }
        closedir(dir);
        if (found > 0) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

std::string ThreadAffinity(int tid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(tid, sizeof set, &set) != 0) return "?";
    std::string out;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (!CPU_ISSET(c, &set)) continue;
        int last = c;
        while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &set)) ++last;
        out += (out.empty() ? "" : ",") + std::to_string(c) + (last > c ? "-" + std::to_string(last) : "");
        c = last;
    }
    return out;
}

std::vector<std::shared_ptr<unsigned char>> MakeFrameSet(const FrameShape& shape) {
    std::vector<std::shared_ptr<unsigned char>> frames;
    for (uint32_t seed = 1; seed <= static_cast<uint32_t>(kDistinctFrames); ++seed)
        frames.push_back(MakeSharedCameraFrame(shape, seed));
    return frames;
}

void LatencyLog::Add(uint64_t nanos, uint64_t at) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_samples.emplace_back(at, nanos);
}

double LatencyLog::Percentile(double pct, uint64_t from, uint64_t to) const {
    std::vector<uint64_t> v;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& s : m_samples)
            if (s.first >= from && s.first <= to) v.push_back(s.second);
    }
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t idx = static_cast<size_t>(pct / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return static_cast<double>(v[std::min(idx, v.size() - 1)]);
}

size_t LatencyLog::Count(uint64_t from, uint64_t to) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count_if(m_samples.begin(), m_samples.end(),
                                             [&](const auto& s) { return s.first >= from && s.first <= to; }));
}

void FrameLog::Add(uint64_t at, uint64_t rawBytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.emplace_back(at, rawBytes);
}

double FrameLog::Rate(uint64_t from, uint64_t to) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t bytes = 0;
    size_t n = 0;
    for (const auto& f : m_frames) {
        if (f.first < from || f.first > to) continue;
        if (n == 0) {
            first = f.first;
        } else {
            bytes += f.second;  // the first frame only marks the start
        }
        last = f.first;
        ++n;
    }
    if (n >= 2 && last > first) return static_cast<double>(bytes) * 1e9 / static_cast<double>(last - first);
    return 0.0;
}

size_t FrameLog::Count(uint64_t from, uint64_t to) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count_if(m_frames.begin(), m_frames.end(),
                                             [&](const auto& f) { return f.first >= from && f.first <= to; }));
}

ThreadSample SampleThreads(ChildProcess& child) {
    ThreadSample out;
    out.at = NowNanos();
    std::string reply;
    if (!child.Ask("threads", reply) || reply.compare(0, 8, "threads ") != 0) return out;
    std::istringstream in(reply.substr(8));
    std::string item;
    while (in >> item) {
        const size_t colon = item.find(':');
        if (colon == std::string::npos) continue;
        out.cpu[item.substr(0, colon)] = std::strtoull(item.c_str() + colon + 1, nullptr, 10);
    }
    return out;
}

void ThreadShares(const ThreadSample& a, const ThreadSample& b, double& busiest, double& total) {
    busiest = 0;
    total = 0;
    if (b.at <= a.at) return;
    const double span = static_cast<double>(b.at - a.at);
    for (const auto& t : b.cpu) {
        auto before = a.cpu.find(t.first);
        const unsigned long long start = before == a.cpu.end() ? 0 : before->second;
        const double share = static_cast<double>(t.second - std::min(start, t.second)) / span;
        busiest = std::max(busiest, share);
        total += share;
    }
}

void SleepSeconds(double s) {
    if (s > 0) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(s * 1e6)));
}

bool CpuShareOver(ChildProcess& child, double seconds, double& pct) {
    std::string a;
    std::string b;
    long long cpu0 = 0;
    long long cpu1 = 0;
    child.Ask("cpu", a);
    const uint64_t t0 = NowNanos();
    SleepSeconds(seconds);
    child.Ask("cpu", b);
    const uint64_t t1 = NowNanos();
    if (!ParseReply(a, "cpu", cpu0) || !ParseReply(b, "cpu", cpu1)) return false;
    pct = 100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0);
    return true;
}

LatencyFigures LatencyOver(ChildProcess& sender, const LatencyLog& lat, double warmup, double window) {
    std::string reply;
    sender.Ask("go", reply);
    SleepSeconds(warmup);
    const uint64_t t0 = NowNanos();
    SleepSeconds(window);
    const uint64_t t1 = NowNanos();
    LatencyFigures f;
    f.any = lat.Count(t0, t1) > 0;
    if (f.any) {
        f.p50 = lat.Percentile(50, t0, t1);
        f.p99 = lat.Percentile(99, t0, t1);
    }
    return f;
}

uint64_t WaitWindow(uint64_t t0, double window, const std::function<bool(uint64_t)>& enough) {
    const uint64_t end = t0 + static_cast<uint64_t>(window * 1e9);
    const uint64_t cap = t0 + static_cast<uint64_t>((4 * window + 10) * 1e9);
    uint64_t now = NowNanos();
    if (now < end) SleepSeconds(static_cast<double>(end - now) / 1e9);
    for (now = NowNanos(); now < cap && !enough(now); now = NowNanos()) SleepSeconds(0.05);
    return now;
}

// ---------------------------------------------------------------------------
// Child side: "--child ROLE MODE W H C RATE ...". Prints "port P" once the
// endpoint is ready (0 when there is none), then serves the parent's
// commands:
//   probe  repeat a probe message until "go"  -> "ok"
//   go     start producing                    -> "ok"
//   halt   stop producing, keep the endpoint  -> "stats ACCEPTED REFUSED"
//   cpu    CPU time of this process           -> "cpu NANOS"
//   threads  CPU time of each thread          -> "threads TID:NANOS ..."
//   stop   (or the parent vanishing)          -> "done", then exit
// and whatever the sender answers through Query. A child left alone ends
// by itself after ten minutes.

namespace {

// "tid:ns tid:ns ...": CPU time of each thread of this process, from
// /proc/self/task/*/stat (user + system, in clock ticks).
std::string ThreadCpuList() {
    std::string out;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return out;
    const long ticks = sysconf(_SC_CLK_TCK);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos) continue;
        std::istringstream fields(stat.substr(paren + 2));
        std::string field;
        unsigned long long utime = 0;
        unsigned long long stime = 0;
        // After the command: state is field 3; utime and stime are 14 and 15.
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        const unsigned long long ns = (utime + stime) * 1000000000ull / static_cast<unsigned long long>(ticks);
        out += (out.empty() ? "" : " ") + std::string(e->d_name) + ":" + std::to_string(ns);
    }
    closedir(dir);
    return out;
}

}  // namespace

int RunChild(const std::vector<std::string>& args) {
    if (args.empty()) return 2;
    const WorkloadArgs w = WorkloadArgs::FromArgs(args, 1);
    std::unique_ptr<Sender> sender;
    if (args[0] == "travik") {
        sender = MakeTravikSender(w);
    } else if (args[0] == "zmq") {
        sender = MakeZmqSender(w);
    } else if (args[0] == "tcp") {
        sender = MakeTcpSender(w);
    } else if (args[0] == "limit") {
        sender = MakeLimitSender(w);
    }
    LineChannel control(3);
    if (!sender) {
        control.Send("error unknown role");
        return 2;
    }
    const int port = sender->Setup();
    if (port < 0) {
        control.Send("error setup failed");
        return 1;
    }
    control.Send("port " + std::to_string(port));
    std::atomic<bool> stop{false};
    std::atomic<bool> probing{false};
    std::thread producer;
    std::thread prober;
    auto stopProbing = [&] {
        probing = false;
        if (prober.joinable()) prober.join();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string line;
        if (!control.Read(line, std::chrono::milliseconds(1000))) {
            char probe;
            // A closed channel means the parent is gone: stop as on "stop".
            if (recv(control.fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) break;
            continue;
        }
        if (line == "stop") break;
        if (line == "probe") {
            if (!prober.joinable() && !producer.joinable()) {
                probing = true;
                prober = std::thread([&] {
                    while (probing.load()) {
                        sender->Probe();
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                });
            }
            control.Send("ok");
        } else if (line == "go") {
            stopProbing();
            if (!producer.joinable()) producer = std::thread([&] { sender->Produce(stop); });
            control.Send("ok");
        } else if (line == "halt") {
            // Production ends; what the sender accepted so far is final.
            stop = true;
            if (producer.joinable()) producer.join();
            control.Send(sender->Query("stats"));
        } else if (line == "cpu") {
            control.Send("cpu " + std::to_string(OwnCpuNanos()));
        } else if (line == "threads") {
            control.Send("threads " + ThreadCpuList());
        } else {
            std::string reply = sender->Query(line);
            control.Send(reply.empty() ? "error unknown command" : reply);
        }
    }
    stopProbing();
    stop = true;
    if (producer.joinable()) producer.join();
    sender->Teardown();
    control.Send("done");
    return 0;
}

}  // namespace travik_bench
