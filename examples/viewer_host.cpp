// A minimal viewer host: opens the device's log stream and all four image
// channels, prints what arrives and exits 0 once it has seen five images and
// a log line. Usage: viewer_host [IP=127.0.0.1] [PORT=7000] [SECONDS=10]
#include <travik/travik.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

static std::atomic<int> g_images{0}, g_logs{0};

int main(int argc, char** argv) {
    char* ip = argc > 1 ? argv[1] : (char*)"127.0.0.1";
    int port = argc > 2 ? std::atoi(argv[2]) : 7000, seconds = argc > 3 ? std::atoi(argv[3]) : 10;
    TravikMgr* travik = Singleton<TravikMgr>::GetInstance();
    for (int tries = 1; travik->Connect(ip, port) != 0; ++tries) {  // the device may still be starting
        if (tries == 10) {
            std::fprintf(stderr, "cannot connect to %s:%d\n", ip, port);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    // Callbacks run on the library's network thread: keep them short.
    travik->SetLogCb([](std::string& text) {
        std::printf("log: %s", text.c_str());
        ++g_logs;
    });
    travik->SetImageCb([](int, int format, int width, int height, int, std::shared_ptr<unsigned char>&, int len,
                          unsigned long long tag) {
        std::printf("image %dx%d format %d, %d bytes, tag %llu\n", width, height, format, len, tag);
        ++g_images;
    });
    int channels[4] = {1, 1, 1, 1};        // per channel: 1 = on, 2 = off
    travik->SendCmd(1, 1, channels, 100);  // logs on, images on, at most one image per channel per 100 ms
    for (int i = 0; i < seconds * 10 && (g_images < 5 || g_logs < 1); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    travik->Release();
    return g_images > 0 && g_logs > 0 ? 0 : 1;
}
