// travik-record-bench: how fast the recorder's MCAP writer stores camera
// frames, against the disk's own speed for the same bytes, and how big a
// minute of recording is. It synthesises the demo's four channels (gray and
// RGB 640x480 and 320x240, the tool's test pattern) at --fps images per
// second per channel with 5 log lines a second, writes --seconds of them as
// fast as it can and syncs the file, so the time includes the disk.
//
//   travik-record-bench --dir DIR [--seconds 60] [--fps 10] [--noise 0]
//                       [--mode zstd|none|plain] [--layout foxglove|travik]
// Prints one tab-separated line: mode, noise, raw image bytes, file bytes,
// seconds, raw MB/s, layout. `plain` writes the raw image bytes with
// write(2) only: the disk's speed. The layout is what `travik record
// --layout` writes (recording/mcap/recording.h).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_pattern.h"
#include "recording/mcap/recording.h"

namespace {

struct Shape {
    int width, height, attr2;
};
const Shape kDemo[4] = {{640, 480, 1}, {640, 480, 3}, {320, 240, 1}, {320, 240, 3}};
constexpr int kDistinctFrames = 8;  // drawn up front, then cycled: drawing is not what is measured

bool SyncFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY);
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, mode = "zstd", layout = "foxglove";
    double seconds = 60, fps = 10;
    int noise = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--dir")
            dir = v;
        else if (k == "--mode")
            mode = v;
        else if (k == "--layout")
            layout = v;
        else if (k == "--seconds")
            seconds = std::atof(v.c_str());
        else if (k == "--fps")
            fps = std::atof(v.c_str());
        else if (k == "--noise")
            noise = std::atoi(v.c_str());
        else {
            std::fprintf(stderr, "travik-record-bench: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (dir.empty() || seconds <= 0 || fps <= 0 || (mode != "zstd" && mode != "none" && mode != "plain") ||
        (layout != "foxglove" && layout != "travik")) {
        std::fprintf(stderr,
                     "usage: travik-record-bench --dir DIR [--seconds S] [--fps F] [--noise N] "
                     "[--mode zstd|none|plain] [--layout foxglove|travik]\n");
        return 2;
    }
    std::vector<std::vector<unsigned char>> frames[4];
    for (int c = 0; c < 4; ++c) {
        const Shape& s = kDemo[c];
        for (int f = 0; f < kDistinctFrames; ++f) {
            frames[c].emplace_back(static_cast<size_t>(s.width) * s.height * (s.attr2 == 3 ? 3 : 1));
            travik_tool::DrawTestPattern(frames[c].back().data(), s.width, s.height, s.attr2, c, f, noise);
        }
    }
    const std::string path = dir + "/record-bench." + (mode == "plain" ? "raw" : "mcap");
    const long ticks = static_cast<long>(seconds * fps);
    const uint64_t stepNs = static_cast<uint64_t>(1e9 / fps);
    uint64_t raw = 0;
    const auto start = std::chrono::steady_clock::now();
    if (mode == "plain") {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            std::perror(path.c_str());
            return 1;
        }
        for (long t = 0; t < ticks; ++t) {
            for (int c = 0; c < 4; ++c) {
                const auto& f = frames[c][static_cast<size_t>(t % kDistinctFrames)];
                if (write(fd, f.data(), f.size()) != static_cast<ssize_t>(f.size())) {
                    std::perror("write");
                    return 1;
                }
                raw += f.size();
            }
        }
        fsync(fd);
        close(fd);
    } else {
        travik_mcap::Writer w;
        travik_mcap::WriterOptions o;
        o.zstd = mode == "zstd";
        std::string error;
        travik_mcap::RecordingChannels ids;
        const auto l = layout == "travik" ? travik_mcap::Layout::kTravik : travik_mcap::Layout::kFoxglove;
        if (!w.Open(path, o, error) || !travik_mcap::AddRecordingChannels(w, ids, l)) {
            std::fprintf(stderr, "%s\n", error.empty() ? w.Error().c_str() : error.c_str());
            return 1;
        }
        uint64_t now = 1700000000000000000ull;
        const std::string line = "device log line 123: frame 456, uptime 7.8 s\n";
        std::string scratch;
        for (long t = 0; t < ticks; ++t) {
            now += stepNs;
            for (int c = 0; c < 4; ++c) {
                const auto& f = frames[c][static_cast<size_t>(t % kDistinctFrames)];
                int a1 = c >= 2 ? 2 : 1, a5 = c % 2 ? 3 : 1;
                int attrs[5] = {a1, kDemo[c].attr2, kDemo[c].width, kDemo[c].height, a5};
                travik_mcap::WriteImage(w, ids, now, c, attrs, now / 1000, f.data(), f.size(), scratch);
                raw += f.size();
            }
            if (static_cast<long>(t * 5 / fps) != static_cast<long>((t + 1) * 5 / fps))
                travik_mcap::WriteLog(w, ids, now, reinterpret_cast<const uint8_t*>(line.data()), line.size(), scratch);
        }
        if (!w.Close() || !SyncFile(path)) {
            std::fprintf(stderr, "%s\n", w.Error().c_str());
            return 1;
        }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    FILE* f = std::fopen(path.c_str(), "rb");
    long long fileBytes = 0;
    if (f) {
        std::fseek(f, 0, SEEK_END);
        fileBytes = std::ftell(f);
        std::fclose(f);
    }
    std::remove(path.c_str());
    std::printf("%s\t%d\t%llu\t%lld\t%.3f\t%.1f\t%s\n", mode.c_str(), noise, static_cast<unsigned long long>(raw),
                fileBytes, secs, static_cast<double>(raw) / 1e6 / secs, layout.c_str());
    return 0;
}
