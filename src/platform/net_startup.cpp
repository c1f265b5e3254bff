#include "platform/net_startup.h"

#include <event2/thread.h>

#include <cstring>
#include <mutex>

#if defined(_WIN32)
#include <winsock2.h>
// After winsock2.h, which must precede it.
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

namespace travik {

void StartNetworkOnThisThread(unsigned short version) {
#if defined(_WIN32)
    // Once per loop thread, result not examined and never paired with
    // WSACleanup: the host may use sockets of its own, and the library's
    // reference keeps them working for the rest of the process.
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
#elif defined(_WIN32)
    // SetThreadDescription exists from Windows 10 1607 on: looked up at run
    // time so that the library still loads on older systems.
    using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (!proc) return;
    SetDescriptionFn setDescription;
    static_assert(sizeof setDescription == sizeof proc, "function pointer sizes");
    std::memcpy(&setDescription, &proc, sizeof proc);
    wchar_t wide[64];
    size_t i = 0;
    for (; name[i] && i + 1 < sizeof wide / sizeof wide[0]; ++i) wide[i] = static_cast<unsigned char>(name[i]);
    wide[i] = L'\0';
    setDescription(GetCurrentThread(), wide);
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
