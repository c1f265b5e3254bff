// TLS on the device link, end to end over loopback: a throwaway CA, device
// and viewer certificates made with the openssl command for each run; a
// mutually authenticated stream arrives intact, unproven peers get no
// stream byte, bad files fail closed, and unfinished handshakes cannot
// starve a connected viewer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "manager/manager_internal.h"
#include "support/raw_socket.h"
#include "support/test_certs.h"
#include "support/test_support.h"
#include "travik/travik.h"

using namespace std::chrono_literals;
using travik_test::RawClient;
using travik_test::Scaled;
using travik_test::StdoutCapture;
using travik_test::WaitForViewers;
using travik_test::WaitUntil;

namespace {

using Bytes = std::vector<unsigned char>;

// The test certificates as the settings of a device and of viewers.
class Pki {
public:
    TravikTls Device(bool clientCa) const {
        return {File("device.pem"), File("device.key"), clientCa ? File("ca.pem") : "", ""};
    }
    TravikTls Viewer(const std::string& leaf, const std::string& ca = "ca") const {
        TravikTls t;
        if (!leaf.empty()) {
            t.certFile = File(leaf + ".pem");
            t.keyFile = File(leaf + ".key");
        }
        t.caFile = File(ca + ".pem");
        return t;
    }
    std::string File(const std::string& name) const { return m_certs.File(name); }
    const travik_test::TestCerts& Certs() const { return m_certs; }

private:
    travik_test::TestCerts m_certs;
};

// Images the viewer's callback received, by tag.
class Inbox {
public:
    TravikImageCb Cb() {
        return [this](int, int, int, int, int, std::shared_ptr<unsigned char>& data, int len, unsigned long long tag) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_images.emplace_back(tag, Bytes(data.get(), data.get() + len));
        };
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_images.size();
    }
    bool Has(unsigned long long tag) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& image : m_images) {
            if (image.first == tag) return true;
        }
        return false;
    }
    std::vector<std::pair<unsigned long long, Bytes>> All() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_images;
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<unsigned long long, Bytes>> m_images;
};

// Large enough to span many TLS records and several reads.
Bytes ImageBytes(unsigned long long tag) {
    Bytes b(300000 + tag % 1000);
    std::mt19937 gen(static_cast<unsigned>(tag));
    for (auto& c : b) c = static_cast<unsigned char>(gen());
    return b;
}

char g_loopback[] = "127.0.0.1";

// A TLS device on a kernel-chosen port with a viewer whose interval is 1 ms.
struct TlsPair {
    explicit TlsPair(const Pki& pki, bool clientCa = true) {
        EXPECT_EQ(0, device.SetTls(pki.Device(clientCa)));
        EXPECT_EQ(0, device.Listen("127.0.0.1", 0));
        port = travik::ListeningPort(device);
        EXPECT_GT(port, 0);
        EXPECT_EQ(0, viewer.SetTls(pki.Viewer("viewer")));
        EXPECT_EQ(0, viewer.Connect(g_loopback, port));
        viewer.SetImageCb(inbox.Cb());
        EXPECT_TRUE(WaitForViewers(device, 1));
        viewer.SendCmd(0, 0, nullptr, 1);
        EXPECT_TRUE(WaitUntil([&] { return device.m_sendInterval.load() == 1; }));
    }
    ~TlsPair() {
        viewer.Release();
        device.Release();
    }
    // Stages images until the one tagged `tag` arrived (the first of a
    // channel only starts its timer, and a newer one may replace it).
    bool Deliver(unsigned long long tag) {
        return WaitUntil(
            [&] {
                Bytes b = ImageBytes(tag);
                device.SendImageData(0, 1, 640, 480, 0, b.data(), static_cast<int>(b.size()), tag);
                return WaitUntil([&] { return inbox.Has(tag); }, 50ms);
            },
            30s);
    }
    TravikMgr device;
    TravikMgr viewer;
    Inbox inbox;
    int port = 0;
};

// Everything the peer sends until it closes (or the deadline passes).
Bytes ReadUntilClosed(RawClient& client, std::chrono::milliseconds timeout, bool& closed) {
    Bytes got;
    closed = false;
    const auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
    const int fd = static_cast<int>(client.fd());
    unsigned char buf[4096];
    while (!closed && std::chrono::steady_clock::now() < deadline) {
        if (!travik_test::WaitReadable(fd, 50)) continue;
        // Readable: data, the end (0) or a reset (-1).
        const long n = travik_test::RecvBytes(fd, buf, sizeof buf);
        if (n > 0) got.insert(got.end(), buf, buf + n);
        closed = n <= 0;
    }
    return got;
}

