// What the device puts on the wire: raw-socket viewers open the streams with
// hand-built command frames and check log and image frames byte by byte.
// Where a case depends on what the send thread takes in one pass, the
// device's transport is wrapped so that the test can hold the send thread
// while it stages.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "manager/manager_internal.h"
#include "support/test_support.h"
#include "transport/travik_transport.h"
#include "travik/travik.h"

#if defined(TRAVIK_WITH_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

using namespace travik_test;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes Command(int log, int image, std::vector<int> channels, int interval) {
    Bytes f;
    for (int v : {3, 0, 32, 0, 1, log, image}) PutLE32(f, v);
    for (int v : channels) PutLE32(f, v);
    PutLE32(f, interval);
    return f;
}

struct Record {
    int32_t attr1, attr2, attr3, attr4, attr5, len;
    uint64_t tag;
    Bytes bytes;
};

// Inflates an image frame with the codec library itself and splits the
// records by hand; false (with a gtest failure) when anything is off.
bool ParseImageFrame(const Bytes& f, std::vector<Record>& out) {
    out.clear();
    if (f.size() < 16 || GetLE32(&f[0]) != 2) {
        ADD_FAILURE() << "not an image frame";
        return false;
    }
    EXPECT_EQ(GetLE32(&f[4]), 1) << "compressed flag";
    const int32_t dataLen = GetLE32(&f[8]);
    const int32_t rawLen = GetLE32(&f[12]);
    EXPECT_EQ(static_cast<size_t>(dataLen), f.size() - 16);
    Bytes raw(static_cast<size_t>(rawLen));
#if defined(TRAVIK_WITH_LIBDEFLATE)
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    size_t got = 0;
    bool ok = libdeflate_zlib_decompress(d, &f[16], static_cast<size_t>(dataLen), raw.data(), raw.size(), &got) ==
              LIBDEFLATE_SUCCESS;
    libdeflate_free_decompressor(d);
#else
    uLongf got = static_cast<uLongf>(rawLen);
    bool ok = uncompress(raw.data(), &got, &f[16], static_cast<uLong>(dataLen)) == Z_OK;
#endif
    if (!ok || got != static_cast<size_t>(rawLen)) {
        ADD_FAILURE() << "payload does not inflate to exactly rawLen " << rawLen;
        return false;
    }
    size_t at = 0;
    while (at < raw.size()) {
        if (raw.size() - at < 32) break;
        const unsigned char* h = &raw[at];
        Record r{GetLE32(h),      GetLE32(h + 12), GetLE32(h + 16), GetLE32(h + 20),
                 GetLE32(h + 24), GetLE32(h + 28), GetLE64(h + 4),  {}};
        at += 32;
        if (r.len < 0 || raw.size() - at < static_cast<size_t>(r.len)) break;
        r.bytes.assign(raw.begin() + static_cast<long>(at), raw.begin() + static_cast<long>(at) + r.len);
        at += static_cast<size_t>(r.len);
        out.push_back(std::move(r));
    }
    EXPECT_EQ(at, raw.size()) << "records do not fill rawLen exactly";
    return at == raw.size();
}

std::string LogText(const Bytes& f) {
    EXPECT_EQ(GetLE32(&f[0]), 1) << "not a log frame";
    EXPECT_EQ(f.back(), 0) << "log text without its NUL";
    return std::string(f.begin() + 16, f.end() - 1);
}

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed * 131 + i * 7);
    return b;
}

