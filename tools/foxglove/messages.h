// Protobuf encoding and decoding of the messages in schemas.h, written by
// hand for the few fields they have (no libprotobuf).
//
// Encoders append one whole message to `out`. The *Head variants append
// all of it but the bytes of its payload field, which comes last: head +
// payload is the message, so a writer can send the payload from where it
// lies without copying it.
//
// Decoders read hostile input: every length is checked against the bytes
// there, varints stop at 10 bytes, unknown fields are skipped, and nothing
// is allocated. The views borrow from the input and are valid as long as it
// is. False means malformed; the view is then unspecified.
//
// Contract: pure functions, any thread, never block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace travik_tool::foxglove {

// foxglove.Log levels used here.
constexpr int kLogInfo = 2;
extern const char kLogName[];  // "device"

// How one travik image is published.
enum class ImageKind {
    kRaw,         // gray or RGB pixels: foxglove.RawImage
    kCompressed,  // JPEG or PNG bytes: foxglove.CompressedImage
    kBlob,        // anything else: travik.Blob
};
struct ImageForm {
    ImageKind kind = ImageKind::kBlob;
    std::string_view encoding;  // kRaw: "mono8" | "rgb8"
    uint32_t step = 0;          // kRaw: bytes per row
    std::string_view format;    // kCompressed: "jpeg" | "png"
};
// From the image's attributes (attr2 format, attr3 width, attr4 height) and
// bytes: kRaw only when the size is exactly the pixels of that format.
ImageForm ClassifyImage(int attr2, int width, int height, const uint8_t* data, size_t size);
// "jpeg" or "png" from the magic bytes, "" otherwise.
std::string_view CompressedFormat(const uint8_t* data, size_t size);

// What the wire carried with an image besides its bytes.
struct ImageInfo {
    int attrs[5] = {};
    uint64_t tag = 0;
    uint64_t size = 0;  // byte count of the image
};

void AppendRawImageHead(std::string& out, uint64_t timeNanos, std::string_view frameId, uint32_t width, uint32_t height,
                        std::string_view encoding, uint32_t step, size_t pixelBytes);
void AppendRawImage(std::string& out, uint64_t timeNanos, std::string_view frameId, uint32_t width, uint32_t height,
                    std::string_view encoding, uint32_t step, std::string_view pixels);
void AppendCompressedImageHead(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                               size_t dataBytes);
void AppendCompressedImage(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                           std::string_view data);
void AppendCompressedVideoHead(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                               size_t dataBytes);
void AppendCompressedVideo(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                           std::string_view data);
void AppendBlobHead(std::string& out, uint64_t timeNanos, std::string_view frameId, size_t dataBytes);
void AppendBlob(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view data);
// level INFO, name "device", message = text.
void AppendLog(std::string& out, uint64_t timeNanos, std::string_view text);
void AppendImageInfo(std::string& out, uint64_t timeNanos, std::string_view frameId, const ImageInfo& info);

struct RawImageView {
    uint64_t timeNanos = 0;
    std::string_view frameId;
    uint32_t width = 0, height = 0, step = 0;
    std::string_view encoding;
    std::string_view data;
};
struct CompressedImageView {
    uint64_t timeNanos = 0;
    std::string_view frameId;
    std::string_view format;
    std::string_view data;
};
struct CompressedVideoView {
    uint64_t timeNanos = 0;
    std::string_view frameId;
    std::string_view format;
    std::string_view data;
};
struct BlobView {
    uint64_t timeNanos = 0;
    std::string_view frameId;
    std::string_view data;
};
struct LogView {
    uint64_t timeNanos = 0;
    int level = 0;
    std::string_view message;
    std::string_view name;
};

bool DecodeRawImage(std::string_view message, RawImageView& out);
bool DecodeCompressedImage(std::string_view message, CompressedImageView& out);
bool DecodeCompressedVideo(std::string_view message, CompressedVideoView& out);
bool DecodeBlob(std::string_view message, BlobView& out);
bool DecodeLog(std::string_view message, LogView& out);
bool DecodeImageInfo(std::string_view message, ImageInfo& out, uint64_t& timeNanos);

}  // namespace travik_tool::foxglove