// Nothing of the stream: no byte at all, or TLS alert records only.
bool OnlyAlerts(const Bytes& b) {
    for (size_t i = 0; i < b.size();) {
        if (b.size() - i < 5 || b[i] != 0x15) return false;
        i += 5 + (static_cast<size_t>(b[i + 3]) << 8 | b[i + 4]);
    }
    return true;
}

#define REQUIRE_TLS(pki)                                                         \
    if (!TravikMgr::TlsAvailable()) GTEST_SKIP() << "library built without TLS"; \
    ASSERT_TRUE((pki).Certs().ok()) << (pki).Certs().Why()

}  // namespace

TEST(Tls, MutualTlsCarriesImagesIntactAndRefusesEveryUnprovenViewer) {
    Pki pki;
    REQUIRE_TLS(pki);
    TlsPair p(pki);
    ASSERT_TRUE(p.Deliver(1));
    ASSERT_TRUE(p.Deliver(2));
    for (const auto& image : p.inbox.All()) EXPECT_EQ(ImageBytes(image.first), image.second) << image.first;

    // Viewers the device must not serve: none or a stranger's certificate.
    // Under TLS 1.3 the client finishes first and may see the refusal only
    // as a disconnect, so Connect may return 0 before it ends.
    for (const char* leaf : {"", "stranger"}) {
        SCOPED_TRACE(leaf);
        TravikMgr intruder;
        Inbox stolen;
        ASSERT_EQ(0, intruder.SetTls(pki.Viewer(leaf)));
        if (intruder.Connect(g_loopback, p.port) == 0) intruder.SetImageCb(stolen.Cb());
        EXPECT_TRUE(WaitUntil([&] { return intruder.IsConnected() == 0; }));
        ASSERT_TRUE(p.Deliver(10 + (leaf[0] ? 1 : 0)));
        EXPECT_EQ(0u, stolen.Count());
        EXPECT_EQ(1, travik::ViewerCount(p.device));
        intruder.Release();
    }

    // A viewer that does not trust the device's CA, or expects another name,
    // refuses the device.
    {
        TravikMgr doubter;
        ASSERT_EQ(0, doubter.SetTls(pki.Viewer("viewer", "other-ca")));
        EXPECT_EQ(-1, doubter.Connect(g_loopback, p.port));
        TravikTls named = pki.Viewer("viewer");
        named.serverName = "device.example";
        ASSERT_EQ(0, doubter.SetTls(named));
        EXPECT_EQ(-1, doubter.Connect(g_loopback, p.port));
        named.serverName = "127.0.0.1";
        ASSERT_EQ(0, doubter.SetTls(named));
        EXPECT_EQ(0, doubter.Connect(g_loopback, p.port)) << "the name given is the device's IP";
        doubter.Release();
    }

    // A plain viewer on the TLS port: its command is no TLS record.
    RawClient plain;
    ASSERT_TRUE(plain.Connect(p.port));
    Bytes command(64, 0);
    command[0] = 64;
    plain.Send(command);
    ASSERT_TRUE(p.Deliver(20));
    bool closed = false;
    const Bytes got = ReadUntilClosed(plain, 10s, closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(OnlyAlerts(got)) << got.size() << " bytes";
    EXPECT_EQ(1, travik::ViewerCount(p.device));
}

TEST(Tls, BadSettingsAndFilesFailClosed) {
    Pki pki;
    REQUIRE_TLS(pki);
    TravikMgr device;
    TravikTls keyOnly;
    keyOnly.keyFile = pki.File("device.key");
    EXPECT_EQ(-1, device.SetTls(keyOnly));
    TravikTls nameOnly;
    nameOnly.serverName = "device";
    EXPECT_EQ(-1, device.SetTls(nameOnly));

    {
        StdoutCapture out;
        TravikTls mismatch = pki.Device(false);
        mismatch.keyFile = pki.File("viewer.key");
        ASSERT_EQ(0, device.SetTls(mismatch));
        EXPECT_EQ(-1, device.Listen("127.0.0.1", 0));
        EXPECT_EQ(0, travik::ListeningPort(device));
        EXPECT_NE(std::string::npos, out.Text().find(pki.File("viewer.key"))) << out.Text();
    }
    {
        StdoutCapture out;
        TravikTls missing = pki.Device(true);
        missing.caFile = pki.File("absent.pem");
        ASSERT_EQ(0, device.SetTls(missing));
        EXPECT_EQ(-1, device.Listen(0));
        EXPECT_EQ(0, travik::ListeningPort(device));
        EXPECT_NE(std::string::npos, out.Text().find(pki.File("absent.pem"))) << out.Text();
    }
    {
        // A device without a certificate, a viewer without a CA.
        TravikTls caOnly;
        caOnly.caFile = pki.File("ca.pem");
        ASSERT_EQ(0, device.SetTls(caOnly));
        EXPECT_EQ(-1, device.Listen(0));
        TravikMgr viewer;
        ASSERT_EQ(0, viewer.SetTls(pki.Device(false)));
        EXPECT_EQ(-1, viewer.Connect(g_loopback, 9));
        // A device that accepts and never answers the handshake.
        int silentPort = 0;
        const int silentFd = travik_test::ListenOnLoopback(&silentPort);
        ASSERT_GE(silentFd, 0);
        ASSERT_EQ(0, viewer.SetTls(pki.Viewer("")));
        EXPECT_EQ(-1, viewer.Connect(g_loopback, silentPort));
        EXPECT_EQ(0, viewer.IsConnected());
        travik_test::CloseSocket(silentFd);
        viewer.Release();
    }

    // Turned off again, the device is plain and a plain viewer is served.
    ASSERT_EQ(0, device.SetTls(TravikTls{}));
    ASSERT_EQ(0, device.Listen("127.0.0.1", 0));
    TravikMgr viewer;
    EXPECT_EQ(0, viewer.Connect(g_loopback, travik::ListeningPort(device)));
    EXPECT_TRUE(WaitForViewers(device, 1));
    viewer.Release();
    device.Release();
}

TEST(Tls, APeerLeavingWithoutCloseNotifyIsAnOrdinaryDisconnect) {
    Pki pki;
    REQUIRE_TLS(pki);
    StdoutCapture out;
    {
        TlsPair p(pki);
        ASSERT_TRUE(p.Deliver(1));
        // The library closes its connections without close_notify.
        p.viewer.Release();
        EXPECT_TRUE(WaitForViewers(p.device, 0));
        ASSERT_EQ(0, p.viewer.Connect(g_loopback, p.port));
        EXPECT_TRUE(WaitForViewers(p.device, 1));
        p.device.Release();
        EXPECT_TRUE(WaitUntil([&] { return p.viewer.IsConnected() == 0; }));
    }
    const std::string text = out.Text();
    EXPECT_NE(std::string::npos, text.find("Connection closed.")) << text;
    EXPECT_EQ(std::string::npos, text.find("error")) << text;
}

TEST(Tls, UnfinishedHandshakesNeverStallAConnectedViewer) {
    Pki pki;
    REQUIRE_TLS(pki);
    TlsPair p(pki);
    ASSERT_TRUE(p.Deliver(1));

    // Far more idle sockets than handshakes may wait at once, and a few
    // peers sending garbage in place of a handshake.
    std::vector<std::unique_ptr<RawClient>> idle(200);
    for (auto& c : idle) {
        c = std::make_unique<RawClient>();
        ASSERT_TRUE(c->Connect(p.port));
    }
    std::vector<std::thread> garbage;
    for (int i = 0; i < 4; ++i) {
        garbage.emplace_back([port = p.port, i] {
            RawClient c;
            if (!c.Connect(port)) return;
            Bytes junk(1 << 20, static_cast<unsigned char>(0x16 + i));
            c.Send(junk);  // refused part way: the result does not matter
            c.WaitClosed();
        });
    }
    for (unsigned long long tag = 100; tag < 103; ++tag) ASSERT_TRUE(p.Deliver(tag));
    for (auto& t : garbage) t.join();
    EXPECT_EQ(1, travik::ViewerCount(p.device));

    // Every idle socket is closed: the oldest to make room, the rest at the
    // handshake deadline; none receives a stream byte.
    for (auto& c : idle) {
        bool closed = false;
        const Bytes got = ReadUntilClosed(*c, 30s, closed);
        ASSERT_TRUE(closed);
        EXPECT_TRUE(OnlyAlerts(got));
    }
    ASSERT_TRUE(p.Deliver(200));
    for (const auto& image : p.inbox.All()) EXPECT_EQ(ImageBytes(image.first), image.second) << image.first;
}