// Forwards to the real transport; while armed, the send thread stops in its
// next SendData/SendLatest until the test opens the gate again.
class GatedTransport : public Travik {
public:
    explicit GatedTransport(std::shared_ptr<Travik> inner) : m_inner(std::move(inner)) {}
    int Listen(int port) override { return m_inner->Listen(port); }
    int Connect(const char* ip, int port) override { return m_inner->Connect(ip, port); }
    int SendData(std::shared_ptr<unsigned char>& d, int len) override {
        Gate();
        return m_inner->SendData(d, len);
    }
    int SendLatest(std::shared_ptr<unsigned char>& d, int len) override {
        Gate();
        return m_inner->SendLatest(d, len);
    }
    int IsEmpty() override {
        int r = m_inner->IsEmpty();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::this_thread::get_id() == m_sender) ++m_senderChecks;
        return r;
    }
    int SetReadCb(TravikReadCb cb) override { return m_inner->SetReadCb(std::move(cb)); }
    int Stop() override {
        Open();
        return m_inner->Stop();
    }
    int SetCloseCb(std::function<void(unsigned long long)> cb) override { return m_inner->SetCloseCb(std::move(cb)); }
    bool AllBacklogged() override { return m_inner->AllBacklogged(); }
    bool WaitStopped(int ms) override { return m_inner->WaitStopped(ms); }
    bool OnLoopThread() const override { return m_inner->OnLoopThread(); }
    int BoundPort() const override { return m_inner->BoundPort(); }
    int ConnectionCount() override { return m_inner->ConnectionCount(); }

    void Arm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = true;
    }
    bool WaitParked() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, Scaled(std::chrono::seconds(10)), [&] { return m_parked; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = false;
        m_cond.notify_all();
    }
    // IsEmpty calls made by the send thread so far.
    int SenderChecks() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_senderChecks;
    }

private:
    void Gate() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_sender = std::this_thread::get_id();
        if (!m_armed) return;
        m_parked = true;
        m_cond.notify_all();
        m_cond.wait_for(lock, Scaled(std::chrono::seconds(10)), [&] { return !m_armed; });
        m_parked = false;
    }

    std::shared_ptr<Travik> m_inner;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_armed = false;
    bool m_parked = false;
    std::thread::id m_sender;
    int m_senderChecks = 0;
};

class DeviceStream : public ::testing::Test {
protected:
    void SetUp() override { m_capture = std::make_unique<StdoutCapture>(); }
    void TearDown() override {
        std::string text = m_capture->Text();
        m_capture.reset();
        if (HasFailure()) fprintf(stderr, "--- device output ---\n%s", text.c_str());
    }

    void StartDevice(bool gated = false) {
        if (gated) {
            gate = std::make_shared<GatedTransport>(MakeTravikObj());
            mgr.m_server = gate;  // Listen keeps a transport that is already there
        }
        port = ListenOnAnyPort(mgr);
        ASSERT_GT(port, 0);
        // The gate parks whichever thread hands a frame over. With one
        // compression thread that is always the send thread; with more, a
        // build whose compressor works on whole frames sends from a worker
        // while the send thread goes on taking what is staged.
        if (gated) {
            ASSERT_EQ(mgr.SetCompression(6, 1), 0);
        }
    }
    // Connects and waits until the device has registered this viewer.
    void AddViewer(RawClient& v) {
        const int before = travik::ViewerCount(mgr);
        ASSERT_TRUE(v.Connect(port));
        ASSERT_TRUE(WaitForViewers(mgr, before + 1));
    }
    // Opens the log stream and sets the image interval (ms) from `v`.
    void OpenLogs(RawClient& v, int interval = 1) {
        ASSERT_TRUE(v.Send(Command(1, 0, {0, 0, 0, 0}, interval)));
        ASSERT_TRUE(WaitUntil([&] { return mgr.m_logClosed.load() == 0 && mgr.m_sendInterval.load() == interval; }));
    }
    int Image(int attr1, int attr5, const Bytes& b, unsigned long long tag, int attr2 = 1) {
        return mgr.SendImageData(attr1, attr2, 30, 40, attr5, const_cast<unsigned char*>(b.data()),
                                 static_cast<int>(b.size()), tag);
    }
    int Log(const char* text) { return mgr.SendLogInfo(const_cast<char*>(text), 0); }
    // Starts the interval timers of the given channels (first images are dropped).
    void PrimeChannels(std::vector<std::pair<int, int>> channels) {
        Bytes b = Pattern(8, 0);
        for (auto [a1, a5] : channels) ASSERT_EQ(Image(a1, a5, b, 0), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // beyond the 1 ms interval
    }
    Bytes Next(RawClient& v) {
        Bytes f;
        EXPECT_TRUE(v.ReadFrame(f)) << "no frame";
        if (f.size() < 16) f.assign(16, 0);
        return f;
    }
    // Reads frames up to and including the log frame that holds `marker`.
    std::vector<Bytes> ReadUntil(RawClient& v, const std::string& marker) {
        std::vector<Bytes> frames;
        for (int n = 0; n < 100; ++n) {
            Bytes f;
            if (!v.ReadFrame(f) || f.size() < 16) break;
            frames.push_back(f);
            if (GetLE32(&f[0]) == 1 && LogText(f).find(marker) != std::string::npos) return frames;
        }
        ADD_FAILURE() << "marker " << marker << " never arrived";
        return frames;
    }
    // Each viewer's frames for everything staged before this call. A pass
    // sends its log frame before its image frame, so an image staged before
    // one marker may follow it; it cannot follow a second marker staged after
    // the first one arrived.
    std::vector<std::vector<Bytes>> Settle(std::vector<RawClient*> viewers) {
        std::vector<std::vector<Bytes>> frames(viewers.size());
        for (const char* marker : {"#sync-1#", "#sync-2#"}) {
            EXPECT_EQ(Log(marker), 0);
            for (size_t i = 0; i < viewers.size(); ++i) {
                std::vector<Bytes> got = ReadUntil(*viewers[i], marker);
                frames[i].insert(frames[i].end(), got.begin(), got.end());
            }
        }
        return frames;
    }
    std::vector<Bytes> Settle(RawClient& v) { return Settle(std::vector<RawClient*>{&v})[0]; }
    std::vector<Record> ImagesIn(const std::vector<Bytes>& frames) {
        std::vector<Record> all, recs;
        for (const Bytes& f : frames) {
            if (GetLE32(&f[0]) != 2) continue;
            if (ParseImageFrame(f, recs)) all.insert(all.end(), recs.begin(), recs.end());
        }
        return all;
    }

    TravikMgr mgr;
    std::shared_ptr<GatedTransport> gate;
    int port = 0;

private:
    std::unique_ptr<StdoutCapture> m_capture;
};

}  // namespace

