// travik_soak: the device, the NATS bridge and the web server under churn
// for a given time, their memory, descriptors and threads sampled from
// /proc. Exits 1 with a line saying why when a steady viewer starves, memory
// grows after the warm-up, descriptors or threads do not come back to their
// baseline once the churn stops, or a program of the system ends.
//
//   travik_soak [--minutes M] [--out DIR] [--sample-seconds S]
//               [--starve-seconds S] [--no-memory-check]
//
// Run by `./travik.sh soak [MINUTES]`. The curves go to DIR/soak.csv,
// DIR/soak.md (a table and the summary, ready to paste) and DIR/soak.svg;
// the programs' own output to DIR/*.log.
//
// Phases: warm-up (churn), a pause in which descriptors and threads settle
// and become the baseline, the churn proper (memory judged on it), and the
// end, where descriptors and threads must return to the baseline.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "churn.h"
#include "proc_stats.h"
#include "report.h"
#include "steady_viewers.h"
#include "support/wait.h"
#include "system_under_test.h"
#include "verdict.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace travik_soak;

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted = true; }

struct Options {
    double minutes = 10;
    std::string out = "build/soak";
    int sampleSeconds = 10;
    int starveSeconds = 60;
    bool memoryCheck = true;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--minutes" && hasValue) {
            o.minutes = std::atof(argv[++i]);
        } else if (a == "--out" && hasValue) {
            o.out = argv[++i];
        } else if (a == "--sample-seconds" && hasValue) {
            o.sampleSeconds = std::atoi(argv[++i]);
        } else if (a == "--starve-seconds" && hasValue) {
            o.starveSeconds = std::atoi(argv[++i]);
        } else if (a == "--no-memory-check") {
            o.memoryCheck = false;
        } else {
            return false;
        }
    }
    return o.minutes > 0 && o.minutes <= 24 * 60 && o.sampleSeconds >= 1 && o.sampleSeconds <= 600 &&
           o.starveSeconds >= 5;
}

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

class Soak {
public:
    Soak(const Options& o, SystemUnderTest& system, SteadyViewers& steady, Churn& churn)
        : m_o(o), m_system(system), m_steady(steady), m_churn(churn), m_start(Clock::now()) {
        for (const auto& w : m_system.Measured()) m_names.push_back(w.name);
    }

    // Runs for `seconds` in `phase`, sampling every sample period; false once
    // a failure ended the run (m_failures says which).
    bool RunFor(double seconds, const std::string& phase) {
        const auto end =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            if (!Tick(phase)) return false;
        }
        return true;
    }

    // One step of at most 200 ms: checks, the steady viewers' reminder,
    // and a sample when one is due.
    bool Tick(const std::string& phase) {
        std::this_thread::sleep_for(200ms);  // pacing of the watch loop, not a wait for state
        if (g_interrupted.load()) {
            Failure("interrupted");
            return false;
        }
        const std::string ended = m_system.Ended();
        if (!ended.empty()) {
            Failure(ended);
            return false;
        }
        std::chrono::seconds idle{0};
        const std::string starved = m_steady.Starved(std::chrono::seconds(m_o.starveSeconds), idle);
        if (!starved.empty()) {
            Failure("steady viewer starved: " + starved + " received nothing for " + std::to_string(idle.count()) +
                    " s");
            return false;
        }
        if (Clock::now() >= m_nextReassert) {
            m_steady.Reassert();
            m_nextReassert = Clock::now() + 5s;
        }
        if (Clock::now() >= m_nextSample) {
            Sample(phase);
            m_nextSample = Clock::now() + std::chrono::seconds(m_o.sampleSeconds);
        }
        return true;
    }

    SampleRow Sample(const std::string& phase) {
        SampleRow row;
        row.seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
        row.phase = phase;
        for (const auto& w : m_system.Measured()) row.procs.push_back(SampleProcess(w.process->pid()));
        row.steadyImages = m_steady.Total();
        row.churnRounds = m_churn.Actions();
        m_rows.push_back(row);
        return row;
    }

    // Once the churn has stopped: polls once a second until every process
    // holds as many descriptors and threads as it did the second before,
    // three times in a row (bounded), and returns the last reading.
    std::vector<ProcStats> Settle(const std::string& phase) {
        std::vector<ProcStats> last;
        int stable = 0;
        for (int i = 0; i < 60 && stable < 3; ++i) {
            if (!RunFor(1, phase)) break;
            std::vector<ProcStats> now;
            for (const auto& w : m_system.Measured()) now.push_back(SampleProcess(w.process->pid()));
            bool same = now.size() == last.size();
            for (size_t k = 0; same && k < now.size(); ++k)
                same = now[k].fds == last[k].fds && now[k].threads == last[k].threads;
            stable = same ? stable + 1 : 0;
            last = now;
        }
        return last;
    }

    // Waits (bounded) until every process is back at its baseline; the
    // processes that are not, described.
    std::vector<std::string> BackToBaseline(const std::vector<ProcStats>& baseline) {
        std::vector<std::string> above;
        const auto deadline = Clock::now() + travik_test::Scaled(90s);
        while (Clock::now() < deadline) {
            if (!Tick("end")) break;
            above.clear();
            const auto watched = m_system.Measured();
            for (size_t k = 0; k < watched.size() && k < baseline.size(); ++k) {
                const std::string what = AboveBaseline(baseline[k], SampleProcess(watched[k].process->pid()));
                if (!what.empty()) above.push_back(watched[k].name + ": " + what);
            }
            if (above.empty()) break;
        }
        return above;
    }

    void Failure(const std::string& why) { m_failures.push_back(why); }
    const std::vector<std::string>& Failures() const { return m_failures; }
    const std::vector<SampleRow>& Rows() const { return m_rows; }
    const std::vector<std::string>& Names() const { return m_names; }
    double Minutes() const { return std::chrono::duration<double>(Clock::now() - m_start).count() / 60; }

private:
    const Options& m_o;
    SystemUnderTest& m_system;
    SteadyViewers& m_steady;
    Churn& m_churn;
    Clock::time_point m_start;
    Clock::time_point m_nextSample{};
    Clock::time_point m_nextReassert{};
    std::vector<std::string> m_names;
    std::vector<SampleRow> m_rows;
    std::vector<std::string> m_failures;
};

std::string Baseline(const std::vector<std::string>& names, const std::vector<ProcStats>& b) {
    std::string out;
    for (size_t k = 0; k < names.size() && k < b.size(); ++k) {
        if (!out.empty()) out += ", ";
        out += names[k] + " " + std::to_string(b[k].fds) + " fds / " + std::to_string(b[k].threads) + " threads";
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: travik_soak [--minutes M] [--out DIR] [--sample-seconds S] [--starve-seconds S] "
                     "[--no-memory-check]\n");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mkdir(o.out.c_str(), 0755);

    SystemConfig config;
    config.toolPath = TRAVIK_TOOL_PATH;
#if defined(TRAVIK_SOAK_NATS) && defined(TRAVIK_NATS_SERVER)
    config.natsServerPath = TRAVIK_NATS_SERVER;
#endif
#if defined(TRAVIK_SOAK_WEB)
    config.web = true;
#endif
    config.dir = o.out;

    SystemUnderTest system;
    std::string error;
    if (!system.Start(config, error)) {
        std::printf("SOAK FAIL: %s\n", error.c_str());
        return 1;
    }
    const std::string natsTarget = system.NatsUrl().empty() ? "" : system.NatsUrl() + "/" + SystemUnderTest::kNatsName;
    SteadyViewers steady;
    if (!steady.Start(system.DevicePort(), system.NatsUrl(), SystemUnderTest::kNatsName, system.FoxglovePort(),
                      error)) {
        std::printf("SOAK FAIL: %s\n", error.c_str());
        return 1;
    }
    Churn churn(ChurnTargets{config.toolPath, system.DevicePort(), natsTarget, system.FoxglovePort()});
    Soak soak(o, system, steady, churn);
    // The bridge and the web server set the device's switches as they join;
    // the steady viewers repeat their wish meanwhile.
    auto nextReassert = Clock::now();
    if (!travik_test::WaitUntil(
            [&] {
                if (Clock::now() >= nextReassert) {
                    steady.Reassert();
                    nextReassert = Clock::now() + 1s;
                }
                return steady.AllReceiving() || !system.Ended().empty();
            },
            60s) ||
        !steady.AllReceiving()) {
        std::printf("SOAK FAIL: steady viewers never received anything: %s%s\n", steady.Silent().c_str(),
                    system.Ended().empty() ? "" : (" (" + system.Ended() + ")").c_str());
        return 1;
    }

    const double total = o.minutes * 60;
    const double warmup = std::min(120.0, std::max(20.0, total / 6));
    std::string watched;
    for (const std::string& n : soak.Names()) watched += (watched.empty() ? "" : ", ") + n;
    std::fprintf(stderr, "[soak] watching %s; %.1f min: warm-up %.0f s, then churn; samples every %d s into %s\n",
                 watched.c_str(), o.minutes, warmup, o.sampleSeconds, o.out.c_str());
    soak.Sample("start");
    std::vector<ProcStats> baseline;
    bool ran = false;
    churn.Start();
    if (soak.RunFor(warmup, "warm-up")) {
        churn.Stop();
        baseline = soak.Settle("settle");
        soak.Sample("baseline");
        std::fprintf(stderr, "[soak] baseline: %s\n", Baseline(soak.Names(), baseline).c_str());
        churn.Start();
        ran = soak.RunFor(std::max(0.0, total - warmup), "churn");
    }
    churn.Stop();
    if (ran && baseline.size() == soak.Names().size()) {
        for (const std::string& above : soak.BackToBaseline(baseline))
            soak.Failure("not back at the baseline after the churn: " + above);
        soak.Sample("end");
    }
    if (churn.Failures() > 0)
        soak.Failure(std::to_string(churn.Failures()) + " churn client(s) failed, first: " + churn.FirstFailure());

    // Memory, on the samples of the churn proper.
    std::vector<std::string> memory;
    for (size_t k = 0; k < soak.Names().size(); ++k) {
        std::vector<double> rss;
        for (const SampleRow& r : soak.Rows())
            if (r.phase == "churn" && k < r.procs.size() && r.procs[k].rssBytes >= 0)
                rss.push_back(static_cast<double>(r.procs[k].rssBytes));
        const GrowthVerdict v = JudgeGrowth(rss);
        const double mib = 1024.0 * 1024.0;
        std::string line = soak.Names()[k] + " RSS " + Fixed(v.earlyBytes / mib, 1) + " -> " +
                           Fixed(v.lateBytes / mib, 1) + " MiB (tolerance " + Fixed(v.allowedBytes / mib, 1) + ")";
        if (!v.judged) line = soak.Names()[k] + " RSS not judged (" + std::to_string(rss.size()) + " samples)";
        if (!o.memoryCheck) line += " [not checked]";
        memory.push_back(line);
        if (o.memoryCheck && v.judged && v.grew) soak.Failure("memory grew after the warm-up: " + line);
    }
    steady.Stop();
    system.Stop();

    const bool pass = soak.Failures().empty();
    std::string summary = std::string(pass ? "SOAK PASS" : "SOAK FAIL") + ": " + Fixed(soak.Minutes(), 1) + " min, " +
                          std::to_string(churn.Actions()) + " churn actions, " + std::to_string(steady.Total()) +
                          " messages to the steady viewers (Foxglove rejoins " +
                          std::to_string(steady.FoxgloveRejoins()) + "); baseline " + Baseline(soak.Names(), baseline) +
                          "; ";
    for (size_t i = 0; i < memory.size(); ++i) summary += (i ? "; " : "") + memory[i];
    for (const std::string& f : soak.Failures()) summary += "\nFAILED: " + f;

    const std::string table = MarkdownTable(soak.Names(), soak.Rows(), 25);
    std::ostringstream md;
    char when[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    md << "Soak of " << when << ": " << Fixed(o.minutes, 1) << " min requested; every " << o.sampleSeconds << " s ("
       << soak.Rows().size() << " samples, at most 25 rows shown; all in soak.csv, plotted in soak.svg).\n\n"
       << table << "\n"
       << summary << "\n";
    std::ofstream(o.out + "/soak.md") << md.str();
    WriteCsv(o.out + "/soak.csv", soak.Names(), soak.Rows());
    WriteSvg(o.out + "/soak.svg", soak.Names(), soak.Rows());
    std::printf("%s", md.str().c_str());
    std::fflush(stdout);
    return pass ? 0 : 1;
}
