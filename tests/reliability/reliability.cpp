#include "reliability.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/test_support.h"

namespace travik_rel {

using Clock = std::chrono::steady_clock;

bool LongMode() {
    const char* mode = std::getenv("TRAVIK_RELIABILITY_MODE");
    return mode && std::strcmp(mode, "long") == 0;
}

bool Sanitized() {
#if defined(TRAVIK_RELIABILITY_SANITIZED)
    return true;
#else
    return false;
#endif
}

bool MemoryJudged() {
#if defined(_WIN32)
    std::printf("memory bounds not judged: they are set from glibc's allocator (figures only)\n");
    return false;
#else
    return !Sanitized();
#endif
}

long long Pick(long long shortValue, long long longValue, long long sanitizedShort) {
    if (LongMode()) return longValue;
    return Sanitized() ? sanitizedShort : shortValue;
}

void Figure(const std::string& name, const std::string& value) {
    std::fflush(stdout);
    std::printf("FIGURE %s: %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
}

void Figure(const std::string& name, long long value) { Figure(name, std::to_string(value)); }

void Figure(const std::string& name, double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    Figure(name, std::string(buf));
}

double MiB(long long bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

namespace {
// xorshift64*: cheap, and its output does not compress.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {
        if (s == 0) s = 1;
    }
    uint64_t Next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
};
}  // namespace

void FillImage(unsigned char* out, size_t len, uint64_t tag) {
    Rng rng(tag);
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t v = rng.Next();
        std::memcpy(out + i, &v, 8);
    }
    if (i < len) {
        uint64_t v = rng.Next();
        std::memcpy(out + i, &v, len - i);
    }
}

bool CheckImage(const unsigned char* p, size_t len, uint64_t tag) {
    Rng rng(tag);
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t v = rng.Next();
        if (std::memcmp(p + i, &v, 8) != 0) return false;
    }
    if (i < len) {
        uint64_t v = rng.Next();
        if (std::memcmp(p + i, &v, len - i) != 0) return false;
    }
    return true;
}

namespace {
template <typename T>
void SetOption(travik_test::RawSocket s, int level, int name, const T& value) {
#if defined(_WIN32)
    setsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<const char*>(&value), sizeof value);
#else
    setsockopt(s, level, name, &value, sizeof value);
#endif
}
}  // namespace

void NoDelay(travik_test::RawSocket s) { SetOption(s, IPPROTO_TCP, TCP_NODELAY, 1); }

void ResetOnClose(travik_test::RawSocket s) { SetOption(s, SOL_SOCKET, SO_LINGER, linger{1, 0}); }

int CountLinesStartingWith(const std::string& text, const std::string& prefix) {
    int n = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        if (text.compare(pos, prefix.size(), prefix) == 0) ++n;
        pos = end + 1;
    }
    return n;
}

// ---------------------------------------------------------------------------