TEST_F(DeviceStream, LogFrameIsExactBytes) {
    StartDevice();
    RawClient v;
    AddViewer(v);
    OpenLogs(v);
    ASSERT_EQ(mgr.SendLogInfo(const_cast<char*>("abc"), 1), 0);  // len is not what counts
    Bytes f = Next(v);
    const Bytes want = {1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 0};
    EXPECT_EQ(f, want);
}

TEST_F(DeviceStream, LogPiecesArriveWholeAndInOrder) {
    StartDevice();
    RawClient v;
    AddViewer(v);
    OpenLogs(v);
    std::string staged;
    for (int i = 0; i < 200; ++i) {
        char piece[16];
        snprintf(piece, sizeof piece, "<%03d>", i);
        ASSERT_EQ(Log(piece), 0);
        staged += piece;
    }
    std::string got;
    for (int frames = 0; got.size() < staged.size() && frames < 200; ++frames) got += LogText(Next(v));
    EXPECT_EQ(got, staged);
}

TEST_F(DeviceStream, EverythingStagedDuringOnePassTravelsInOneLogAndOneImageFrame) {
    StartDevice(true);
    RawClient v;
    AddViewer(v);
    OpenLogs(v);
    PrimeChannels({{1, 1}});
    gate->Arm();
    ASSERT_EQ(Log("x"), 0);
    ASSERT_TRUE(gate->WaitParked());
    Bytes img = Pattern(100, 3);
    ASSERT_EQ(Log("ab"), 0);
    ASSERT_EQ(Image(1, 1, img, 77), 0);
    ASSERT_EQ(Log("cd"), 0);
    ASSERT_EQ(Log("ef"), 0);
    gate->Open();
    EXPECT_EQ(LogText(Next(v)), "x");
    EXPECT_EQ(LogText(Next(v)), "abcdef");
    std::vector<Record> recs;
    ASSERT_TRUE(ParseImageFrame(Next(v), recs));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].tag, 77u);
    EXPECT_EQ(recs[0].bytes, img);
}

