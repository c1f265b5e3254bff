#include "receive_path_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>

#include "platform/asan_poison.h"
#include "protocol/frame_reader.h"
#include "protocol/wire.h"
#include "travik/travik.h"

namespace travik_fuzz {
namespace {

using travik::GetI32;
using travik::GetU64;

// Order-sensitive digest of what a connection delivered.
struct Digest {
    uint64_t hash = 1469598103934665603ull;
    uint64_t count = 0;

    void Mix(const void* p, size_t n) {
        const unsigned char* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) hash = (hash ^ b[i]) * 1099511628211ull;
    }
    void MixInt(uint64_t v) { Mix(&v, sizeof v); }
    bool operator==(const Digest& o) const { return hash == o.hash && count == o.count; }
};

struct Input {
    const uint8_t* cuts = nullptr;
    size_t cutCount = 0;
    const uint8_t* stream = nullptr;
    size_t size = 0;
};

Input SplitInput(const uint8_t* data, size_t size) {
    Input in;
    if (size == 0) return in;
    in.cutCount = std::min<size_t>(data[0] % 16, size - 1);
    in.cuts = data + 1;
    in.stream = data + 1 + in.cutCount;
    in.size = size - 1 - in.cutCount;
    return in;
}

enum class Plan { Whole, A, B };

constexpr size_t kMaxChunks = 32;

// The chunks of one input, carved from one buffer kept across inputs: a
// fresh heap buffer per chunk cost most of an input's time under ASan. Each
// chunk is unpoisoned only while it is handed out and alive, with poisoned
// gaps around it, so that a read past a chunk or after the receive path let
// go of it is still caught (as use-after-poison).
class ChunkArena {
public:
    // Makes room for the chunks of `plans` plans over `streamSize` bytes.
    // Only between inputs: no chunk may be alive.
    void Reset(size_t streamSize, size_t plans) {
        if (m_alive != 0) {
            // A chunk outlived its input (already reported): leave its
            // memory to it rather than hand it out again.
            static_cast<void>(m_buffer.release());
            m_capacity = 0;
            m_alive = 0;
        }
        const size_t need = plans * (streamSize + kMaxChunks * (kGap + kBlockBytes + 2 * kAlign)) + kGap;
        if (need > m_capacity) {
            travik::UnpoisonBytes(m_buffer.get(), m_capacity);
            m_buffer.reset(new unsigned char[need]);
            m_capacity = need;
        }
        travik::PoisonBytes(m_buffer.get(), m_capacity);
        m_used = kGap;
    }

    // A chunk holding `n` bytes of `src`, counted as alive until its last
    // reference goes.
    std::shared_ptr<unsigned char> Make(const uint8_t* src, size_t n) {
        unsigned char* block = Carve(kBlockBytes);
        unsigned char* p = Carve(n);
        travik::UnpoisonBytes(p, n);
        std::memcpy(p, src, n);
        ++m_alive;
        return std::shared_ptr<unsigned char>(p, Release{this, n}, BlockAlloc<unsigned char>{block});
    }

    size_t Alive() const { return m_alive; }

private:
    static constexpr size_t kAlign = 16;
    static constexpr size_t kGap = 32;
    static constexpr size_t kBlockBytes = 128;  // room for a shared_ptr control block

    struct Release {
        ChunkArena* arena;
        size_t n;
        void operator()(unsigned char* p) const {
            travik::PoisonBytes(p, n);
            --arena->m_alive;
        }
    };

    // Hands the control block the room carved for it; frees nothing.
    template <class T>
    struct BlockAlloc {
        using value_type = T;
        unsigned char* block;
        template <class U>
        BlockAlloc(const BlockAlloc<U>& o) : block(o.block) {}
        explicit BlockAlloc(unsigned char* b) : block(b) {}
        T* allocate(size_t count) {
            static_assert(alignof(T) <= kAlign, "control block alignment");
            if (count * sizeof(T) > kBlockBytes) throw std::bad_alloc();
            travik::UnpoisonBytes(block, count * sizeof(T));
            return reinterpret_cast<T*>(block);
        }
        void deallocate(T* p, size_t count) { travik::PoisonBytes(p, count * sizeof(T)); }
        template <class U>
        bool operator==(const BlockAlloc<U>& o) const {
            return block == o.block;
        }
        template <class U>
        bool operator!=(const BlockAlloc<U>& o) const {
            return block != o.block;
        }
    };

