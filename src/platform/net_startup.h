// Per-thread network start-up, needed before the first socket call on
// platforms whose socket library must be initialised (Windows); elsewhere it
// also readies libevent for use from several threads and keeps SIGPIPE from
// killing the host when a peer vanishes mid-write.
#pragma once

namespace travik {

// Called once by each loop thread before it touches libevent or sockets.
// `version` is the socket-library version word requested on Windows.
void StartNetworkOnThisThread(unsigned short version);

// Makes libevent safe to wake from other threads (event_base_loopbreak,
// event_active). Idempotent; called before any event base is created.
void EnableLibeventThreads();

// Names the calling thread (shown by debuggers, top and /proc), so that the
// library's threads can be told from the host's.
void NameThisThread(const char* name);

}  // namespace travik