TEST_F(DeviceStream, ImagesOfTwoChannelsShareOneFrameInChannelOrder) {
    StartDevice(true);
    RawClient v;
    AddViewer(v);
    OpenLogs(v);
    PrimeChannels({{1, 1}, {7, 3}, {2, 3}});
    gate->Arm();
    Bytes primer = Pattern(10, 1);
    ASSERT_EQ(Image(1, 1, primer, 5), 0);  // channel 0: taken, then held at the gate
    ASSERT_TRUE(gate->WaitParked());
    const unsigned long long topTag = 0x8000000000000001ULL;
    Bytes a = Pattern(3000, 2), b = Pattern(1234, 4);
    ASSERT_EQ(Image(2, 3, a, topTag, 0), 0);  // channel 3, attr2 0
    ASSERT_EQ(Image(7, 3, b, 42, 9), 0);      // channel 1
    gate->Open();

    std::vector<Record> recs;
    ASSERT_TRUE(ParseImageFrame(Next(v), recs));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].tag, 5u);

    Bytes f = Next(v);
    EXPECT_EQ(GetLE32(&f[12]), 32 + 1234 + 32 + 3000) << "rawLen";
    ASSERT_TRUE(ParseImageFrame(f, recs));
    ASSERT_EQ(recs.size(), 2u) << "channel 0 must not be repeated";
    // Channel 1 first.
    EXPECT_EQ(recs[0].attr1, 7);
    EXPECT_EQ(recs[0].attr2, 9);
    EXPECT_EQ(recs[0].attr5, 3);
    EXPECT_EQ(recs[0].tag, 42u);
    EXPECT_EQ(recs[0].len, 1234);
    EXPECT_EQ(recs[0].bytes, b);
    // Then channel 3, with attr2 0 carried as 1 and the tag's top bit intact.
    EXPECT_EQ(recs[1].attr1, 2);
    EXPECT_EQ(recs[1].attr2, 1);
    EXPECT_EQ(recs[1].attr3, 30);
    EXPECT_EQ(recs[1].attr4, 40);
    EXPECT_EQ(recs[1].attr5, 3);
    EXPECT_EQ(recs[1].tag, topTag);
    EXPECT_EQ(recs[1].len, 3000);
    EXPECT_EQ(recs[1].bytes, a);
}

TEST_F(DeviceStream, FirstImageOnlyStartsTheTimerAndDefaultIntervalIs200Ms) {
    StartDevice();
    RawClient v;
    AddViewer(v);
    ASSERT_TRUE(v.Send(Command(1, 0, {0, 0, 0, 0}, 0)));  // logs on, interval kept
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_logClosed.load() == 0; }));
    ASSERT_EQ(mgr.m_sendInterval.load(), 200);
    Bytes img = Pattern(64, 9);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Image(1, 1, img, 1), 0);  // starts the timer, dropped
    ASSERT_EQ(Image(1, 1, img, 2), 0);  // too early, dropped
    const bool secondWasEarly = std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(150);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(Image(1, 1, img, 3), 0);  // more than 200 ms later: staged
    ASSERT_EQ(Image(1, 1, img, 4), 0);  // right after the staged one: dropped

    std::vector<Record> recs = ImagesIn(Settle(v));
    ASSERT_EQ(recs.size(), 1u);
    if (secondWasEarly) {
        EXPECT_EQ(recs[0].tag, 3u);
    }
    EXPECT_EQ(recs[0].bytes, img);
}

TEST_F(DeviceStream, HugeIntervalsHoldImagesBackWithoutOverflow) {
    StartDevice();
    RawClient v;
    AddViewer(v);
    // 4294968 ms is 4294968000 us: a 32-bit product would wrap to 704 us.
    for (int interval : {3000000, 4294968}) {
        OpenLogs(v, interval);
        PrimeChannels({{1, 1}});
        ASSERT_EQ(Image(1, 1, Pattern(16, 1), 99), 0);
        EXPECT_TRUE(ImagesIn(Settle(v)).empty()) << "image passed an interval of " << interval << " ms";
    }
}

TEST_F(DeviceStream, StagingResults) {
    StartDevice();
    Bytes img = Pattern(16, 2);
    // Nobody connected: log refused, image accepted but not staged.
    EXPECT_EQ(Log("early"), -1);
    EXPECT_EQ(Image(1, 1, img, 1), 0);

    RawClient v;
    AddViewer(v);
    EXPECT_EQ(Log("closed by default"), -1);
    EXPECT_EQ(mgr.SendLogInfo(nullptr, 5), -1);
    OpenLogs(v);
    EXPECT_EQ(Log("open"), 0);
    EXPECT_EQ(mgr.SendLogInfo(nullptr, 5), -1);
    EXPECT_EQ(LogText(Next(v)), "open");

    EXPECT_EQ(mgr.SendImageData(1, 1, 0, 0, 1, nullptr, 5, 0), -1);
    EXPECT_EQ(mgr.SendImageData(1, 1, 0, 0, 1, img.data(), -1, 0), -1);
    EXPECT_EQ(mgr.SendImageDataPtr(1, 1, 0, 0, 1, nullptr, 5, 0), -1);
    EXPECT_EQ(mgr.SendImageData(1, 1, 0, 0, 1, nullptr, 0, 0), 0);
    EXPECT_EQ(Image(1, 1, img, 1), 0);

    // The image stream closed by a viewer refuses both image calls.
    ASSERT_TRUE(v.Send(Command(0, 2, {0, 0, 0, 0}, 0)));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_imageClosed.load() == 1; }));
    EXPECT_EQ(Image(1, 1, img, 1), -1);
    std::shared_ptr<unsigned char> shared(new unsigned char[4](), std::default_delete<unsigned char[]>());
    EXPECT_EQ(mgr.SendImageDataPtr(1, 1, 0, 0, 1, shared, 4, 0), -1);
    EXPECT_EQ(Log("logs unaffected"), 0);
    ASSERT_TRUE(v.Send(Command(0, 1, {0, 0, 0, 0}, 0)));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_imageClosed.load() == 0; }));
    EXPECT_EQ(Image(1, 1, img, 1), 0);

    // The last viewer leaves: logs refused again.
    v.Close();
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_server->IsEmpty() == 1; }));
    EXPECT_EQ(Log("gone"), -1);
    EXPECT_EQ(Image(1, 1, img, 1), 0);
}

TEST_F(DeviceStream, SwitchedOffChannelIsDroppedWhileOthersContinue) {
    StartDevice();
    RawClient v;
    AddViewer(v);
    OpenLogs(v);
    ASSERT_TRUE(v.Send(Command(0, 0, {0, 2, 0, 0}, 0)));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_sendImagesOnOff[1].load() == 0; }));
    PrimeChannels({{1, 1}, {7, 3}});
    Bytes img = Pattern(32, 5);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_EQ(Image(7, 3, img, 100 + i), 0);  // channel 1: off
        ASSERT_EQ(Image(1, 1, img, i), 0);        // channel 0: on
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    std::vector<Record> recs = ImagesIn(Settle(v));
    EXPECT_GE(recs.size(), 1u);
    for (const Record& r : recs) EXPECT_LT(r.tag, 100u) << "channel 1 image sent while switched off";

    // Switched on again, channel 1 flows.
    ASSERT_TRUE(v.Send(Command(0, 0, {0, 1, 0, 0}, 0)));
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_sendImagesOnOff[1].load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    ASSERT_EQ(Image(7, 3, img, 200), 0);
    recs = ImagesIn(Settle(v));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].tag, 200u);
}

TEST_F(DeviceStream, TwoViewersReceiveIdenticalBytes) {
    StartDevice();
    RawClient v1, v2;
    AddViewer(v1);
    AddViewer(v2);
    OpenLogs(v1);
    PrimeChannels({{1, 1}, {2, 1}});
    Bytes img = Pattern(5000, 6);
    ASSERT_EQ(Log("hello "), 0);
    ASSERT_EQ(Image(1, 1, img, 1), 0);
    ASSERT_EQ(Image(2, 1, img, 2), 0);
    ASSERT_EQ(Log("world"), 0);
    std::vector<std::vector<Bytes>> frames = Settle({&v1, &v2});
    EXPECT_EQ(ImagesIn(frames[0]).size(), 2u);
    EXPECT_EQ(frames[0], frames[1]);
}

