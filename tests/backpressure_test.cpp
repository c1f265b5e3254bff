// A viewer that stops reading must cost the device bounded memory and must
// not hold back a healthy viewer; when log frames keep coming it is closed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "manager/manager_internal.h"
#include "support/raw_socket.h"
#include "support/test_support.h"
#include "transport/backlog_limits.h"
#include "transport/travik_transport.h"
#include "travik/travik.h"

using namespace travik_test;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BACKPRESSURE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BACKPRESSURE_SANITIZED 1
#endif
#endif

namespace {

// Reads frames on its own thread until the device closes the connection.
class HealthyViewer {
public:
    explicit HealthyViewer(RawClient& c) : m_client(c), m_thread([this] { Run(); }) {}
    ~HealthyViewer() { Join(); }
    // Ends the reading thread; also unblocks it when the device is still up.
    void Join() {
        m_stopping = true;
        if (m_client.fd() >= 0) travik_test::ShutdownSocket(static_cast<int>(m_client.fd()));
        if (m_thread.joinable()) m_thread.join();
    }
    std::atomic<int> images{0};
    std::atomic<int> logs{0};
    std::atomic<bool> sawMarker{false};
    std::atomic<bool> lostEarly{false};  // the connection ended before the test let it

private:
    void Run() {
        std::vector<unsigned char> f;
        while (m_client.ReadFrame(f, std::chrono::seconds(30))) {
            int type = GetLE32(f.data());
            if (type == 2) ++images;
            if (type == 1) {
                ++logs;
                static const std::string marker = "tail-marker";
                if (std::search(f.begin() + 16, f.end(), marker.begin(), marker.end()) != f.end()) sawMarker = true;
            }
        }
        if (!m_stopping) lostEarly = true;
    }
    RawClient& m_client;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

}  // namespace

TEST(Backpressure, StalledViewerIsBoundedThenClosedWhileHealthyOneKeepsUp) {
    constexpr size_t kImageBytes = 1 << 20;
    std::vector<std::vector<unsigned char>> images(4, std::vector<unsigned char>(kImageBytes));
    std::mt19937 rng(7);
    for (auto& img : images)
        for (auto& b : img) b = static_cast<unsigned char>(rng());  // incompressible

    auto cap = std::make_unique<StdoutCapture>();
    TravikMgr mgr;
    const int port = ListenOnAnyPort(mgr);
    ASSERT_GT(port, 0);

    RawClient healthy, stalled;
    ASSERT_TRUE(healthy.Connect(port));
    ASSERT_TRUE(stalled.Connect(port, 4096));  // never reads
    ASSERT_TRUE(WaitForViewers(mgr, 2));
    const int stalledFd = DeviceSideFd(stalled.fd());
    const int healthyFd = DeviceSideFd(healthy.fd());
    ASSERT_GE(stalledFd, 0);
    ASSERT_GE(healthyFd, 0);

    std::vector<unsigned char> cmd;
    for (int v : {3, 0, 32, 0, 1, 1, 0, 0, 0, 0, 0, 1}) PutLE32(cmd, v);  // logs on, 1 ms interval
    ASSERT_TRUE(healthy.Send(cmd));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_sendInterval.load() == 1 && mgr.m_logClosed.load() == 0; }));
    HealthyViewer reader(healthy);

    // Phase 1: images as fast as the interval lets them through. The stalled
    // viewer's backlog fills within the first second or so; after that the
    // device's memory must stay flat.
    constexpr int kSeconds = 4;
    const long long rssBase = RssBytes();
    long long rssEnd[kSeconds] = {};   // RSS at the end of each second
    long long rssPeak[kSeconds] = {};  // highest RSS seen during each second
    int windows[kSeconds] = {};        // image frames the healthy viewer got in each second
    const auto start = Clock::now();
    int staged = 0;
    for (int second = 0; second < kSeconds; ++second) {
        const int before = reader.images.load();
        const auto end = start + std::chrono::seconds(second + 1);
        rssPeak[second] = RssBytes();
        for (int i = 0; Clock::now() < end && i < 5000; ++i, ++staged) {
            auto& img = images[static_cast<size_t>(staged) % images.size()];
            ASSERT_EQ(mgr.SendImageData(1, 1, 0, 0, 1, img.data(), static_cast<int>(img.size()), staged), 0);
            if (i % 8 == 0) rssPeak[second] = std::max(rssPeak[second], RssBytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        windows[second] = reader.images.load() - before;
        rssEnd[second] = RssBytes();
        rssPeak[second] = std::max(rssPeak[second], rssEnd[second]);
    }
    const long long growth = *std::max_element(rssPeak, rssPeak + kSeconds) - rssBase;
    const long long lateGrowth = std::max(rssPeak[2], rssPeak[3]) - rssEnd[1];
    std::string text = cap->Text();
    EXPECT_EQ(text.find("slow connection"), std::string::npos) << "images alone must not close a viewer";
    for (int second = 0; second < kSeconds; ++second) EXPECT_GT(windows[second], 0) << "no image in second " << second;
    EXPECT_FALSE(reader.lostEarly.load());
    const long long bound =
        static_cast<long long>(travik::kSoftBacklogBytes + travik::kHardBacklogBytes) + (32LL << 20);
    const long long lateBound = static_cast<long long>(travik::kSoftBacklogBytes) + (8LL << 20);
#if defined(BACKPRESSURE_SANITIZED)
    // Sanitizer shadow memory and quarantine make RSS meaningless here.
    RecordProperty("rss_growth_bytes", std::to_string(growth));
    (void)bound;
    (void)lateBound;
    (void)lateGrowth;
#else
    EXPECT_LT(growth, bound) << "device RSS grew by " << (growth >> 20) << " MiB";
    EXPECT_LT(lateGrowth, lateBound) << "device RSS still growing: " << (lateGrowth >> 20) << " MiB in the last 2 s";
#endif

    // Phase 2: log frames are never skipped, so log text is refused while the
    // stalled viewer's backlog is full, until it is closed for making no
    // progress.
    const std::string slowLine = "slow connection fd = " + std::to_string(stalledFd) + " closed";
    std::string line(64 * 1024, 'L');
    // The stalled viewer holds up to the hard bound of log frames; what they
    // cost in address space must stay near their bytes, not their staging
    // limit each.
    const long long mappedBase = VirtualBytes();
    long long mappedPeak = mappedBase;
    const auto deadline = Clock::now() + Scaled(std::chrono::seconds(30));
    for (int i = 0; i < 20000 && Clock::now() < deadline; ++i) {
        mgr.SendLogInfo(line.data(), static_cast<int>(line.size()));  // refused once the staging is full
        if (i % 16 == 0) mappedPeak = std::max(mappedPeak, VirtualBytes());
        if (travik::ViewerCount(mgr) < 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
#if !defined(BACKPRESSURE_SANITIZED)
    EXPECT_LT(mappedPeak - mappedBase, 1LL << 30)
        << "queued log frames mapped " << ((mappedPeak - mappedBase) >> 20) << " MiB";
#else
    RecordProperty("mapped_growth_bytes", std::to_string(mappedPeak - mappedBase));
#endif
    ASSERT_TRUE(WaitForViewers(mgr, 1, std::chrono::seconds(30))) << "the stalled viewer was never closed";
    // What the device reported about it, in order.
    const std::string gone = "disconnect fd = " + std::to_string(stalledFd) + " \n";
    EXPECT_TRUE(WaitUntil([&] { return cap->Text().find(gone) != std::string::npos; }));
    text = cap->Text();
    const size_t slowAt = text.find(slowLine);
    ASSERT_NE(slowAt, std::string::npos);
    EXPECT_NE(text.find(gone, slowAt), std::string::npos);
    EXPECT_EQ(text.find("slow connection fd = " + std::to_string(healthyFd) + " "), std::string::npos);
    EXPECT_TRUE(stalled.WaitClosed(std::chrono::seconds(30)));

    // The healthy viewer is still there and still served.
    EXPECT_EQ(mgr.m_server->IsEmpty(), 0);
    ASSERT_TRUE(WaitUntil([&] { return mgr.SendLogInfo(const_cast<char*>("tail-marker"), 0) == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return reader.sawMarker.load(); }, std::chrono::seconds(30)));
    EXPECT_FALSE(reader.lostEarly.load());
    EXPECT_GT(reader.logs.load(), 0);

    const auto releaseStart = Clock::now();
    mgr.Release();
    EXPECT_LT(Clock::now() - releaseStart, std::chrono::seconds(3));
    reader.Join();
    cap.reset();
    printf("images staged %d, healthy got %d image and %d log frames, RSS growth %lld MiB (%lld MiB late)\n", staged,
           reader.images.load(), reader.logs.load(), growth >> 20, lateGrowth >> 20);
}

TEST(Backpressure, LogProducerFasterThanEveryViewerIsHeldBackNotDisconnecting) {
    // When no viewer keeps up, log text is refused (-1) before a backlog
    // would pass the hard bound, instead of closing the viewer. Accepted
    // text is never dropped for a connected viewer.
    auto cap = std::make_unique<StdoutCapture>();
    TravikMgr mgr;
    const int port = ListenOnAnyPort(mgr);
    ASSERT_GT(port, 0);
    RawClient stalled;
    ASSERT_TRUE(stalled.Connect(port, 4096));  // never reads
    ASSERT_TRUE(WaitUntil([&] { return mgr.IsConnected() == 1; }));
    std::vector<unsigned char> cmd;
    for (int v : {3, 0, 32, 0, 1, 1, 0, 0, 0, 0, 0, 0}) PutLE32(cmd, v);  // logs on
    ASSERT_TRUE(stalled.Send(cmd));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_logClosed.load() == 0; }));

    std::string line(64 * 1024 - 1, 'l');
    long long accepted = 0;
    bool refused = false;
    // Generous: the loop ends at the first refusal, which a sanitizer build
    // on a loaded machine reaches only after several seconds.
    const auto deadline = Clock::now() + Scaled(std::chrono::seconds(30));
    // 48 MiB of backlog is the hard bound; stop well after that.
    while (!refused && Clock::now() < deadline && accepted < (200LL << 20)) {
        if (mgr.SendLogInfo(&line[0], 0) == 0) {
            accepted += static_cast<long long>(line.size());
            // In step with the send thread, so that the text reaches the
            // connection's queue rather than piling up in the staging area.
            ASSERT_TRUE(WaitUntil([&] { return !mgr.m_dataReady.load(); }));
        } else {
            refused = true;
        }
    }
    EXPECT_TRUE(refused) << accepted << " bytes accepted without a refusal";
    // The backlog stops at the hard bound; the kernel's socket buffers,
    // autotuned on loopback, hold a few MB more.
    EXPECT_LT(accepted, static_cast<long long>(travik::kHardBacklogBytes) + (16LL << 20));
    EXPECT_TRUE(WaitUntil([&] { return !mgr.m_dataReady.load(); }));  // the send thread took the rest
    EXPECT_EQ(1, mgr.IsConnected());
    EXPECT_EQ(std::string::npos, cap->Text().find("slow connection")) << cap->Text();
    mgr.Release();
}

