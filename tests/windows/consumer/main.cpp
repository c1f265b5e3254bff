// An outside host on Windows, using only the installed package.
//
// `host device PORTFILE`: Listen on a busy port must fail with -1; then it
// listens on that port once freed, writes the port number to PORTFILE, and
// streams log lines and a test image until a viewer has come and gone (or
// 60 s pass). Exits 0 only when a viewer came.
//
// `host view PORTFILE`: waits for a device to write its port to PORTFILE,
// connects, opens the streams and exits 0 once it received the log line and
// the image the Linux test device sends, byte for byte.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <travik/travik.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

static int Fail(const char* why) {
    std::fprintf(stderr, "host: %s\n", why);
    return 1;
}

static std::vector<unsigned char> Pattern(int n) {
    std::vector<unsigned char> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out[static_cast<size_t>(i)] = static_cast<unsigned char>(i % 251);
    return out;
}

static int View(const char* portFile) {
    int port = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (port <= 0) {
        std::ifstream in(portFile);
        if (!(in >> port)) port = 0;
        if (port <= 0 && std::chrono::steady_clock::now() > deadline) return Fail("no port file");
        if (port <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    TravikMgr* mgr = Singleton<TravikMgr>::GetInstance();
    char ip[] = "127.0.0.1";
    if (mgr->Connect(ip, port) != 0) return Fail("Connect failed");
    std::atomic<bool> gotLog{false}, gotImage{false}, badImage{false};
    std::mutex textMutex;
    std::string firstText;
    const std::vector<unsigned char> expected = Pattern(64 * 48);
    mgr->SetLogCb([&](std::string& text) {
        std::lock_guard<std::mutex> lock(textMutex);
        if (!gotLog) firstText = text;
        gotLog = true;
    });
    mgr->SetImageCb([&](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                        unsigned long long tag) {
        const bool ok = a1 == 0 && a2 == 64 && a3 == 48 && a4 == 1 && a5 == 0 && tag == 77 &&
                        len == static_cast<int>(expected.size()) &&
                        std::equal(expected.begin(), expected.end(), data.get());
        if (!ok) badImage = true;
        gotImage = true;
    });
    int channels[4] = {1, 1, 1, 1};
    mgr->SendCmd(1, 1, channels, 1);
    while (!(gotLog && gotImage) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    mgr->Release();
    if (!gotLog || !gotImage) return Fail("log or image missing");
    if (badImage) return Fail("image differs");
    std::lock_guard<std::mutex> lock(textMutex);
    if (firstText.rfind("hello from linux", 0) != 0) return Fail("log text differs");
    std::printf("host: log and image from the Linux device check out\n");
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) return Fail("usage: host device|view PORTFILE");
    WSADATA wsa;
    if (WSAStartup(0x0202, &wsa) != 0) return Fail("WSAStartup failed");
    if (std::string(argv[1]) == "view") return View(argv[2]);
    SOCKET blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    int len = sizeof sin;
    if (bind(blocker, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(blocker, 4) != 0 ||
        getsockname(blocker, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
        return Fail("could not make the blocking listener");
    const int port = ntohs(sin.sin_port);

    TravikMgr* mgr = Singleton<TravikMgr>::GetInstance();
    if (mgr->Listen(port) != -1) return Fail("Listen on a busy port did not return -1");
    closesocket(blocker);
    if (mgr->Listen(port) != 0) return Fail("Listen on the freed port failed");

    std::FILE* f = std::fopen(argv[2], "w");
    if (!f) return Fail("cannot write the port file");
    std::fprintf(f, "%d\n", port);
    std::fclose(f);

    const int w = 64, h = 48;
    std::vector<unsigned char> image = Pattern(w * h);
    bool came = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (unsigned long long k = 0; std::chrono::steady_clock::now() < deadline; ++k) {
        const bool connected = mgr->IsConnected() == 1;
        if (came && !connected) break;  // the viewer is done
        came = came || connected;
        char text[64];
        std::snprintf(text, sizeof text, "hello from windows %llu\n", k);
        mgr->SendLogInfo(text, 0);
        mgr->SendImageData(0, w, h, 1, 0, image.data(), w * h, 1000 + k);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    mgr->Release();
    return came ? 0 : Fail("no viewer came");
}
