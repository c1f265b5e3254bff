// The protobuf schemas of travik's recordings and live endpoint, as MCAP
// schema records and Foxglove WebSocket advertisements carry them: the
// message's full name, encoding "protobuf" and a binary FileDescriptorSet
// with its imports (made by protoc from proto/ at build time).
// Contract: constant data with static lifetime; any thread.
#pragma once

#include <string_view>

namespace travik_tool::foxglove {

struct Schema {
    std::string_view name;      // "foxglove.RawImage"
    std::string_view encoding;  // "protobuf"
    std::string_view data;      // FileDescriptorSet bytes
};

const Schema& RawImageSchema();         // foxglove.RawImage
const Schema& CompressedImageSchema();  // foxglove.CompressedImage
const Schema& CompressedVideoSchema();  // foxglove.CompressedVideo
const Schema& LogSchema();              // foxglove.Log
const Schema& ImageInfoSchema();        // travik.ImageInfo
const Schema& BlobSchema();             // travik.Blob

}  // namespace travik_tool::foxglove
