// Writers for the three frame kinds. Each returns one buffer that the
// transport shares between all connections.
// Contract: any thread, no locks, never block (compression is CPU work).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/wire.h"
#include "travik/travik.h"

namespace travik {

struct ByteBuffer {
    std::shared_ptr<unsigned char> data;
    int len = 0;
};

// Allocates `len` bytes owned by a shared pointer with an array deleter.
std::shared_ptr<unsigned char> AllocBytes(size_t len);

// Log frame for non-empty `text` (no NUL inside): header, text, one NUL.
// Empty buffer when the frame would exceed kMaxFrameLen, which a reader
// refuses.
ByteBuffer WriteLogFrame(const std::string& text);

// The same log frame in two parts, without copying the text: `head` is the
// header, `body` the text followed by the string's own terminating NUL,
// which `body` keeps alive. Both empty when the frame would exceed
// kMaxFrameLen (or `text` is empty). `giveBack`, when set, is handed the
// string once the last holder of `body` lets go (on whichever thread that
// is; it must not throw), so that its storage can be reused.
struct LogFrameParts {
    ByteBuffer head;
    ByteBuffer body;
};
LogFrameParts ShareLogFrame(std::string text, std::function<void(std::string&)> giveBack = nullptr);

// 48-byte command frame.
ByteBuffer WriteCommandFrame(const CmdSt& cmd);

// Concatenates the records of the fresh slots (attr2 != 0), in slot order,
// into one record sequence; returns its length through `rawLen`. Returns
// null with `rawLen` 0 when no slot is fresh, or when the sequence would
// exceed kMaxRawLen or a slot is inconsistent (negative imageLen, no data
// for a positive imageLen): readers refuse what senders must not build.
std::shared_ptr<unsigned char> WriteImageRecords(const std::vector<SendImageSt>& slots, int& rawLen);

// `codecResult` of WriteImageFrame for records that exceed the frame limits.
constexpr int kImageFrameRefused = -100;

// Image frame: the fresh slots' records compressed as one zlib stream at
// level 6, header in front. `codecResult` is 0 on success and also when no
// slot is fresh (empty buffer then); on a compressor failure the buffer is
// empty and `codecResult` the compressor's result code; records too large
// for a frame give an empty buffer and kImageFrameRefused.
// `compressMicros` receives the time spent compressing (0 if none).
ByteBuffer WriteImageFrame(const std::vector<SendImageSt>& slots, int& codecResult, uint64_t& compressMicros);

// How to compress an image frame. threads <= 1: one compressor call at
// `level` on the calling thread (level 6 gives WriteImageFrame's bytes);
// threads > 1 with a runner, in a build whose compressor splits frames:
// pieces of one stream spread through `run` (see parallel_deflate.h); in a
// libdeflate build only records of at least kIndependentSplitMin bytes are
// split, in independent pieces.
struct CompressOptions {
    int level = 6;
    int threads = 1;
    std::function<void(size_t, const std::function<void(size_t)>&)> run;
};

// As above, compressed as `options` say.
ByteBuffer WriteImageFrame(const std::vector<SendImageSt>& slots, int& codecResult, uint64_t& compressMicros,
                           const CompressOptions& options);

}  // namespace travik