    unsigned char* Carve(size_t n) {
        m_used = (m_used + kAlign - 1) / kAlign * kAlign;
        unsigned char* p = m_buffer.get() + m_used;
        m_used += n + kGap;
        if (m_used > m_capacity) std::abort();  // Reset sized it too small: a driver bug
        return p;
    }

    std::unique_ptr<unsigned char[]> m_buffer;
    size_t m_capacity = 0;
    size_t m_used = 0;
    size_t m_alive = 0;
};

ChunkArena& Arena() {
    static ChunkArena arena;
    return arena;
}

// Sizes of successive chunks of one plan.
class Chunker {
public:
    Chunker(const Input& in, Plan plan) : m_in(in), m_plan(plan) {}

    bool Done() const { return m_offset >= m_in.size; }

    // The next chunk: a buffer of exactly its size, as the transport hands
    // over, so that a read past it is caught.
    std::shared_ptr<unsigned char> Next(int& len) {
        size_t want = NextSize();
        size_t n = std::min(want, m_in.size - m_offset);
        std::shared_ptr<unsigned char> chunk = Arena().Make(m_in.stream + m_offset, n);
        m_offset += n;
        ++m_index;
        len = static_cast<int>(n);
        return chunk;
    }

private:
    size_t NextSize() const {
        const size_t m = m_in.cutCount;
        // Past kMaxChunks the rest comes whole: every split the cut bytes
        // ask for is still made, and an input costs tens of calls, not one
        // per byte.
        if (m_index + 1 >= kMaxChunks) return m_in.size;
        switch (m_plan) {
            case Plan::Whole:
                return m_in.size;
            case Plan::A:
                return m == 0 ? 1 : static_cast<size_t>(m_in.cuts[m_index % m]) + 1;
            case Plan::B:
                return m == 0 ? 7 : static_cast<size_t>((m_in.cuts[m - 1 - m_index % m] ^ 0xA5u) * 2u % 300u) + 1;
        }
        return 1;
    }

    const Input& m_in;
    Plan m_plan;
    size_t m_offset = 0;
    size_t m_index = 0;
};

// Walks the whole frames at the start of the stream with the reader's header
// rules. Returns false when a header that the receive path examines is bad;
// `consumed` is the size of the whole frames before the stop.
template <class OnFrame>
bool WalkFrames(const uint8_t* p, size_t n, size_t& consumed, OnFrame&& onFrame) {
    consumed = 0;
    while (n - consumed > static_cast<size_t>(travik::kFrameHeaderLen)) {
        const uint8_t* f = p + consumed;
        int32_t msgType = GetI32(f);
        int32_t dataLen = GetI32(f + 8);
        if (msgType < travik::MSG_LOG || msgType > travik::MSG_CMD) return false;
        if (dataLen < 0 || static_cast<int64_t>(dataLen) + travik::kFrameHeaderLen > travik::kMaxFrameLen) return false;
        size_t frameLen = static_cast<size_t>(dataLen) + travik::kFrameHeaderLen;
        if (n - consumed < frameLen) return true;
        onFrame(f, dataLen);
        consumed += frameLen;
    }
    return true;
}

// The reassembly state of one connection must hold exactly the unprocessed
// bytes, in one of its four allowed shapes.
bool PendingShapeOk(TravikMgr& mgr, unsigned long long connId, long long& pendingBytes) {
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    pendingBytes = 0;
    auto it = mgr.m_recvFragments.find(connId);
    if (it == mgr.m_recvFragments.end() || it->second.empty()) return true;
    const std::vector<RecvFragment>& pieces = it->second;
    const int frameLen = pieces.front().frameLen;
    if (!pieces.front().data) {
        // A large log frame being streamed into its text: one marker entry
        // counting the frame's bytes taken so far.
        pendingBytes = pieces.front().len;
        return pieces.size() == 1 && pendingBytes > 0 && pendingBytes < frameLen;
    }
    for (const RecvFragment& piece : pieces) {
        if (!piece.data || piece.len <= 0 || piece.frameLen != frameLen) return false;
        pendingBytes += piece.len;
    }
    if (frameLen == 0) return pieces.size() == 1 && pendingBytes <= travik::kFrameHeaderLen;
    return pendingBytes < frameLen;
}

// Forgets the pending bytes of `conns` as Release does, but keeps the
// manager's entries and their storage: Release per input cost more than the
// input. After it no chunk of the input may still be held.
void ForgetConnections(TravikMgr& mgr, std::initializer_list<unsigned long long> conns) {
    std::lock_guard<std::mutex> lock(mgr.m_recvMutex);
    for (unsigned long long conn : conns) {
        auto it = mgr.m_recvFragments.find(conn);
        if (it != mgr.m_recvFragments.end()) it->second.clear();
        mgr.m_recvLogText.erase(conn);
    }
}

// ---------------------------------------------------------------------------
// Viewer side

constexpr unsigned long long kConnWhole = 3;
constexpr unsigned long long kConnA = 1;
constexpr unsigned long long kConnB = 0xFFFFFFFFFFFFFFFFull;  // the viewer's own connection id

struct Recorder {
    Digest whole, a, b;
    Digest* current = nullptr;
};

Recorder& Rec() {
    static Recorder rec;
    return rec;
}

TravikMgr& ViewerMgr() {
    static TravikMgr* mgr = [] {
        auto* m = new TravikMgr();  // lives for the process; no threads to stop
        m->SetLogCb([](std::string& text) {
            Digest* d = Rec().current;
            d->MixInt(1);
            d->MixInt(text.size());
            d->Mix(text.data(), text.size());
            ++d->count;
        });
        m->SetImageCb([](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& image, int len,
                         unsigned long long tag) {
            Digest* d = Rec().current;
            d->MixInt(2);
            for (int v : {a1, a2, a3, a4, a5, len}) d->MixInt(static_cast<uint64_t>(static_cast<int64_t>(v)));
            d->MixInt(tag);
            if (len < 0 || (len > 0 && !image)) d->MixInt(0xBADull);
            if (len > 0 && image) d->Mix(image.get(), static_cast<size_t>(len));  // reads the whole buffer
            ++d->count;
        });
        return m;
    }();
    return *mgr;
}

void Feed(TravikMgr& mgr, unsigned long long connId, Chunker& chunker) {
    int len = 0;
    std::shared_ptr<unsigned char> chunk = chunker.Next(len);
    if (len > 0) mgr.ReadCallback(connId, chunk, len);
}

}  // namespace

