// travik: stream log text and images from a device program to viewer
// programs over TCP, and carry control commands back.
//
// The whole public face is TravikMgr, reached through
// Singleton<TravikMgr>::GetInstance(). A device host calls Listen() and
// stages data with SendLogInfo()/SendImageData(); a viewer host calls
// Connect(), registers callbacks and steers the device with SendCmd().
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(TRAVIK_STATIC)
#define TRAVIK_API
#elif defined(_WIN32)
#if defined(TRAVIK_BUILDING)
#define TRAVIK_API __declspec(dllexport)
#else
#define TRAVIK_API __declspec(dllimport)
#endif
#else
#define TRAVIK_API __attribute__((visibility("default")))
#endif

class Travik;
namespace travik {
class CompressPool;
class SpareLogText;
}  // namespace travik

// Connection identifier, received bytes, byte count.
using TravikReadCb = std::function<void(unsigned long long, std::shared_ptr<unsigned char>&, int)>;
// One received log text.
using TravikLogCb = std::function<void(std::string&)>;
// attr1..attr5, image bytes (a buffer of exactly imageLen bytes that the
// callee may keep), imageLen, tag.
using TravikImageCb =
    std::function<void(int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long)>;

// One staged image. attr2 == 0 marks a slot whose image was already taken.
struct TRAVIK_API SendImageSt {
    int attr1 = 0;
    int attr2 = 0;
    int attr3 = 0;
    int attr4 = 0;
    int attr5 = 0;
    std::shared_ptr<unsigned char> data;
    int imageLen = 0;
    unsigned long long tag = 0;
};

// One piece of a partly received frame.
struct TRAVIK_API RecvFragment {
    std::shared_ptr<unsigned char> data;
    int len = 0;
    int frameLen = 0;  // size of the frame at the head of the pending bytes; 0 while unknown
    int capacity = 0;  // > len when the library owns `data` and may append to it
};

// The text of a large log frame being received, gathered as its bytes arrive.
struct TRAVIK_API RecvLogText {
    std::string text;
    int state = 0;  // 0 gathering, 1 its NUL was seen, 2 dropped
};

// Process-wide single instance, created on first use and destroyed at exit.
template <class T>
class TRAVIK_API Singleton {
public:
    Singleton() {}
    ~Singleton() {}
    Singleton& operator=(const Singleton&) { return *this; }

    // Any thread. Never returns null; concurrent first calls create one instance.
    static T* GetInstance();

private:
    static void Destory();  // registered with atexit; the exported name keeps this spelling

    static T* volatile s_ins;
    static std::mutex s_mtx;
};

class TravikMgr;
extern template class Singleton<TravikMgr>;

// TLS settings of an endpoint: PEM file paths; an empty string is unset.
struct TRAVIK_API TravikTls {
    std::string certFile;    // device: its certificate (required for TLS); viewer: optional client certificate
    std::string keyFile;     // private key of certFile
    std::string caFile;      // device: client CA; when set, only viewers with a certificate signed by it are served.
                             // viewer: the CA that signed the device's certificate (required for a TLS viewer)
    std::string serverName;  // viewer: name or IP checked against the device's certificate; empty = the Connect address
};

// Threads: call Listen, Connect, Release, SetTls, SetLogCb and SetImageCb from
// one host thread at a time. The staging operations (SendLogInfo, SendImageData,
// SendImageDataPtr) and SendCmd may be called from any number of threads.
// Callbacks run on the library's event-loop thread of the endpoint that
// received the data; a callback must not block for long, since no further
// bytes of that endpoint are read while it runs.
class TRAVIK_API TravikMgr {
public:
    TravikMgr();
    ~TravikMgr();
    TravikMgr(const TravikMgr&) = delete;
    TravikMgr& operator=(const TravikMgr&) = delete;

    // Device side: listen on all IPv4 addresses at `port` (low 16 bits) and
    // start the send thread. Blocks until the port is bound or binding failed.
    // Returns 0 when listening, -1 when the port could not be bound (nothing
    // keeps running then). Calling it again while listening only resets the
    // image staging, the channel switches (all on) and the interval (200 ms).
    int Listen(int port);

    // Device side: as Listen(port), on one local address: dotted IPv4 or an
    // IPv6 literal ("::1"); null or "" means all IPv4 addresses, exactly as
    // Listen(port). -1 (with a diagnostic line) when the address is not a
    // literal or cannot be bound.
    int Listen(const char* address, int port);

    // Either side, before Listen/Connect: later Listen/Connect calls use TLS
    // with these files; SetTls(TravikTls{}) turns TLS off again (plain, the
    // default). Returns -1 and changes nothing when the library was built
    // without TLS, or when the settings are inconsistent (key without cert,
    // cert without key, server name without CA). Files are read (and
    // checked) by Listen/Connect, which fail closed with a diagnostic line
    // naming the file: never a fallback to plain.
    int SetTls(const TravikTls& tls);

    // 1 when the library was built with TLS, else 0.
    static int TlsAvailable();

    // Viewer side: connect to the device at dotted IPv4 `ip` and `port`.
    // Blocks until connected (0) or failed (-1). Call SetLogCb or SetImageCb
    // afterwards to start receiving.
    int Connect(char* ip, int port);

    // Stops both endpoints and the send thread, waits briefly for the
    // library's threads to finish, and empties all buffers. Always 0.
    // Switches, interval and callbacks keep their values. No log or image
    // callback starts after it returns. It may be called from such a
    // callback: it then does not wait for the thread running the callback.
    int Release();