TEST_F(DeviceStream, TextTakenAfterLastViewerLeftIsNotSentToALaterOne) {
    StartDevice(true);
    {
        RawClient v;
        AddViewer(v);
        OpenLogs(v);
        gate->Arm();
        ASSERT_EQ(Log("primer"), 0);
        ASSERT_TRUE(gate->WaitParked());
        ASSERT_EQ(Log("stale"), 0);  // staged while the viewer is still there
    }
    ASSERT_TRUE(WaitUntil([&] { return mgr.m_server->IsEmpty() == 1; }));
    const int checks = gate->SenderChecks();
    gate->Open();
    // The send thread takes "stale" and finds nobody to send it to.
    ASSERT_TRUE(WaitUntil([&] { return gate->SenderChecks() > checks; }));

    RawClient later;
    AddViewer(later);
    ASSERT_EQ(Log("fresh"), 0);
    EXPECT_EQ(LogText(Next(later)), "fresh");
}

// The staging area and the send thread's take, on a manager whose transport
// is a stand-in that always reports one viewer and never sends.
namespace {
class OneViewerTransport : public Travik {
public:
    int Listen(int) override { return 0; }
    int Connect(const char*, int) override { return -1; }
    int SendData(std::shared_ptr<unsigned char>&, int) override { return -1; }
    int SendLatest(std::shared_ptr<unsigned char>&, int) override { return -1; }
    int IsEmpty() override { return 0; }
    int SetReadCb(TravikReadCb) override { return 0; }
    int Stop() override { return 0; }
    int SetCloseCb(std::function<void(unsigned long long)>) override { return 0; }
    bool AllBacklogged() override { return false; }
    bool WaitStopped(int) override { return true; }
    bool OnLoopThread() const override { return false; }
    int BoundPort() const override { return 0; }
    int ConnectionCount() override { return 1; }
};

class Staging : public ::testing::Test {
protected:
    void SetUp() override {
        mgr.m_server = std::make_shared<OneViewerTransport>();
        mgr.m_images.assign(4, SendImageSt{});
        mgr.m_logClosed = 0;
        mgr.m_sendInterval = 200;
        for (int c = 0; c < 4; ++c) {
            mgr.m_sendImagesOnOff[c] = 1;
            mgr.m_lastSendTime[c] = 1;  // timers started long ago: the next image passes
        }
    }
    TravikMgr mgr;
};
}  // namespace

TEST_F(Staging, OneTakeJoinsTextAndKeepsNewestImagePerChannel) {
    ASSERT_EQ(mgr.SendLogInfo(const_cast<char*>("ab"), 99), 0);
    ASSERT_EQ(mgr.SendLogInfo(const_cast<char*>("cd"), 0), 0);
    ASSERT_EQ(mgr.SendLogInfo(const_cast<char*>("ef"), 1), 0);

    Bytes src = Pattern(8, 1);
    const std::pair<int, int> pairs[] = {{2, 2}, {7, 3}, {2, 1}, {2, 3}};  // channels 0, 1, 2, 3
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(mgr.SendImageData(pairs[i].first, 0, i, i, pairs[i].second, src.data(), 8, 10 + i), 0);
    src[0] ^= 0xff;  // the staged copy does not follow the caller's buffer
    std::string text;
    std::vector<SendImageSt> images;
    ASSERT_EQ(mgr.GetSendInfo(text, images), 0);
    EXPECT_EQ(text, "abcdef");
    ASSERT_EQ(images.size(), 4u);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(images[c].attr1, pairs[c].first) << c;
        EXPECT_EQ(images[c].attr5, pairs[c].second) << c;
        EXPECT_EQ(images[c].attr2, 1) << "attr2 0 is handed out as 1";
        EXPECT_EQ(images[c].tag, 10u + c);
        ASSERT_EQ(images[c].imageLen, 8);
        EXPECT_EQ(images[c].data.get()[0], Pattern(8, 1)[0]);
    }

    // A channel that gets two images before the take keeps the second only;
    // the first buffer is released.
    mgr.m_lastSendTime[0] = 1;
    std::shared_ptr<unsigned char> first(new unsigned char[4](), std::default_delete<unsigned char[]>());
    std::weak_ptr<unsigned char> firstWeak = first;
    std::shared_ptr<unsigned char> second(new unsigned char[4](), std::default_delete<unsigned char[]>());
    ASSERT_EQ(mgr.SendImageDataPtr(1, 5, 0, 0, 1, std::move(first), 4, 1), 0);
    mgr.m_lastSendTime[0] = 1;
    ASSERT_EQ(mgr.SendImageDataPtr(1, 6, 0, 0, 1, second, 4, 2), 0);
    EXPECT_TRUE(firstWeak.expired());
    images.clear();
    ASSERT_EQ(mgr.GetSendInfo(text, images), 0);
    ASSERT_EQ(images.size(), 4u);
    EXPECT_EQ(images[0].attr2, 6);
    EXPECT_EQ(images[0].data.get(), second.get()) << "shared, not copied";
    for (int c = 1; c < 4; ++c) EXPECT_EQ(images[c].attr2, 0) << "channel " << c << " has nothing new";
    EXPECT_EQ(text, "abcdef") << "text left as it was when nothing new was staged";
}