bool DriveReceivePath(const uint8_t* data, size_t size, DriveResult* result) {
    if (size > static_cast<size_t>(INT_MAX) / 2) return true;
    const Input in = SplitInput(data, size);
    TravikMgr& mgr = ViewerMgr();
    Recorder& rec = Rec();
    rec = Recorder{};

    Arena().Reset(in.size, 3);
    Chunker whole(in, Plan::Whole), a(in, Plan::A), b(in, Plan::B);
    rec.current = &rec.whole;
    while (!whole.Done()) Feed(mgr, kConnWhole, whole);
    while (!a.Done() || !b.Done()) {
        rec.current = &rec.a;
        if (!a.Done()) Feed(mgr, kConnA, a);
        rec.current = &rec.b;
        if (!b.Done()) Feed(mgr, kConnB, b);
    }
    rec.current = nullptr;

    size_t consumed = 0;
    const bool wellFormed = WalkFrames(in.stream, in.size, consumed, [](const uint8_t*, int32_t) {});
    bool ok = true;
    for (unsigned long long conn : {kConnWhole, kConnA, kConnB}) {
        long long pending = 0;
        if (!PendingShapeOk(mgr, conn, pending)) ok = false;
        if (wellFormed && pending != static_cast<long long>(in.size - consumed)) ok = false;
    }
    if (wellFormed && !(rec.a == rec.whole && rec.b == rec.whole)) ok = false;
    if (result) {
        result->wellFormed = wellFormed;
        result->deliveries = rec.whole.count;
    }
    ForgetConnections(mgr, {kConnWhole, kConnA, kConnB});
    if (Arena().Alive() != 0) ok = false;  // the receive path kept a chunk it no longer accounts for
    return ok;
}

// ---------------------------------------------------------------------------
// Device side

namespace {

struct Settings {
    int logClosed = 1;
    int imageClosed = 0;
    int onOff[4] = {1, 1, 1, 1};
    int interval = 200;

