#include "proc_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace travik_soak {

namespace {

int CountEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

}  // namespace

ProcStats SampleProcess(pid_t pid) {
    ProcStats s;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream statm(base + "/statm");
    long long pages = 0, rss = 0;
    if (statm >> pages >> rss) s.rssBytes = rss * sysconf(_SC_PAGESIZE);
    s.fds = CountEntries(base + "/fd");
    s.threads = CountEntries(base + "/task");
    return s;
}

}  // namespace travik_soak
