// Pieces of the manager shared between its source files, and the contracts
// its threads keep.
//
// Threads: host threads (public operations), the send thread (send_thread.cpp)
// and one loop thread per endpoint (the transport's), which runs the receive
// path and therefore the host's callbacks (viewer) and commands (device).
// Locks, each held briefly and never nested with another manager lock or a
// transport's:
//   m_mutex           staging (log text, image slots, pending flag, m_exit);
//                     SendLogInfo holds it across the transport's RoomFor
//                     (the transport never calls the manager under a lock)
//   m_transportMutex  the m_server/m_client pointers, held only to copy them
//   m_recvMutex       reassembly state, callbacks, m_recvGeneration; never
//                     held while a host callback runs
// Callbacks: a host callback may call any public operation. Release from a
// callback does not wait for the calling loop thread, and no callback starts
// after it; Connect from a callback on the same endpoint is refused (-1).
#pragma once

#include <memory>

#include "protocol/wire.h"
#include "transport/travik_transport.h"
#include "travik/travik.h"

namespace travik {

// How long Release waits for a loop thread to finish its teardown. A loop
// stuck in a host callback is left to finish on its own after that; it keeps
// its transport alive while it runs.
constexpr int kReleaseWaitMs = 3000;
// Staged log text beyond this is refused rather than grown without bound
// when the send thread cannot keep up.
constexpr size_t kMaxStagedLogBytes = 16u << 20;

// Any thread, non-blocking (takes m_transportMutex briefly). Copies of the
// transport pointers, so that a thread can use a transport while Release
// drops the manager's own reference.
std::shared_ptr<Travik> ServerOf(TravikMgr& mgr);
std::shared_ptr<Travik> ClientOf(TravikMgr& mgr);

// Any thread, non-blocking; for tests and tools built on the internal
// library. The port the device endpoint is bound to (useful after
// Listen(0)), 0 when not listening; and the number of connected viewers.
int ListeningPort(TravikMgr& mgr);
int ViewerCount(TravikMgr& mgr);
// Failed accepts on the device endpoint so far (0 when not listening).
long long AcceptFailures(TravikMgr& mgr);

// Device loop thread, lock-free (the settings are atomics). Applies one
// command frame's body to the manager's send switches.
void ApplyCommand(TravikMgr& mgr, const CmdSt& cmd);

// Largest frame a device accepts from a viewer: viewers send only 48-byte
// commands, so a larger announced frame is hostile and must not make the
// device hold (or allocate) up to the general frame limit.
constexpr int kMaxFrameFromViewer = 64 * 1024;

// The receive path for one chunk of connection `connId`; frames larger than
// `maxFrameLen` are malformed. Runs on the loop thread that read the chunk
// (one call per connection at a time); takes m_recvMutex to fetch and store
// the connection's state and per frame to see whether Release came, and runs
// the host's callbacks without it. Never throws; may keep `data`.
void ReceiveChunk(TravikMgr& mgr, unsigned long long connId, std::shared_ptr<unsigned char>& data, int len,
                  int maxFrameLen);

// Loop thread (the transport's close callback); takes m_recvMutex. Forgets
// the reassembly state of a connection that has closed.
void DropConnectionState(TravikMgr& mgr, unsigned long long connId);

}  // namespace travik
