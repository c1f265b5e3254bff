// How much a connection that does not keep up may cost the device. Bytes are
// counted per connection: frames queued for it plus what sits in its output
// buffer, not yet taken by the kernel.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travik {

// Over this backlog, image frames are not queued for the connection; it gets
// fresh images once it has drained (images are latest-wins anyway).
constexpr size_t kSoftBacklogBytes = 16u << 20;
// Log text is refused (RoomFor) before it would take the backlog of any
// connection that still reads past this, so a reading viewer is never cut.
constexpr size_t kHardBacklogBytes = 48u << 20;
// A frame that finds the backlog this large closes the connection: the
// guard against frames that bypass RoomFor (commands, a log frame racing an
// image frame), never reached by a checked sender, whose backlog stays below
// the hard bound plus one image frame.
constexpr size_t kCutBacklogBytes = kHardBacklogBytes + 100'000'000;
// A connection whose output has not moved for this long is closed as slow.
constexpr int64_t kNoProgressMicros = 10'000'000;
// Most bytes one write call moves on a connection. libevent's default of
// 16 KiB costs a system call per 16 KiB of a large log frame; the kernel's
// buffers decide the rest. (Reads: kReadChunkBytes.)
constexpr int kSingleIoBytes = 1 << 20;
// Most bytes one read call takes from a connection. libevent's own socket
// reads stop at 4 KiB, a system call and a wake-up per 4 KiB of a large log
// frame, so connections read for themselves (connection_events.cpp).
constexpr int kReadChunkBytes = 256 * 1024;
// Period of each connection's flush timer, the fallback wake-up of the loop.
constexpr int kFlushPeriodSeconds = 5;
// Pause after a failed accept (typically out of descriptors) before the
// listener tries again.
constexpr int kAcceptRetryMillis = 100;
// Keepalive probing of idle connections: a peer that vanished without
// closing is dropped after about idle + interval * count seconds.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveCount = 3;
// TLS handshakes under way at once, and how long one may take. Beyond the
// count the oldest is closed: a real viewer finishes within a few round
// trips, so only a flood faster than that pushes it out, whereas refusing
// the newest would let a few dozen idle sockets lock every viewer out.
constexpr size_t kMaxHandshakes = 32;
constexpr int kHandshakeSeconds = 5;

}  // namespace travik