    bool operator==(const Settings& o) const {
        return logClosed == o.logClosed && imageClosed == o.imageClosed && interval == o.interval &&
               std::equal(onOff, onOff + 4, o.onOff);
    }
};

// What a device manager looks like right after Listen and before any command.
void ResetDevice(TravikMgr& mgr) {
    ForgetConnections(mgr, {5, 6});
    Settings s;
    mgr.m_logClosed = s.logClosed;
    mgr.m_imageClosed = s.imageClosed;
    for (int i = 0; i < 4; ++i) mgr.m_sendImagesOnOff[i] = s.onOff[i];
    mgr.m_sendInterval = s.interval;
}

Settings ReadDevice(TravikMgr& mgr) {
    Settings s;
    s.logClosed = mgr.m_logClosed.load();
    s.imageClosed = mgr.m_imageClosed.load();
    for (int i = 0; i < 4; ++i) s.onOff[i] = mgr.m_sendImagesOnOff[i].load();
    s.interval = mgr.m_sendInterval.load();
    return s;
}

void ApplyModel(Settings& s, const uint8_t* body) {
    if (GetI32(body) != 1) return;
    auto flip = [](int value, int& closedFlag) {
        if (value == 1) closedFlag = 0;
        if (value == 2) closedFlag = 1;
    };
    flip(GetI32(body + 4), s.logClosed);
    flip(GetI32(body + 8), s.imageClosed);
    for (int i = 0; i < 4; ++i) {
        int v = GetI32(body + 12 + 4 * i);
        if (v == 1) s.onOff[i] = 1;
        if (v == 2) s.onOff[i] = 0;
    }
    int interval = GetI32(body + 28);
    if (interval >= 1) s.interval = interval;
}

TravikMgr& DeviceMgr(int which) {
    static TravikMgr* mgrs[3] = {new TravikMgr(), new TravikMgr(), new TravikMgr()};
    return *mgrs[which];
}

}  // namespace

bool DriveCommandStream(const uint8_t* data, size_t size, DriveResult* result) {
    if (size > static_cast<size_t>(INT_MAX) / 2) return true;
    bool ok = true;

    // The raw input as a command body at the end of a frame of `size` bytes.
    travik::CmdSt cmd;
    const bool decoded = travik::DecodeCmdPayload(data, static_cast<int>(size), cmd);
    if (decoded != (size >= static_cast<size_t>(travik::kCmdBodyLen))) ok = false;
    if (decoded) {
        const int32_t expect[8] = {GetI32(data),      GetI32(data + 4),  GetI32(data + 8),  GetI32(data + 12),
                                   GetI32(data + 16), GetI32(data + 20), GetI32(data + 24), GetI32(data + 28)};
        const int32_t got[8] = {cmd.cmdType,          cmd.logSwitch,        cmd.imageSwitch,      cmd.imageSwitches[0],
                                cmd.imageSwitches[1], cmd.imageSwitches[2], cmd.imageSwitches[3], cmd.sendInterval};
        if (!std::equal(expect, expect + 8, got)) ok = false;
    }

    const Input in = SplitInput(data, size);
    TravikMgr& whole = DeviceMgr(0);
    TravikMgr& a = DeviceMgr(1);
    TravikMgr& b = DeviceMgr(2);
    for (int i = 0; i < 3; ++i) ResetDevice(DeviceMgr(i));

    Arena().Reset(in.size, 3);
    Chunker cw(in, Plan::Whole), ca(in, Plan::A), cb(in, Plan::B);
    while (!cw.Done()) Feed(whole, 5, cw);
    while (!ca.Done() || !cb.Done()) {
        if (!ca.Done()) Feed(a, 5, ca);
        if (!cb.Done()) Feed(b, 6, cb);
    }

    Settings model;
    uint64_t commands = 0;
    size_t consumed = 0;
    const bool wellFormed = WalkFrames(in.stream, in.size, consumed, [&](const uint8_t* f, int32_t dataLen) {
        if (GetI32(f) != travik::MSG_CMD || dataLen < travik::kCmdBodyLen) return;
        ApplyModel(model, f + travik::kFrameHeaderLen);
        ++commands;
    });
    const Settings sw = ReadDevice(whole), sa = ReadDevice(a), sb = ReadDevice(b);
    for (const Settings& s : {sw, sa, sb}) {
        if (s.logClosed != 0 && s.logClosed != 1) ok = false;
        if (s.imageClosed != 0 && s.imageClosed != 1) ok = false;
        if (s.interval < 1) ok = false;
        for (int v : s.onOff) {
            if (v != 0 && v != 1) ok = false;
        }
    }
    if (wellFormed && !(sw == model && sa == model && sb == model)) ok = false;
    long long pending = 0;
    if (!PendingShapeOk(a, 5, pending) || !PendingShapeOk(b, 6, pending)) ok = false;
    for (int i = 0; i < 3; ++i) ForgetConnections(DeviceMgr(i), {5, 6});
    if (Arena().Alive() != 0) ok = false;
    if (result) {
        result->wellFormed = wellFormed;
        result->deliveries = commands;
    }
    return ok;
}

void SilenceStdout() {
    int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
}

}  // namespace travik_fuzz