// Long texts are searched for their NUL block by block while being copied:
// the text ends at its first NUL wherever that falls, and a text refused as
// too long leaves what was staged before it untouched.
TEST_F(Staging, LongTextEndsAtItsFirstNulAndARefusedOneLeavesStagingAsItWas) {
    ASSERT_EQ(mgr.SendLogInfo(const_cast<char*>("ab"), 2), 0);
    std::string longText(300 * 1024, 'x');
    for (size_t i = 0; i < longText.size(); i += 97) longText[i] = static_cast<char>('a' + i % 26);
    const size_t nul = 3 * 64 * 1024 + 5;  // past a few blocks, not on a block boundary
    longText[nul] = '\0';
    ASSERT_EQ(mgr.SendLogInfo(&longText[0], static_cast<int>(longText.size())), 0);

    std::string tooLong(17u << 20, 'y');  // no NUL within the staging cap
    EXPECT_EQ(mgr.SendLogInfo(&tooLong[0], 0), -1);

    std::string text;
    std::vector<SendImageSt> images;
    ASSERT_EQ(mgr.GetSendInfo(text, images), 0);
    EXPECT_EQ(text, "ab" + longText.substr(0, nul));
}

TEST_F(Staging, TakeWokenByTextAloneLeavesImagesAlone) {
    std::shared_ptr<unsigned char> data(new unsigned char[4](), std::default_delete<unsigned char[]>());
    ASSERT_EQ(mgr.SendImageDataPtr(1, 3, 0, 0, 1, data, 4, 1), 0);
    std::string text;
    std::vector<SendImageSt> images;
    ASSERT_EQ(mgr.GetSendInfo(text, images), 0);
    ASSERT_EQ(images.size(), 4u);
    {
        std::lock_guard<std::mutex> lock(mgr.m_mutex);
        for (const SendImageSt& slot : mgr.m_images) EXPECT_EQ(slot.attr2, 0);
    }
    std::vector<SendImageSt> sentinel(1);
    sentinel[0].tag = 12345;
    ASSERT_EQ(mgr.SendLogInfo(const_cast<char*>("only text"), 0), 0);
    std::string text2;
    ASSERT_EQ(mgr.GetSendInfo(text2, sentinel), 0);
    EXPECT_EQ(text2, "only text");
    ASSERT_EQ(sentinel.size(), 1u);
    EXPECT_EQ(sentinel[0].tag, 12345u);
}

