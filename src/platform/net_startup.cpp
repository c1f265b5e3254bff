#include "platform/net_startup.h"

#include <event2/thread.h>

#include <mutex>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

namespace travik {

void StartNetworkOnThisThread(unsigned short version) {
#if defined(_WIN32)
    WSADATA data;
    WSAStartup(version, &data);
#else
    (void)version;
    // A write to a peer that has gone raises SIGPIPE on the writing thread.
    // Blocking it here, on the library's own thread only, turns that into an
    // EPIPE error without touching the host's signal handling.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
}

void NameThisThread(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

void EnableLibeventThreads() {
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(_WIN32)
        evthread_use_windows_threads();
#else
        evthread_use_pthreads();
#endif
    });
}

}  // namespace travik
