#include "travik_bench/log_rows.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/loopback.h"
#include "travik_bench/child_process.h"

namespace travik_bench {
namespace {

// "stats ACCEPTED REFUSED"
bool ParseStats(const std::string& reply, long long& accepted, long long& refused) {
    if (reply.compare(0, 6, "stats ") != 0) return false;
    char* end = nullptr;
    accepted = std::strtoll(reply.c_str() + 6, &end, 10);
    refused = end && *end ? std::strtoll(end, nullptr, 10) : 0;
    return true;
}

bool AllSawSomething(const std::vector<ReceiverCount>& c) {
    for (const ReceiverCount& r : c)
        if (r.messages == 0 && r.lines == 0) return false;
    return !c.empty();
}

}  // namespace

std::string LogKey(const std::string& system, int viewers, const LogProducer& p) {
    const char* policy = p.perSecond > 0 ? "paced" : (p.lossless ? "lossless" : "flat");
    return "log." + system + (p.batched ? ".batch." : ".line.") + policy + ".v" + std::to_string(viewers);
}

LogRow RunLogRow(ChildProcess& sender, const Timing& t, const std::function<std::vector<ReceiverCount>()>& counts,
                 bool probe) {
    LogRow row;
    std::string reply;
    if (probe) {
        sender.Ask("probe", reply);
        const uint64_t until = NowNanos() + 10'000'000'000ull;
        while (!AllSawSomething(counts()) && NowNanos() < until) SleepSeconds(0.01);
        if (!AllSawSomething(counts())) {
            std::fprintf(stderr, "travik-bench: a log receiver never saw the probe\n");
            return row;
        }
    }
    sender.Ask("go", reply);
    const std::vector<ReceiverCount> atGo = counts();
    SleepSeconds(t.warmup);

    long long accepted0 = 0;
    long long accepted1 = 0;
    long long refused = 0;
    const std::vector<ReceiverCount> before = counts();
    sender.Ask("stats", reply);
    ParseStats(reply, accepted0, refused);
    const uint64_t t0 = NowNanos();
    const uint64_t t1 = WaitWindow(t0, t.logWindow, [&](uint64_t) {
        const std::vector<ReceiverCount> now = counts();
        for (size_t i = 0; i < now.size(); ++i)
            if (now[i].lines == before[i].lines) return false;
        return true;
    });
    const std::vector<ReceiverCount> after = counts();
    sender.Ask("stats", reply);
    ParseStats(reply, accepted1, refused);
    const double seconds = static_cast<double>(t1 - t0) / 1e9;

    // Halt the producer: from here on the sender's totals are final. Then
    // let what is on the way arrive: until every receiver has all accepted
    // lines, or none has moved for two seconds (what is missing then was
    // dropped), for at most twenty.
    if (!sender.Ask("halt", reply, 30000) || !ParseStats(reply, row.accepted, row.refused)) {
        std::fprintf(stderr, "travik-bench: the log sender did not halt: %s\n", reply.c_str());
        return row;
    }
    std::vector<ReceiverCount> last = counts();
    auto allArrived = [&] {
        for (size_t i = 0; i < last.size(); ++i)
            if (static_cast<long long>(last[i].lines - atGo[i].lines) < row.accepted) return false;
        return true;
    };
    uint64_t moved = NowNanos();
    const uint64_t drainEnd = moved + 20'000'000'000ull;
    while (!allArrived() && NowNanos() < drainEnd && NowNanos() - moved < 2'000'000'000ull) {
        SleepSeconds(0.02);
        const std::vector<ReceiverCount> now = counts();
        for (size_t i = 0; i < now.size(); ++i)
            if (now[i].lines != last[i].lines) moved = NowNanos();
        last = now;
    }

    uint64_t lines = 0;
    uint64_t messages = 0;
    row.minRate = -1;
    for (size_t i = 0; i < after.size(); ++i) {
        const double rate = static_cast<double>(after[i].lines - before[i].lines) / seconds;
        row.minRate = row.minRate < 0 ? rate : std::min(row.minRate, rate);
        lines += after[i].lines - before[i].lines;
        messages += after[i].messages - before[i].messages;
        const long long delivered = static_cast<long long>(last[i].lines - atGo[i].lines);
        row.worstLost = std::max(row.worstLost, row.accepted - delivered);
    }
    row.acceptedRate = static_cast<double>(accepted1 - accepted0) / seconds;
    row.linesPerMessage = messages > 0 ? static_cast<double>(lines) / static_cast<double>(messages) : 0;
    row.ok = row.minRate >= 0;
    return row;
}

void StoreLogRow(const std::string& key, const LogRow& row, int dropped, Results& results) {
    results.Set(key + ".lps", std::max(0.0, row.minRate));
    results.Set(key + ".accepted_lps", row.acceptedRate);
    if (row.linesPerMessage > 0) results.Set(key + ".lines_per_msg", row.linesPerMessage);
    results.Set(key + ".accepted", static_cast<double>(row.accepted));
    results.Set(key + ".refused", static_cast<double>(row.refused));
    results.Set(key + ".lost", static_cast<double>(row.worstLost));
    if (dropped >= 0) results.Set(key + ".dropped", dropped);
}

}  // namespace travik_bench
