// The few socket calls tests make by hand, the same on POSIX and Windows: a
// socket is an int (a descriptor, or a Winsock handle, whose values fit 32
// bits), -1 when there is none. Winsock is started on first use.
// Contract: any thread; each call blocks for at most its own `ms`, or not
// at all; nothing is kept between calls.
#pragma once

#include <cstddef>

namespace travik_test {

// A TCP socket of `family` (AF_INET, AF_INET6).
int TcpSocket(int family);
void CloseSocket(int s);
// True once `s` is readable (data, a connection to accept, or the end) within `ms`.
bool WaitReadable(int s, int ms);
int AcceptOn(int listener);
// Sends all of `data` at once; the count sent, or -1.
long SendBytes(int s, const void* data, size_t len);
// One receive; `dontWait` returns -1 at once when nothing is waiting.
long RecvBytes(int s, void* data, size_t len, bool dontWait = false);
// Bytes waiting to be read on `s`, or -1.
int BytesWaiting(int s);
bool SetReceiveBuffer(int s, int bytes);
// A socket listening on 127.0.0.1 at a port the system picks (stored in
// *port); -1 on failure.
int ListenOnLoopback(int* port);
// True when a TCP connection to `address` (an IPv4 or IPv6 literal) at
// `port` is accepted.
bool Reachable(const char* address, int port);
// A TCP socket connected to 127.0.0.1 at `port`, or -1.
int ConnectLoopback(int port);
// Blocking receives on `s` give up after `ms` instead of hanging. Asio's
// synchronous reads give up too on Windows; on POSIX Asio waits again after
// the timeout, so there the test's own deadline (ctest's) ends a hung read.
bool SetReceiveTimeout(int s, int ms);
// Shuts both directions of `s` down (the peer sees the end at once).
void ShutdownSocket(int s);
// True when this host has an IPv6 loopback to bind.
bool HaveIpv6Loopback();

}  // namespace travik_test
