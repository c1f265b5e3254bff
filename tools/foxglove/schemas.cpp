#include "foxglove/schemas.h"

#include <cstddef>

namespace travik_tool::foxglove {

namespace data {
extern const unsigned char kfoxglove_RawImage[], kfoxglove_CompressedImage[], kfoxglove_CompressedVideo[],
    kfoxglove_Log[], ktravik_ImageInfo[], ktravik_Blob[];
extern const size_t kfoxglove_RawImageSize, kfoxglove_CompressedImageSize, kfoxglove_CompressedVideoSize,
    kfoxglove_LogSize, ktravik_ImageInfoSize, ktravik_BlobSize;
}  // namespace data

namespace {

std::string_view Bytes(const unsigned char* p, size_t n) { return {reinterpret_cast<const char*>(p), n}; }

}  // namespace

const Schema& RawImageSchema() {
    static const Schema s{"foxglove.RawImage", "protobuf",
                          Bytes(data::kfoxglove_RawImage, data::kfoxglove_RawImageSize)};
    return s;
}
const Schema& CompressedImageSchema() {
    static const Schema s{"foxglove.CompressedImage", "protobuf",
                          Bytes(data::kfoxglove_CompressedImage, data::kfoxglove_CompressedImageSize)};
    return s;
}
const Schema& CompressedVideoSchema() {
    static const Schema s{"foxglove.CompressedVideo", "protobuf",
                          Bytes(data::kfoxglove_CompressedVideo, data::kfoxglove_CompressedVideoSize)};
    return s;
}
const Schema& LogSchema() {
    static const Schema s{"foxglove.Log", "protobuf", Bytes(data::kfoxglove_Log, data::kfoxglove_LogSize)};
    return s;
}
const Schema& ImageInfoSchema() {
    static const Schema s{"travik.ImageInfo", "protobuf", Bytes(data::ktravik_ImageInfo, data::ktravik_ImageInfoSize)};
    return s;
}
const Schema& BlobSchema() {
    static const Schema s{"travik.Blob", "protobuf", Bytes(data::ktravik_Blob, data::ktravik_BlobSize)};
    return s;
}

}  // namespace travik_tool::foxglove
