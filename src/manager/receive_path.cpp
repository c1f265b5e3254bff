// The manager's side of receiving: keeps each connection's reassembly state
// under m_recvMutex, feeds chunks to the frame assembler (protocol/) and acts
// on each whole frame: log text and images go to the host's callbacks,
// commands change the send switches.
#include <cstring>
#include <new>

#include "manager/manager_internal.h"
#include "platform/diag.h"
#include "platform/per_thread.h"
#include "protocol/frame_assembler.h"
#include "protocol/frame_reader.h"
#include "protocol/frame_writer.h"

namespace travik {

void DropConnectionState(TravikMgr& mgr, unsigned long long connId) {
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    mgr.m_recvFragments.erase(connId);
    mgr.m_recvLogText.erase(connId);
}

namespace {

// What one chunk's frames are dispatched with: copies of the callbacks and
// the generation they were taken in.
struct Delivery {
    TravikMgr& mgr;
    TravikLogCb log;
    TravikImageCb image;
    unsigned long long generation = 0;
};

bool Released(const Delivery& d) {
    std::lock_guard<std::mutex> lock(d.mgr.m_recvMutex);
    return d.generation != d.mgr.m_recvGeneration;
}

// The text handed to the log callback. Its storage is kept between frames
// on this thread (unless the callback takes it away), so that a stream of
// large log frames does not fault in fresh pages for every frame; more than
// kKeptLogText is not kept. A callback that makes this thread deliver again
// (ReadCallback of another manager) gets storage of its own.
class LogText {
public:
    LogText() : m_kept(!s_busy), m_text(m_kept ? Kept() : m_own) { s_busy = true; }
    ~LogText() {
        if (!m_kept) return;
        s_busy = false;
        if (m_text.capacity() > kKeptLogText) {
            std::string().swap(m_text);
        } else {
            m_text.clear();
        }
    }
    LogText(const LogText&) = delete;
    LogText& operator=(const LogText&) = delete;
    std::string& Get() { return m_text; }

private:
    static constexpr size_t kKeptLogText = 32u << 20;
    static std::string& Kept() {
        static PerThread<std::string> perThread;
        return perThread.Get();
    }
    static thread_local bool s_busy;
    bool m_kept;
    std::string m_own;
    std::string& m_text;
};
thread_local bool LogText::s_busy = false;

void DeliverLog(const Delivery& d, const unsigned char* payload, int dataLen) {
    if (!d.log) return;
    LogText text;
    if (DecodeLogPayload(payload, dataLen, text.Get())) RunGuarded("log callback threw", [&] { d.log(text.Get()); });
}

// A large log frame that arrived in pieces: its text is copied from the
// pieces straight into the callback's string, instead of joining the pieces
// first and copying the text out of the joined frame; each piece is searched
// for the NUL just before it is copied, while it is still in cache. Same
// rules as DecodeLogPayload: the text ends at the first NUL, and a payload
// without one is dropped.
FrameAssembler::Pieced TakeLogFrame(const Delivery& d, const unsigned char* header, int frameLen,
                                    const FrameAssembler::VisitBytes& visit) {
    const FrameHeaderSt h = DecodeFrameHeader(header);
    if (h.msgType != MSG_LOG || h.dataLen != frameLen - kFrameHeaderLen) return FrameAssembler::Pieced::Join;
    if (Released(d)) return FrameAssembler::Pieced::Stop;
    if (!d.log || h.dataLen <= 0) return FrameAssembler::Pieced::Taken;
    LogText text;
    std::string& s = text.Get();
    bool ended = false;
    try {
        s.reserve(static_cast<size_t>(h.dataLen - 1));
        visit(kFrameHeaderLen, h.dataLen, [&](const unsigned char* p, int k) {
            const void* nul = std::memchr(p, 0, static_cast<size_t>(k));
            const size_t take = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - p) : k;
            s.append(reinterpret_cast<const char*>(p), take);
            ended = nul != nullptr;
            return !ended;
        });
    } catch (const std::bad_alloc&) {
        Diag("receive: out of memory, frame dropped\n");
        return FrameAssembler::Pieced::Taken;
    }
    if (!ended) return FrameAssembler::Pieced::Taken;
    RunGuarded("log callback threw", [&] { d.log(s); });
    return FrameAssembler::Pieced::Taken;
}

// A large log frame streamed as it arrives: each span's text is appended to
// the connection's string while the span is still in cache, and the chunk it
// came in can go at once. Same rules as DecodeLogPayload: the text ends at
// the first NUL, and a payload without one is dropped. The string's storage
// is kept on this thread between frames, as LogText's is.
class LogStream {
public:
    enum State { Gathering = 0, Ended = 1, Dropped = 2 };

    LogStream(const Delivery& d, RecvLogText& state) : m_d(d), m_state(state) {}

    FrameAssembler::Streamed Start(const unsigned char* header, int frameLen, const unsigned char* p, int n) {
        const FrameHeaderSt h = DecodeFrameHeader(header);
        if (h.msgType != MSG_LOG || h.dataLen != frameLen - kFrameHeaderLen) return FrameAssembler::Streamed::Decline;
        if (Released(m_d)) return FrameAssembler::Streamed::Stop;
        m_state.text.clear();
        m_state.state = Dropped;
        if (m_d.log) {
            // Not sized from the header: the text grows with the bytes that
            // arrive, into storage kept from earlier frames.
            m_state.text.swap(Spare());
            m_state.state = Gathering;
        }
        Append(p + kFrameHeaderLen, n - kFrameHeaderLen);
        return FrameAssembler::Streamed::Stream;
    }

