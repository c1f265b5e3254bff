// Smoke program for an installed travik: it includes only the installed
// header, links only the exported library, and checks that the manager
// really listens on a TCP port.
//
// Usage: host [first_port]. Ports first_port, first_port+1, ... are tried
// until Listen succeeds, since another program may hold any one of them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <travik/travik.h>

namespace {

bool CanConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

int Fail(const char* what) {
    std::fprintf(stderr, "host: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int first = argc > 1 ? std::atoi(argv[1]) : 0;
    if (first <= 0 || first > 65000) first = 20000 + static_cast<int>(getpid() % 20000);

    TravikMgr* mgr = Singleton<TravikMgr>::GetInstance();
    if (mgr == nullptr) return Fail("GetInstance returned null");
    if (Singleton<TravikMgr>::GetInstance() != mgr) return Fail("GetInstance returned two different instances");

    const int kAttempts = 40;
    int port = -1;
    for (int i = 0; i < kAttempts; ++i) {
        int candidate = first + i;
        int rc = mgr->Listen(candidate);
        if (rc == 0) {
            port = candidate;
            break;
        }
        if (rc != -1) {
            std::fprintf(stderr, "host: Listen(%d) returned %d\n", candidate, rc);
            return 1;
        }
    }
    if (port < 0) return Fail("Listen failed on every port tried");
    std::printf("host: listening on %d\n", port);

    if (!CanConnect(port)) {
        mgr->Release();
        return Fail("Listen returned 0 but nothing accepts connections on 127.0.0.1");
    }
    if (mgr->Release() != 0) return Fail("Release did not return 0");
    if (Singleton<TravikMgr>::GetInstance() != mgr) return Fail("instance changed after Release");

    std::printf("host: ok\n");
    return 0;
}
