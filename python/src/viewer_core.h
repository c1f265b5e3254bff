// The C++ half of travik.Viewer: a manager object of its own (so a process
// may hold several viewers, and a device besides), callbacks that only feed
// the Inbox, and a watcher thread that notices a lost connection and, when
// asked to, connects again. Or, for a nats:// address, a Remote in place of
// the manager (it reconnects by itself).
//
// Contract: every method may be called from any Python thread with the GIL
// released; none of them touches Python. Close is idempotent, may race with
// any other call, and returns once the library's threads and the watcher
// have stopped (bounded by the library's own release wait).
#pragma once

#include <travik/travik.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "inbox.h"

namespace travik_py {

// A command's switches: 1 on, 2 off, 0 keep; interval < 1 keeps it.
struct CommandSt {
    int logs = 0;
    int images = 0;
    int channels[kChannels] = {0, 0, 0, 0};
    int intervalMs = 0;
};

// An image callback's arguments into `inbox` (any thread).
void PushReceivedImage(Inbox& inbox, int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data,
                       int len, unsigned long long tag);

// A viewer's stream that is not a direct connection to a device.
// Contract: ViewerCore calls it under its lifecycle mutex only, so from one
// thread at a time; Open may block for the connection, the others do not
// (Close waits for its threads). No Inbox push after Close returns.
class Remote {
public:
    virtual ~Remote() = default;
    // Connects and asks for `state`; images and log text go to `inbox`.
    virtual bool Open(const CommandSt& state, const std::shared_ptr<Inbox>& inbox) = 0;
    // False once lost for good.
    virtual bool Up() = 0;
    // What is now wanted as a whole (commands already merged).
    virtual void Want(const CommandSt& state) = 0;
    virtual void Close() = 0;
};

// The Remote of "nats://HOST[:PORT]/NAME"; null with `error` set when the
// address is malformed or this build has no NATS (HasNats()).
std::unique_ptr<Remote> MakeNatsRemote(const std::string& address, const std::string& credsFile,
                                       const std::string& tlsCaFile, std::string& error);
bool HasNats();

class ViewerCore {
public:
    ViewerCore(std::string ip, int port, bool reconnect);
    explicit ViewerCore(std::unique_ptr<Remote> remote);
    ~ViewerCore();
    ViewerCore(const ViewerCore&) = delete;
    ViewerCore& operator=(const ViewerCore&) = delete;

    // TLS for every connection this viewer makes (before Open).
    void SetTls(const TravikTls& tls);
    // Connects, registers the callbacks, sends `initial` and starts the
    // watcher. False when the connection could not be made (nothing runs then).
    bool Open(const CommandSt& initial);
    // Sends a command and remembers its effect, to repeat it after a reconnect.
    void Command(const CommandSt& cmd);
    void Close();

    Inbox& inbox() { return *m_inbox; }

private:
    bool ConnectOnce();  // under m_lifecycle
    void Watch();
    bool SleepUnlessClosed(std::chrono::milliseconds d);

    const std::string m_ip;
    const int m_port;
    const bool m_reconnect;
    TravikTls m_tls;  // caFile empty: plain; under m_lifecycle
    std::shared_ptr<Inbox> m_inbox = std::make_shared<Inbox>();
    TravikMgr m_mgr;
    std::unique_ptr<Remote> m_remote;  // set: used instead of m_mgr

    std::mutex m_lifecycle;   // Connect/Release/SetCb on m_mgr
    std::mutex m_stateMutex;  // m_state, m_closing
    std::condition_variable m_stateCond;
    CommandSt m_state;  // what the device should be told after a reconnect
    bool m_closing = false;
    bool m_closed = false;
    std::thread m_watcher;
};

}  // namespace travik_py
