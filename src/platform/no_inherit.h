// Keeps a socket from the host's child processes. On POSIX libevent's
// close-on-exec does it; on Windows that call does nothing and every socket
// handle is inheritable, so a child started with inherited handles would
// keep the port taken and the viewers connected after Release.
// Contract: any thread, does not block; call it right after the socket is
// made or accepted (a child started in between still inherits it).
#pragma once

#include <event2/util.h>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace travik {

inline void KeepFromChildren(evutil_socket_t fd) {
#if defined(_WIN32)
    SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
#else
    evutil_make_socket_closeonexec(fd);
#endif
}

}  // namespace travik