namespace {

// Lines of 64 bytes: a 15-digit line number, spaces, a newline.
constexpr size_t kLineLen = 64;
constexpr size_t kDigits = 15;
constexpr size_t kCallBytes = 16u << 20;
constexpr size_t kLinesPerCall = kCallBytes / kLineLen;
#if defined(BACKPRESSURE_SANITIZED)
constexpr int kExtraCalls = 0;  // the checks, not the volume, are the point there
#else
constexpr int kExtraCalls = 1;
#endif

// The decimal digits of a line number, counted up in place.
class LineNumber {
public:
    LineNumber() { std::memset(m_digits, '0', kDigits); }
    const char* digits() const { return m_digits; }
    void Next() {
        for (size_t i = kDigits; i-- > 0;) {
            if (m_digits[i] != '9') {
                ++m_digits[i];
                return;
            }
            m_digits[i] = '0';
        }
    }

private:
    char m_digits[kDigits];
};

// Reads log frames on its own thread and checks that they carry the lines
// 0, 1, 2, ... in order, nothing missing, nothing repeated. A slow reader
// pauses a millisecond after every 16 KiB (under 16 MB/s) but never stops.
class LineReader {
public:
    explicit LineReader(int port, bool slow = false) : m_slow(slow) {
        connected = m_client.Connect(port);
        m_thread = std::thread([this] { Run(); });
    }
    ~LineReader() { Join(); }
    void Join() {
        m_stopping = true;
        if (m_client.fd() >= 0) travik_test::ShutdownSocket(static_cast<int>(m_client.fd()));
        if (m_thread.joinable()) m_thread.join();
    }
    bool LogsOn() {
        std::vector<unsigned char> cmd;
        for (int v : {3, 0, 32, 0, 1, 1, 0, 0, 0, 0, 0, 0}) PutLE32(cmd, v);  // logs on
        return m_client.Send(cmd);
    }
    bool connected = false;
    std::atomic<size_t> lines{0};
    std::atomic<bool> wrong{false};
    std::atomic<bool> lostEarly{false};

private:
    void Run() {
        std::vector<unsigned char> f;
        LineNumber expected;
        while (!wrong && ReadFrame(f)) {
            if (GetLE32(f.data()) != 1) continue;
            const size_t text = f.size() - 16 - 1;  // the payload ends with a NUL
            if (f.size() < 17 || text % kLineLen != 0) {
                wrong = true;
                break;
            }
            size_t n = lines.load();
            for (size_t at = 16; at < 16 + text; at += kLineLen, ++n, expected.Next()) {
                if (std::memcmp(f.data() + at, expected.digits(), kDigits) != 0 || f[at + kLineLen - 1] != '\n') {
                    wrong = true;
                    break;
                }
            }
            lines = n;
        }
        if (!m_stopping) lostEarly = true;
    }
    bool ReadFrame(std::vector<unsigned char>& f) {
        if (!m_slow) return m_client.ReadFrame(f, std::chrono::seconds(60));
        if (!m_client.ReadExact(f, 16, std::chrono::seconds(60))) return false;
        const int32_t len = GetLE32(f.data() + 8);
        std::vector<unsigned char> piece;
        for (int32_t left = len; left > 0; left -= static_cast<int32_t>(piece.size())) {
            if (!m_client.ReadExact(piece, std::min<size_t>(16 * 1024, static_cast<size_t>(left)),
                                    std::chrono::seconds(60)))
                return false;
            f.insert(f.end(), piece.begin(), piece.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return len >= 0;
    }
    const bool m_slow;
    RawClient m_client;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

// Stages `calls` texts of kCallBytes (whole lines, numbered on from 0),
// retrying each refused one; false when one is still refused at `deadline`.
bool ProduceRetrying(TravikMgr& mgr, int calls, Clock::time_point deadline, int& refusals) {
    std::string text(kCallBytes, ' ');
    LineNumber number;
    for (int call = 0; call < calls; ++call) {
        for (size_t i = 0; i < kLinesPerCall; ++i, number.Next()) {
            std::memcpy(&text[i * kLineLen], number.digits(), kDigits);
            text[i * kLineLen + kLineLen - 1] = '\n';
        }
        while (mgr.SendLogInfo(&text[0], 0) != 0) {
            if (Clock::now() > deadline) return false;
            ++refusals;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

}  // namespace

// The rule a user who retries on refusal relies on: eight viewers that keep
// reading, two of them slowly, get every line of a producer staging 16 MB
// per call, and none is closed as slow, however far behind the fast ones
// the slow ones fall.
TEST(Backpressure, RetryingProducerLosesNoLineAtEightReadingViewers) {
    constexpr int kCalls = 3 + kExtraCalls;
    TravikMgr mgr;
    const int port = ListenOnAnyPort(mgr);
    ASSERT_GT(port, 0);
    std::vector<std::unique_ptr<LineReader>> viewers;
    for (int i = 0; i < 8; ++i) {
        viewers.push_back(std::make_unique<LineReader>(port, i < 2));
        ASSERT_TRUE(viewers.back()->connected);
    }
    ASSERT_TRUE(WaitForViewers(mgr, 8));
    ASSERT_TRUE(viewers[0]->LogsOn());
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_logClosed.load() == 0; }));

    int refusals = 0;
    ASSERT_TRUE(ProduceRetrying(mgr, kCalls, Clock::now() + Scaled(std::chrono::seconds(60)), refusals));
    const size_t total = kCalls * kLinesPerCall;
    EXPECT_TRUE(WaitUntil(
        [&] { return std::all_of(viewers.begin(), viewers.end(), [&](const auto& v) { return v->lines >= total; }); },
        std::chrono::seconds(60)));
    for (const auto& v : viewers) {
        EXPECT_EQ(v->lines.load(), total);
        EXPECT_FALSE(v->wrong.load()) << "a line missing, repeated or out of order";
        EXPECT_FALSE(v->lostEarly.load()) << "a reading viewer was closed";
    }
    EXPECT_EQ(travik::ViewerCount(mgr), 8);
    mgr.Release();
    RecordProperty("refusals", refusals);
}

// A viewer that stops reading holds the producer back for the no-progress
// deadline only: it is then closed, and the seven that read lose nothing.
TEST(Backpressure, StoppedViewerIsCutAfterTheDeadlineOthersLoseNothing) {
    constexpr int kCalls = 4 + kExtraCalls;  // past what the stopped viewer's backlog can hold
    TravikMgr mgr;
    const int port = ListenOnAnyPort(mgr);
    ASSERT_GT(port, 0);
    RawClient stopped;
    ASSERT_TRUE(stopped.Connect(port, 4096));  // never reads
    std::vector<std::unique_ptr<LineReader>> viewers;
    for (int i = 0; i < 7; ++i) {
        viewers.push_back(std::make_unique<LineReader>(port));
        ASSERT_TRUE(viewers.back()->connected);
    }
    ASSERT_TRUE(WaitForViewers(mgr, 8));
    ASSERT_TRUE(viewers[0]->LogsOn());
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_logClosed.load() == 0; }));

    int refusals = 0;
    const auto start = Clock::now();
    const auto noProgress = std::chrono::microseconds(travik::kNoProgressMicros);
    ASSERT_TRUE(ProduceRetrying(mgr, kCalls, start + noProgress + Scaled(std::chrono::seconds(60)), refusals));
    EXPECT_GT(refusals, 0) << "the stopped viewer never held the producer back";
    EXPECT_GE(Clock::now() - start, noProgress) << "cut before the no-progress deadline";
    EXPECT_TRUE(stopped.WaitClosed(std::chrono::seconds(30)));
    const size_t total = kCalls * kLinesPerCall;
    EXPECT_TRUE(WaitUntil(
        [&] { return std::all_of(viewers.begin(), viewers.end(), [&](const auto& v) { return v->lines >= total; }); },
        std::chrono::seconds(60)));
    for (const auto& v : viewers) {
        EXPECT_EQ(v->lines.load(), total);
        EXPECT_FALSE(v->wrong.load()) << "a line missing, repeated or out of order";
        EXPECT_FALSE(v->lostEarly.load()) << "a reading viewer was closed";
    }
    EXPECT_EQ(travik::ViewerCount(mgr), 7);
    mgr.Release();
}