    // Register the log/image callback (run on the viewer's loop thread). The
    // first of the two called after Connect starts delivery. Always 0.
    int SetLogCb(TravikLogCb cb);
    int SetImageCb(TravikImageCb cb);

    // Kept for compatibility; does nothing.
    void ThreadReadInfo();

    // Any thread, non-blocking. 1 while the viewer connection made by Connect
    // is up, or (device side) while at least one viewer is connected; else 0.
    int IsConnected();

    // Device side, any thread, never blocks on the network. Appends the text
    // up to its first NUL (len is not used) to the next log frame. Returns 0
    // when staged, -1 when refused: log stream closed (the default until a
    // viewer opens it), nobody connected, or null text.
    int SendLogInfo(char* text, int len);

    // Device side, any thread. Copies `len` bytes and stages them in the
    // image's channel (chosen by attr1/attr5), replacing an unsent image of
    // that channel. Returns -1 when the image stream is closed or the
    // arguments are invalid (null data with len > 0, len < 0); 0 otherwise,
    // also when a gate (nobody connected, channel off, interval) dropped it;
    // the gates come first, so a dropped image is never read or copied.
    int SendImageData(int attr1, int attr2, int attr3, int attr4, int attr5, unsigned char* data, int len,
                      unsigned long long tag);

    // As SendImageData, but shares `data` instead of copying it; the caller
    // must not change the bytes afterwards.
    int SendImageDataPtr(int attr1, int attr2, int attr3, int attr4, int attr5, std::shared_ptr<unsigned char> data,
                         int len, unsigned long long tag);

    // Device side, any thread. Image frames are compressed at `level` 1 to 9
    // (default 6; lower is faster and compresses less) by `threads` threads:
    // 1 (the default) compresses each frame in one call on the send thread;
    // 2 to 32 split large frames into pieces compressed concurrently, into
    // the same single stream any viewer reads; 0 means one per core, at most
    // 8. Takes effect from the next frame. Returns 0, or -1 and changes
    // nothing when a value is out of range. Listen also reads the
    // environment variables TRAVIK_COMPRESS_LEVEL and TRAVIK_COMPRESS_THREADS,
    // which override these settings when set to a valid value.
    int SetCompression(int level, int threads);

    // The send thread's take of everything staged. Blocks until something is
    // staged or Release is called. Always 0.
    int GetSendInfo(std::string& text, std::vector<SendImageSt>& images);

    // Body of the send thread started by Listen.
    void ThreadSendInfo();

    // Receive path: reassembles frames from chunks of connection `connId` and
    // runs the callbacks (viewer side) or applies commands (device side).
    // Runs on the loop thread that received the bytes; may keep a reference
    // to `data`.
    void ReadCallback(unsigned long long connId, std::shared_ptr<unsigned char>& data, int len);

    // Viewer side, any thread, non-blocking. Sends one command: switches are
    // 1 = on, 2 = off, other = keep; imageSwitches points at 4 ints (channel
    // 0 first; null keeps all four); sendInterval in ms, < 1 keeps it.
    // Always 0; nothing is sent before Connect.
    int SendCmd(int logSwitch, int imageSwitch, int* const imageSwitches, int sendInterval);

    // The members below are the library's own state; hosts do not touch them.
    std::shared_ptr<Travik> m_server;
    std::shared_ptr<Travik> m_client;
    TravikLogCb m_logCb;
    TravikImageCb m_imageCb;
    int m_readCbSet = 0;
    // Reassembly state, one per connection (keyed by connection identifier).
    std::map<unsigned long long, std::vector<RecvFragment>> m_recvFragments;
    std::map<unsigned long long, RecvLogText> m_recvLogText;
    std::thread m_sendThread;
    std::atomic<bool> m_exit{false};
    std::atomic<bool> m_dataReady{false};
    std::condition_variable m_cond;
    std::mutex m_mutex;
    std::string m_logText;
    // Bytes of log frames accepted but not yet queued on the connections:
    // the staged text as one frame plus the frames the send thread holds.
    std::atomic<long long> m_logInFlight{0};
    // Under m_mutex: room for log frames that the transport granted and that
    // may be spent without asking it again while its room stamp stays
    // m_logCreditStamp.
    long long m_logCredit = 0;
    uint64_t m_logCreditStamp = 0;
    std::vector<SendImageSt> m_images;
    int m_imagesPending = 0;
    std::atomic<int> m_sendImagesOnOff[4] = {};
    std::atomic<int> m_sendInterval{0};
    std::atomic<unsigned long long> m_lastSendTime[4] = {};
    std::atomic<int> m_logClosed{1};
    std::atomic<int> m_imageClosed{0};

    // Guards m_recvFragments and the callbacks against the loop threads;
    // Release bumps the generation so that a delivery still running on a
    // loop thread does not store state into the emptied map.
    std::mutex m_recvMutex;
    unsigned long long m_recvGeneration = 0;
    // Guards m_server/m_client against the send thread's reads.
    std::mutex m_transportMutex;

    // Compression settings (SetCompression) and the workers that help the
    // send thread, started by Listen and stopped by Release.
    std::atomic<int> m_compressLevel{6};
    std::atomic<int> m_compressThreads{1};
    std::shared_ptr<travik::CompressPool> m_compressPool;
    // Storage of sent log frames, reused for the next staged text.
    std::shared_ptr<travik::SpareLogText> m_spareLogText;
    // TLS settings for the next Listen/Connect (SetTls); all empty = plain.
    TravikTls m_tls;
};