RssPeak::RssPeak() {
    m_peak = travik_test::RssBytes();
    m_thread = std::thread([this] {
        // Bounded by its owner: Stop() or the destructor ends it.
        while (!m_stop.load()) {
            long long now = travik_test::RssBytes();
            long long seen = m_peak.load();
            while (now > seen && !m_peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

RssPeak::~RssPeak() { Stop(); }

void RssPeak::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

// ---------------------------------------------------------------------------

namespace {
constexpr uint64_t kWarmupBit = 1ull << 62;
}

LockstepStream::LockstepStream(TravikMgr& device, int port, int imageBytes)
    : m_device(device), m_port(port), m_imageBytes(imageBytes) {}

LockstepStream::~LockstepStream() {
    Stop();
    m_viewer.Release();
}

bool LockstepStream::Start() {
    char ip[] = "127.0.0.1";
    if (m_viewer.Connect(ip, m_port) != 0) {
        m_error = "healthy viewer could not connect";
        return false;
    }
    m_viewer.SetImageCb([this](int, int, int, int, int, std::shared_ptr<unsigned char>& data, int len,
                               unsigned long long tag) { OnImage(len, data, tag); });
    int on[4] = {1, 1, 1, 1};
    m_viewer.SendCmd(0, 1, on, 1);
    if (!travik_test::WaitUntil([this] { return m_device.m_sendInterval.load() == 1; })) {
        m_error = "the device did not apply the viewer's command";
        return false;
    }
    // The first image of a channel only starts its timer; stage warm-up
    // images until one arrives.
    auto deadline = Clock::now() + travik_test::Scaled(std::chrono::seconds(20));
    uint64_t warm = 0;
    while (Clock::now() < deadline) {
        auto data = std::shared_ptr<unsigned char>(new unsigned char[static_cast<size_t>(m_imageBytes)],
                                                   std::default_delete<unsigned char[]>());
        FillImage(data.get(), static_cast<size_t>(m_imageBytes), kWarmupBit | warm);
        m_device.SendImageDataPtr(1, 1, 0, 0, 0, data, m_imageBytes, kWarmupBit | warm);
        m_lastStage = Clock::now();
        ++warm;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_cond.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_warmupSeen > 0; })) break;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_warmupSeen == 0) {
            m_error = "no image reached the healthy viewer";
            return false;
        }
        m_stop = false;
    }
    m_producer = std::thread(&LockstepStream::Produce, this);
    return true;
}

void LockstepStream::OnImage(int len, const std::shared_ptr<unsigned char>& data, unsigned long long tag) {
    bool good = len == m_imageBytes && data && CheckImage(data.get(), static_cast<size_t>(len), tag);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (tag & kWarmupBit) {
        ++m_warmupSeen;
    } else {
        if (!good) {
            ++m_corrupt;
        } else if (tag <= m_lastTag) {
            ++m_orderErrors;
        } else {
            m_lastTag = tag;
            ++m_deliveredCount;
        }
    }
    m_cond.notify_all();
}

void LockstepStream::Produce() {
    uint64_t tag = 1;
    // The gap counts from the last warm-up image too.
    auto lastStage = m_lastStage;
    while (true) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) return;
        }
        // The interval gate lets an image through once more than 1 ms has
        // passed since the previous one; 2 ms leaves no doubt.
        auto earliest = lastStage + std::chrono::milliseconds(2);
        std::this_thread::sleep_until(earliest);
        auto data = std::shared_ptr<unsigned char>(new unsigned char[static_cast<size_t>(m_imageBytes)],
                                                   std::default_delete<unsigned char[]>());
        FillImage(data.get(), static_cast<size_t>(m_imageBytes), tag);
        auto staged = Clock::now();
        m_device.SendImageDataPtr(1, 1, 0, 0, 0, data, m_imageBytes, tag);
        // The device stamps the image at the end of the call; a producer
        // preempted inside it must not count from an earlier moment.
        lastStage = Clock::now();
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_staged;
        // Waits for this image even when a stop was asked meanwhile, so that
        // the count of staged images is judged fairly.
        m_cond.wait_for(lock, travik_test::Scaled(kDeliveryDeadline), [this, tag] { return m_lastTag >= tag; });
        double waited = std::chrono::duration<double, std::milli>(Clock::now() - staged).count();
        if (waited > m_maxWaitMs) m_maxWaitMs = waited;
        ++tag;
    }
}

void LockstepStream::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_cond.notify_all();
    }
    if (m_producer.joinable()) m_producer.join();
}

LockstepStream::Stats LockstepStream::Snapshot() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Stats s;
    s.staged = m_staged;
    s.delivered = m_deliveredCount;
    s.misses = m_staged > m_deliveredCount ? m_staged - m_deliveredCount : 0;
    s.orderErrors = m_orderErrors;
    s.corrupt = m_corrupt;
    s.maxWaitMs = m_maxWaitMs;
    return s;
}

bool LockstepStream::WaitForMore(uint64_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t target = m_deliveredCount + n;
    return m_cond.wait_for(lock, travik_test::Scaled(timeout), [this, target] { return m_deliveredCount >= target; });
}

// ---------------------------------------------------------------------------

const char* PeerPath() { return TRAVIK_RELIABILITY_PEER; }

bool Child::Spawn(const std::vector<std::string>& args, bool inheritFds, bool quiet) {
    travik_proc::SpawnOptions options;
    options.channel = travik_proc::SpawnOptions::Channel::kPipe;
    if (quiet) options.outPath = "/dev/null";
    options.closeOthers = !inheritFds;
    options.defaultSignals = false;
    std::vector<std::string> argv{PeerPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return m_process.Start(PeerPath(), argv, options);
}

bool Child::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
    return m_process.Channel().Read(line, travik_test::Scaled(timeout));
}

bool Child::WaitForLine(const std::string& prefix, std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + travik_test::Scaled(timeout);
    while (m_process.Channel().ReadBefore(line, deadline)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

int Child::Wait(std::chrono::milliseconds timeout) {
    const int status = m_process.Wait(travik_test::Scaled(timeout));
    return m_process.Ended() ? status : -1;
}

}  // namespace travik_rel
