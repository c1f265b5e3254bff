// The protobuf decoders of the schemas recordings carry. See
// parser_drivers.h for the input layout. A decoded view lies inside the
// input, and encoding what was decoded gives a message that decodes to the
// same values.
#include <string>
#include <string_view>

#include "foxglove/messages.h"
#include "parser_drivers.h"

namespace travik_fuzz {
namespace {

using namespace travik_tool::foxglove;

bool Inside(std::string_view part, std::string_view whole) {
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

bool RawImage(std::string_view m, ParseResult& r) {
    RawImageView v;
    if (!DecodeRawImage(m, v)) return true;
    if (!Inside(v.frameId, m) || !Inside(v.encoding, m) || !Inside(v.data, m)) return false;
    std::string again;
    AppendRawImage(again, v.timeNanos, v.frameId, v.width, v.height, v.encoding, v.step, v.data);
    RawImageView b;
    if (!DecodeRawImage(again, b) || b.timeNanos != v.timeNanos || b.frameId != v.frameId || b.width != v.width ||
        b.height != v.height || b.step != v.step || b.encoding != v.encoding || b.data != v.data)
        return false;
    ++r.accepted;
    return true;
}

bool CompressedImage(std::string_view m, ParseResult& r) {
    CompressedImageView v;
    if (!DecodeCompressedImage(m, v)) return true;
    if (!Inside(v.frameId, m) || !Inside(v.format, m) || !Inside(v.data, m)) return false;
    std::string again;
    AppendCompressedImage(again, v.timeNanos, v.frameId, v.format, v.data);
    CompressedImageView b;
    if (!DecodeCompressedImage(again, b) || b.timeNanos != v.timeNanos || b.frameId != v.frameId ||
        b.format != v.format || b.data != v.data)
        return false;
    ++r.accepted;
    return true;
}

bool CompressedVideo(std::string_view m, ParseResult& r) {
    CompressedVideoView v;
    if (!DecodeCompressedVideo(m, v)) return true;
    if (!Inside(v.frameId, m) || !Inside(v.format, m) || !Inside(v.data, m)) return false;
    std::string again;
    AppendCompressedVideo(again, v.timeNanos, v.frameId, v.format, v.data);
    CompressedVideoView b;
    if (!DecodeCompressedVideo(again, b) || b.timeNanos != v.timeNanos || b.frameId != v.frameId ||
        b.format != v.format || b.data != v.data)
        return false;
    ++r.accepted;
    return true;
}

bool Blob(std::string_view m, ParseResult& r) {
    BlobView v;
    if (!DecodeBlob(m, v)) return true;
    if (!Inside(v.frameId, m) || !Inside(v.data, m)) return false;
    std::string again;
    AppendBlob(again, v.timeNanos, v.frameId, v.data);
    BlobView b;
    if (!DecodeBlob(again, b) || b.timeNanos != v.timeNanos || b.frameId != v.frameId || b.data != v.data) return false;
    ++r.accepted;
    return true;
}

// The encoder writes level and name of its own; time and text go back.
bool Log(std::string_view m, ParseResult& r) {
    LogView v;
    if (!DecodeLog(m, v)) return true;
    if (!Inside(v.message, m) || !Inside(v.name, m)) return false;
    std::string again;
    AppendLog(again, v.timeNanos, v.message);
    LogView b;
    if (!DecodeLog(again, b) || b.timeNanos != v.timeNanos || b.message != v.message) return false;
    ++r.accepted;
    return true;
}

bool Info(std::string_view m, ParseResult& r) {
    ImageInfo v;
    uint64_t time = 0;
    if (!DecodeImageInfo(m, v, time)) return true;
    std::string again;
    AppendImageInfo(again, time, "", v);
    ImageInfo b;
    uint64_t time2 = 0;
    if (!DecodeImageInfo(again, b, time2) || time2 != time || b.tag != v.tag || b.size != v.size) return false;
    for (int i = 0; i < 5; ++i)
        if (b.attrs[i] != v.attrs[i]) return false;
    ++r.accepted;
    return true;
}

}  // namespace

bool DriveProtobuf(const uint8_t* data, size_t size, ParseResult* result) {
    ParseResult local;
    ParseResult& r = result ? *result : local;
    if (size == 0) return true;
    // A copy of exactly the message's size, so that a read past it is caught.
    const std::string copy(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view m(copy);
    switch (data[0] % 6) {
        case 0:
            return RawImage(m, r);
        case 1:
            return CompressedImage(m, r);
        case 2:
            return Blob(m, r);
        case 3:
            return Log(m, r);
        case 4:
            return Info(m, r);
        default:
            return CompressedVideo(m, r);
    }
}

}  // namespace travik_fuzz