TEST_F(Staging, TakeBlocksUntilStagedAndReturnsAtOnceAfterStop) {
    std::string text;
    std::vector<SendImageSt> images;
    std::atomic<bool> returned{false};
    std::thread taker([&] {
        mgr.GetSendInfo(text, images);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load()) << "take returned with nothing staged";
    ASSERT_EQ(mgr.SendLogInfo(const_cast<char*>("wake"), 0), 0);
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
    taker.join();
    EXPECT_EQ(text, "wake");

    mgr.Release();  // sets the stop request
    std::string untouched = "keep";
    std::vector<SendImageSt> none;
    ASSERT_EQ(mgr.GetSendInfo(untouched, none), 0);
    EXPECT_EQ(untouched, "keep");
    EXPECT_TRUE(none.empty());
}

// One page of memory that faults when read; null when none could be mapped.
void* UnreadablePage(long& page) {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page = static_cast<long>(info.dwPageSize);
    return VirtualAlloc(nullptr, static_cast<size_t>(page), MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
#else
    page = sysconf(_SC_PAGESIZE);
    void* p = mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
#endif
}

void FreePage(void* p, long page) {
#if defined(_WIN32)
    (void)page;
    VirtualFree(p, 0, MEM_RELEASE);
#else
    munmap(p, static_cast<size_t>(page));
#endif
}

TEST_F(Staging, GatesComeBeforeTheCopyAndATakenSlotLetsGoOfItsImage) {
    // Bytes that cannot be read: an image copied before its gates faults here.
    long page = 0;
    void* guard = UnreadablePage(page);
    ASSERT_NE(guard, nullptr);
    auto* unreadable = static_cast<unsigned char*>(guard);
    const int len = static_cast<int>(page);
    mgr.m_sendInterval = 3600000;
    mgr.m_lastSendTime[0] = 0;
    EXPECT_EQ(mgr.SendImageData(0, 1, 0, 0, 0, unreadable, len, 1), 0) << "first image only starts the timer";
    EXPECT_EQ(mgr.SendImageData(0, 1, 0, 0, 0, unreadable, len, 2), 0) << "within the interval";
    mgr.m_sendImagesOnOff[1] = 0;
    EXPECT_EQ(mgr.SendImageData(1, 1, 0, 0, 3, unreadable, len, 3), 0) << "channel off";
    mgr.m_imageClosed = 1;
    EXPECT_EQ(mgr.SendImageData(2, 1, 0, 0, 1, unreadable, len, 4), -1) << "stream closed";
    mgr.m_imageClosed = 0;
    std::shared_ptr<Travik> transport = std::move(mgr.m_server);
    EXPECT_EQ(mgr.SendImageData(2, 1, 0, 0, 1, unreadable, len, 5), 0) << "nobody connected";
    mgr.m_server = transport;
    FreePage(guard, page);
    EXPECT_EQ(mgr.m_imagesPending, 0) << "a gated image was staged";

    std::shared_ptr<unsigned char> image(new unsigned char[4](), std::default_delete<unsigned char[]>());
    std::weak_ptr<unsigned char> weak = image;
    ASSERT_EQ(mgr.SendImageDataPtr(2, 1, 0, 0, 3, std::move(image), 4, 6), 0);
    std::string text;
    std::vector<SendImageSt> taken;
    ASSERT_EQ(mgr.GetSendInfo(text, taken), 0);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[3].tag, 6u);
    taken.clear();
    EXPECT_TRUE(weak.expired()) << "the taken slot still holds the image";
}

TEST_F(Staging, ImageTooLargeForAFrameGetsItsOwnLine) {
    StdoutCapture out;
    // One byte stands in for 100 MB: the size is refused before any is read.
    std::shared_ptr<unsigned char> tiny(new unsigned char[1](), std::default_delete<unsigned char[]>());
    mgr.m_sendThread = std::thread(&TravikMgr::ThreadSendInfo, &mgr);
    ASSERT_EQ(mgr.SendImageDataPtr(1, 1, 0, 0, 1, tiny, 100000000, 7), 0);
    const std::string line = "image frame too large: 100000032 record bytes, dropped\n";
    EXPECT_TRUE(WaitUntil([&] { return out.Text().find(line) != std::string::npos; }));
    mgr.Release();
    EXPECT_EQ(out.Text().find("compress failed"), std::string::npos);
}
