// The system's socket declarations: Windows Sockets 2 on Windows, the POSIX
// headers elsewhere. Declarations only; no state, any thread.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif
