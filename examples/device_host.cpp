// A minimal device host: offers a moving 320x240 gray image 20 times a second
// and a log line twice a second. Usage: device_host [PORT=7000] [SECONDS=30]
#include <travik/travik.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

static volatile std::sig_atomic_t g_stop = 0;

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 7000, seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    TravikMgr* travik = Singleton<TravikMgr>::GetInstance();
    if (travik->Listen(port) != 0) {
        std::fprintf(stderr, "cannot listen on port %d\n", port);
        return 1;
    }
    std::signal(SIGINT, [](int) { g_stop = 1; });  // after Listen: Ctrl-C is handled here, not by the library
    std::vector<unsigned char> pixels(320 * 240);
    for (int frame = 0; frame < seconds * 20 && !g_stop; ++frame) {
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = (unsigned char)(i % 320 + i / 320 + frame * 4);
        auto now = std::chrono::system_clock::now().time_since_epoch();
        unsigned long long tag = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
        // attr1 1 and attr5 1 pick channel 0; attr2 1 = 8-bit gray; attr3 x attr4 = size; tag = capture time.
        travik->SendImageData(1, 1, 320, 240, 1, pixels.data(), (int)pixels.size(), tag);
        if (frame % 10 == 0) {
            char line[64];
            std::snprintf(line, sizeof line, "device: frame %d\n", frame);
            travik->SendLogInfo(line, 0);  // refused (-1) until a viewer opens the log stream
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    travik->Release();
    return 0;
}
