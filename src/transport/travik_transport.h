// The transport interface the manager talks to. One object is one endpoint:
// a listening server or one outgoing client connection, each with its own
// event-loop thread.
//
// Contract, for every operation below unless it says otherwise:
// - Thread: any thread. Listen, Connect, Stop and WaitStopped come from one
//   controlling thread at a time (the manager's Listen/Connect/Release).
// - Locks: the caller holds no transport lock; the object takes its own
//   (connection table, loop lifecycle, callbacks) briefly and never holds
//   one while a read or close callback runs.
// - Callbacks: the read and close callbacks run on the loop thread. From
//   them, SendData, SendParts, SendLatest, IsEmpty, AllBacklogged, RoomFor, RoomLeft, RoomStamp, Stop,
//   OnLoopThread, BoundPort and ConnectionCount may be called; Listen and Connect on the
//   endpoint's own loop thread are refused (-1) instead of waiting for
//   themselves, and WaitStopped must not be called there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "travik/travik.h"

namespace travik {
class TlsContext;  // tls_context.h
}  // namespace travik

class Travik {
public:
    virtual ~Travik() = default;

    // Server endpoint on all IPv4 addresses. Blocks until the port is bound
    // (0) or binding failed (-1, the loop thread has ended). Returns at once
    // while already listening.
    virtual int Listen(int port) = 0;
    // As Listen(port), bound to `address` (dotted IPv4 or an IPv6 literal;
    // null or "" = all IPv4) and, with `tls`, serving only viewers whose
    // TLS handshake finished. -1 with a diagnostic line when the address is
    // not a literal. This default serves plain all-IPv4 listeners only.
    virtual int ListenOn(const char* address, int port, std::shared_ptr<travik::TlsContext> tls) {
        if ((address && *address) || tls) return -1;
        return Listen(port);
    }
    // Client endpoint. Blocks until connected (0) or failed (-1); a running
    // connection is stopped first (waiting up to 5 s for its thread).
    virtual int Connect(const char* ip, int port) = 0;
    // As Connect, over TLS when `tls` is set: connected (0) only once the
    // handshake finished and the device's certificate was accepted.
    virtual int ConnectWith(const char* ip, int port, std::shared_ptr<travik::TlsContext> tls) {
        return tls ? -1 : Connect(ip, port);
    }
    // Queues `len` bytes of `data` for every connection; the buffer is shared,
    // not copied. Never blocks on the network. Always -1 (no caller needs
    // more; delivery problems show through IsEmpty).
    virtual int SendData(std::shared_ptr<unsigned char>& data, int len) = 0;
    // As SendData, for a frame held in two buffers (its header and its body):
    // queued back to back on every connection, so that no connection gets
    // one without the other. Both are shared, not copied, by the libevent
    // transport; this default joins them into one buffer.
    virtual int SendParts(std::shared_ptr<unsigned char>& head, int headLen, std::shared_ptr<unsigned char>& body,
                          int bodyLen) {
        if (!head || !body || headLen <= 0 || bodyLen <= 0) return -1;
        std::shared_ptr<unsigned char> joined(new unsigned char[static_cast<size_t>(headLen) + bodyLen],
                                              std::default_delete<unsigned char[]>());
        std::memcpy(joined.get(), head.get(), static_cast<size_t>(headLen));
        std::memcpy(joined.get() + headLen, body.get(), static_cast<size_t>(bodyLen));
        return SendData(joined, headLen + bodyLen);
    }
    // Non-blocking. 1 when no connection is registered, else 0 (a snapshot).
    virtual int IsEmpty() = 0;
    // Replaces the read callback; it runs on the loop thread with no
    // transport lock held.
    virtual int SetReadCb(TravikReadCb cb) = 0;
    // Asks the loop to end; returns at once. Safe from the loop thread.
    virtual int Stop() = 0;

    // As SendData, for frames that a newer one replaces (images): skipped for
    // a connection whose backlog is over the soft bound.
    virtual int SendLatest(std::shared_ptr<unsigned char>& data, int len) = 0;
    // Non-blocking. True when every connection's backlog is over the soft
    // bound: a sender of frames that must not be skipped (log text) should
    // hold back.
    virtual bool AllBacklogged() = 0;
    // Non-blocking. True when there is a connection and `bytes` more can be
    // queued without taking any connection's backlog past the hard bound
    // (backlog_limits.h); a connection whose output has not moved for the
    // no-progress deadline does not count (it is marked for closing instead).
    // Log text is staged only while this holds, so a viewer that keeps
    // reading is never cut.
    virtual bool RoomFor(size_t bytes) { return IsEmpty() == 0 && (bytes == 0 || RoomLeft() >= bytes); }
    // Non-blocking. The most bytes RoomFor would take now, so that a caller
    // can stop measuring its data there; the same side effects as RoomFor.
    virtual size_t RoomLeft() { return AllBacklogged() ? 0 : SIZE_MAX; }
    // Non-blocking. A transport whose room shrinks only as frames are queued
    // sets `stamp` to a count that changes whenever a connection comes or
    // goes or a frame is queued by SendData or SendLatest, and returns true:
    // while the stamp stays the same, room that RoomFor granted shrinks only
    // by what the caller itself queues with SendParts, so the caller may
    // spend it without asking again. False: ask RoomFor every time.
    virtual bool RoomStamp(uint64_t& stamp) {
        (void)stamp;
        return false;
    }
    // Called on the loop thread after a connection was removed, so that
    // per-connection state kept elsewhere can be dropped.
    virtual int SetCloseCb(std::function<void(unsigned long long)> cb) = 0;
    // Blocks up to `timeoutMs` for the loop thread to finish its teardown.
    // Returns true when it has (or never started). Must not be called from
    // the loop thread itself.
    virtual bool WaitStopped(int timeoutMs) = 0;
    // Non-blocking. True when called on this endpoint's loop thread.
    virtual bool OnLoopThread() const = 0;
    // Non-blocking. The port the server endpoint is bound to (the kernel's
    // choice after Listen(0)); 0 when not listening.
    virtual int BoundPort() const = 0;
    // Non-blocking. Number of registered connections (a snapshot).
    virtual int ConnectionCount() = 0;
    // Non-blocking. Failed accepts since the endpoint was made: a listener
    // that pauses after a failure makes a few per second, one that retries
    // at once makes thousands.
    virtual long long AcceptFailures() const { return 0; }
};

// Creates the libevent transport.
std::shared_ptr<Travik> MakeTravikObj();