    FrameAssembler::Streamed More(const unsigned char* p, int n, bool last) {
        if (Released(m_d)) return FrameAssembler::Streamed::Stop;
        Append(p, n);
        if (!last) return FrameAssembler::Streamed::Stream;
        if (m_state.state == Ended && m_d.log) RunGuarded("log callback threw", [&] { m_d.log(m_state.text); });
        // The callback may have taken the string; keep what is left for the next frame.
        m_state.text.clear();
        if (m_state.text.capacity() <= kKeptText && m_state.text.capacity() > Spare().capacity())
            m_state.text.swap(Spare());
        std::string().swap(m_state.text);
        m_state.state = Dropped;
        return FrameAssembler::Streamed::Stream;
    }

private:
    static constexpr size_t kKeptText = 32u << 20;
    static std::string& Spare() {
        static PerThread<std::string> perThread;
        return perThread.Get();
    }

    void Append(const unsigned char* p, int n) {
        if (m_state.state != Gathering || n <= 0) return;
        const void* nul = std::memchr(p, 0, static_cast<size_t>(n));
        const size_t take = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - p) : n;
        try {
            m_state.text.append(reinterpret_cast<const char*>(p), take);
        } catch (const std::bad_alloc&) {
            Diag("receive: out of memory, frame dropped\n");
            std::string().swap(m_state.text);
            m_state.state = Dropped;
            return;
        }
        if (nul) m_state.state = Ended;
    }

    const Delivery& m_d;
    RecvLogText& m_state;
};

void DeliverImages(const Delivery& d, const FrameHeaderSt& header, const unsigned char* payload) {
    if (!d.image) return;
    DecodeImagePayload(header, payload, [&](const ImageRecordView& rec) {
        std::shared_ptr<unsigned char> image = AllocBytes(static_cast<size_t>(rec.header.imageLen));
        if (rec.header.imageLen > 0) std::memcpy(image.get(), rec.bytes, static_cast<size_t>(rec.header.imageLen));
        const ImageHeaderSt& h = rec.header;
        RunGuarded("image callback threw",
                   [&] { d.image(h.attr1, h.attr2, h.attr3, h.attr4, h.attr5, image, h.imageLen, h.tag); });
    });
}

// One whole frame at `p`, checked by the assembler. Returns false once the
// manager was released (possibly by a callback of this very chunk): no
// callback starts after Release.
bool HandleFrame(const Delivery& d, const unsigned char* p) {
    if (Released(d)) return false;
    FrameHeaderSt header = DecodeFrameHeader(p);
    const unsigned char* payload = p + kFrameHeaderLen;
    try {
        switch (header.msgType) {
            case MSG_LOG:
                DeliverLog(d, payload, header.dataLen);
                break;
            case MSG_IMAGE:
                DeliverImages(d, header, payload);
                break;
            case MSG_CMD: {
                CmdSt cmd;
                if (DecodeCmdPayload(payload, header.dataLen, cmd)) ApplyCommand(d.mgr, cmd);
                break;
            }
            default:
                break;
        }
    } catch (const std::bad_alloc&) {
        Diag("receive: out of memory, frame dropped\n");
    }
    return true;
}

}  // namespace

void ReceiveChunk(TravikMgr& mgr, unsigned long long connId, std::shared_ptr<unsigned char>& data, int len,
                  int maxFrameLen) {
    if (!data || len <= 0) return;
    std::vector<RecvFragment> pending;
    RecvLogText streamed;
    Delivery d{mgr, nullptr, nullptr, 0};
    {
        std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
        auto it = mgr.m_recvFragments.find(connId);
        if (it != mgr.m_recvFragments.end()) pending.swap(it->second);
        auto st = mgr.m_recvLogText.find(connId);
        if (st != mgr.m_recvLogText.end()) {
            std::swap(streamed, st->second);
            mgr.m_recvLogText.erase(st);
        }
        d.log = mgr.m_logCb;
        d.image = mgr.m_imageCb;
        d.generation = mgr.m_recvGeneration;
    }
    // Frames run without the lock, so callbacks may call back into the manager.
    const Delivery* dp = &d;
    LogStream stream(d, streamed);
    LogStream* sp = &stream;
    FrameAssembler assembler(
        maxFrameLen, [dp](const unsigned char* frame, int) { return HandleFrame(*dp, frame); },
        [dp](const unsigned char* header, int frameLen, const FrameAssembler::VisitBytes& visit) {
            return TakeLogFrame(*dp, header, frameLen, visit);
        },
        [sp](const unsigned char* header, int frameLen, const unsigned char* p, int n) {
            return sp->Start(header, frameLen, p, n);
        },
        [sp](const unsigned char* p, int n, bool last) { return sp->More(p, n, last); });
    try {
        assembler.Push(pending, data, len);
    } catch (const std::bad_alloc&) {
        Diag("receive: out of memory, %d bytes dropped\n", len);
        pending.clear();
    }
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    if (d.generation != mgr.m_recvGeneration) return;  // released meanwhile
    const bool streaming = !pending.empty() && !pending.front().data;
    mgr.m_recvFragments[connId].swap(pending);
    if (streaming) std::swap(mgr.m_recvLogText[connId], streamed);
}

}  // namespace travik

using namespace travik;

void TravikMgr::ReadCallback(unsigned long long connId, std::shared_ptr<unsigned char>& data, int len) {
    ReceiveChunk(*this, connId, data, len, kMaxFrameLen);
}
