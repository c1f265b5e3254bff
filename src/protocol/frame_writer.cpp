#include "protocol/frame_writer.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/per_thread.h"
#include "protocol/codec.h"
#include "protocol/parallel_deflate.h"

namespace travik {

std::shared_ptr<unsigned char> AllocBytes(size_t len) {
    return std::shared_ptr<unsigned char>(new unsigned char[len], std::default_delete<unsigned char[]>());
}

ByteBuffer WriteLogFrame(const std::string& text) {
    ByteBuffer out;
    if (text.size() > static_cast<size_t>(kMaxFrameLen - kFrameHeaderLen - 1)) return out;
    const int n = static_cast<int>(text.size());
    out.len = n + kFrameHeaderLen + 1;
    out.data = AllocBytes(static_cast<size_t>(out.len));
    unsigned char* p = out.data.get();
    EncodeFrameHeader(FrameHeaderSt{MSG_LOG, 0, n + 1, 0}, p);
    if (n > 0) std::memcpy(p + kFrameHeaderLen, text.data(), static_cast<size_t>(n));
    p[kFrameHeaderLen + n] = 0;
    return out;
}

LogFrameParts ShareLogFrame(std::string text, std::function<void(std::string&)> giveBack) {
    LogFrameParts out;
    if (text.empty() || text.size() > static_cast<size_t>(kMaxFrameLen - kFrameHeaderLen - 1)) return out;
    const int n = static_cast<int>(text.size());
    out.head.len = kFrameHeaderLen;
    out.head.data = AllocBytes(kFrameHeaderLen);
    EncodeFrameHeader(FrameHeaderSt{MSG_LOG, 0, n + 1, 0}, out.head.data.get());
    // data()[size()] is the string's NUL, readable for as long as the string lives.
    std::shared_ptr<std::string> owner(new std::string(std::move(text)), [giveBack](std::string* s) {
        if (giveBack) giveBack(*s);
        delete s;
    });
    out.body.data = std::shared_ptr<unsigned char>(owner, reinterpret_cast<unsigned char*>(&(*owner)[0]));
    out.body.len = n + 1;
    return out;
}

ByteBuffer WriteCommandFrame(const CmdSt& cmd) {
    ByteBuffer out;
    out.len = kCmdFrameLen;
    out.data = AllocBytes(kCmdFrameLen);
    EncodeFrameHeader(FrameHeaderSt{MSG_CMD, 0, kCmdBodyLen, 0}, out.data.get());
    EncodeCmd(cmd, out.data.get() + kFrameHeaderLen);
    return out;
}

namespace {

// Size of the record sequence of the fresh slots; -1 when it cannot be built
// within the frame limits, 0 when no slot is fresh.
int64_t RecordsLength(const std::vector<SendImageSt>& slots) {
    int64_t total = 0;
    for (const SendImageSt& s : slots) {
        if (s.attr2 == 0) continue;
        if (s.imageLen < 0 || (s.imageLen > 0 && !s.data)) return -1;
        total += kImageHeaderLen + static_cast<int64_t>(s.imageLen);
        if (total > kMaxRawLen) return -1;
    }
    return total;
}

}  // namespace

namespace {

// Writes the records of the fresh slots, back to back, at `p`.
void PutRecords(const std::vector<SendImageSt>& slots, unsigned char* p) {
    for (const SendImageSt& s : slots) {
        if (s.attr2 == 0) continue;
        ImageHeaderSt h;
        h.attr1 = s.attr1;
        h.tag = s.tag;
        h.attr2 = s.attr2;
        h.attr3 = s.attr3;
        h.attr4 = s.attr4;
        h.attr5 = s.attr5;
        h.imageLen = s.imageLen;
        EncodeImageHeader(h, p);
        p += kImageHeaderLen;
        if (s.imageLen > 0) std::memcpy(p, s.data.get(), static_cast<size_t>(s.imageLen));
        p += s.imageLen;
    }
}

// The record sequence only lives until it is compressed, so the sending
// thread reuses one buffer for it instead of faulting in fresh pages every
// pass; sequences larger than this are not kept between passes.
constexpr size_t kKeptRecordBuffer = 16u << 20;

// Compresses the records into a new buffer with room for the frame header
// in front. Returns 0 or the compressor's result code.
int Compress(const unsigned char* records, uint32_t total, const CompressOptions& options,
             std::shared_ptr<unsigned char>& frame, uint32_t& compressedLen) {
#if !defined(TRAVIK_WITH_LIBDEFLATE)
    if (options.threads > 1 && options.run) {
        // Piece buffers are kept like the record buffer, for frames up to its size.
        static PerThread<std::vector<DeflatedPiece>> perThread;
        std::vector<DeflatedPiece>& keptPieces = perThread.Get();
        std::vector<DeflatedPiece> oneOffPieces;
        std::vector<DeflatedPiece>& pieces = total <= kKeptRecordBuffer ? keptPieces : oneOffPieces;
        return DeflateInPieces(records, total, options.level, options.run, kFrameHeaderLen,
                               kMaxFrameLen - kFrameHeaderLen, pieces, frame, compressedLen);
    }
#else
    const size_t count = options.run ? IndependentPieceCount(total, options.threads) : 1;
    if (count > 1) {
        static PerThread<std::vector<DeflatedPiece>> perThread;
        std::vector<DeflatedPiece>& keptPieces = perThread.Get();
        std::vector<DeflatedPiece> oneOffPieces;
        std::vector<DeflatedPiece>& pieces = total <= kKeptRecordBuffer ? keptPieces : oneOffPieces;
        return DeflateIndependentPieces(records, total, options.level, count, options.run, kFrameHeaderLen,
                                        kMaxFrameLen - kFrameHeaderLen, pieces, frame, compressedLen);
    }
#endif
    const uint32_t capacity = CompressCapacity(total);
    frame = AllocBytes(static_cast<size_t>(capacity) + kFrameHeaderLen);
    compressedLen = capacity;
    return CompressAtLevel(frame.get() + kFrameHeaderLen, compressedLen, records, total, options.level);
}

}  // namespace

std::shared_ptr<unsigned char> WriteImageRecords(const std::vector<SendImageSt>& slots, int& rawLen) {
    rawLen = 0;
    const int64_t total = RecordsLength(slots);
    if (total <= 0) return nullptr;
    std::shared_ptr<unsigned char> records = AllocBytes(static_cast<size_t>(total));
    PutRecords(slots, records.get());
    rawLen = static_cast<int>(total);
    return records;
}

ByteBuffer WriteImageFrame(const std::vector<SendImageSt>& slots, int& codecResult, uint64_t& compressMicros) {
    return WriteImageFrame(slots, codecResult, compressMicros, CompressOptions{});
}

ByteBuffer WriteImageFrame(const std::vector<SendImageSt>& slots, int& codecResult, uint64_t& compressMicros,
                           const CompressOptions& options) {
    ByteBuffer out;
    codecResult = 0;
    compressMicros = 0;
    const int64_t expected = RecordsLength(slots);
    if (expected == 0) return out;
    if (expected < 0) {
        codecResult = kImageFrameRefused;
        return out;
    }
    const int total = static_cast<int>(expected);
    static PerThread<std::vector<unsigned char>> perThread;
    std::vector<unsigned char>& kept = perThread.Get();
    std::vector<unsigned char> oneOff;
    std::vector<unsigned char>& scratch = static_cast<size_t>(total) <= kKeptRecordBuffer ? kept : oneOff;
    if (scratch.size() < static_cast<size_t>(total)) scratch.resize(static_cast<size_t>(total));
    unsigned char* records = scratch.data();
    PutRecords(slots, records);

    std::shared_ptr<unsigned char> frame;
    uint32_t compressedLen = 0;
    const int64_t start = NowMicros();
    const int rc = Compress(records, static_cast<uint32_t>(total), options, frame, compressedLen);
    const int64_t elapsed = NowMicros() - start;
    compressMicros = elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;  // wall clock may step back
    if (rc != 0) {
        codecResult = rc;
        return out;
    }
    if (static_cast<int64_t>(compressedLen) + kFrameHeaderLen > kMaxFrameLen) {
        codecResult = kImageFrameRefused;
        return out;
    }

    const int dataLen = static_cast<int>(compressedLen);
    EncodeFrameHeader(FrameHeaderSt{MSG_IMAGE, 1, dataLen, total}, frame.get());
    out.data = std::move(frame);
    out.len = dataLen + kFrameHeaderLen;
    return out;
}

}  // namespace travik
