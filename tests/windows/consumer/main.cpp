// An outside device host on Windows: Listen on a busy port must fail with
// -1; then it listens on that port once freed, writes the port number to
// the file named by argv[1], and streams log lines and a test image until a
// viewer has come and gone (or 60 s pass). Exits 0 only when a viewer came.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <travik/travik.h>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

static int Fail(const char* why) {
    std::fprintf(stderr, "host: %s\n", why);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 2) return Fail("usage: host <port-file>");
    WSADATA wsa;
    if (WSAStartup(0x0202, &wsa) != 0) return Fail("WSAStartup failed");
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

    std::FILE* f = std::fopen(argv[1], "w");
    if (!f) return Fail("cannot write the port file");
    std::fprintf(f, "%d\n", port);
    std::fclose(f);

    const int w = 64, h = 48;
    unsigned char image[w * h];
    for (int i = 0; i < w * h; ++i) image[i] = static_cast<unsigned char>(i % 251);
    bool came = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (unsigned long long k = 0; std::chrono::steady_clock::now() < deadline; ++k) {
        const bool connected = mgr->IsConnected() == 1;
        if (came && !connected) break;  // the viewer is done
        came = came || connected;
        char text[64];
        std::snprintf(text, sizeof text, "hello from windows %llu\n", k);
        mgr->SendLogInfo(text, 0);
        mgr->SendImageData(0, w, h, 1, 0, image, w * h, 1000 + k);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    mgr->Release();
    return came ? 0 : Fail("no viewer came");
}
