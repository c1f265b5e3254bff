#include "recording/mcap/recording.h"

#include <cstring>

namespace travik_mcap {

const char kLogTopic[] = "/travik/log";
const char kImageSchemaName[] = "travik.Image";
const char kImageEncoding[] = "travik-image";
const char kLogEncoding[] = "text/plain";

namespace {

const char kImageTopicPrefix[] = "/travik/channel/";

// Stored in the schema record so that a reader of the file learns the layout.
const char kImageSchemaText[] =
    "travik.Image v1, little-endian: int32 attr1, int32 attr2 (1 = 8-bit gray, 3 = 8-bit RGB, other = opaque), "
    "int32 attr3 (width), int32 attr4 (height), int32 attr5, uint64 tag (capture time in microseconds since "
    "1970 by convention), then the image bytes (rows top to bottom, RGB interleaved) to the end of the message. "
    "attr1/attr5 select the channel: (1,1)->0, (1,3)->1, (2,1)->2, (2,3)->3. log_time is the arrival time.";

}  // namespace

bool AddRecordingChannels(Writer& writer, RecordingChannels& ids) {
    uint16_t schema = writer.AddSchema(kImageSchemaName, kImageEncoding, kImageSchemaText);
    if (schema == 0) return false;
    ids.log = writer.AddChannel(0, kLogTopic, kLogEncoding, {});
    for (int c = 0; c < kImageChannels; ++c) {
        ids.image[c] = writer.AddChannel(schema, kImageTopicPrefix + std::to_string(c), kImageEncoding,
                                         {{"travik_channel", std::to_string(c)}});
    }
    return !writer.Failed();
}

void EncodeImageHeader(const int attrs[5], uint64_t tag, uint8_t out[kImageHeader]) {
    for (int i = 0; i < 5; ++i) {
        uint32_t v = static_cast<uint32_t>(attrs[i]);
        for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<uint8_t>(v >> (8 * b));
    }
    for (int b = 0; b < 8; ++b) out[20 + b] = static_cast<uint8_t>(tag >> (8 * b));
}

bool DecodeMessage(const Channel& channel, const Message& message, Decoded& out, std::string& error) {
    out = Decoded();
    if (channel.topic == kLogTopic && channel.messageEncoding == kLogEncoding) {
        out.kind = Decoded::kLog;
        out.data = message.data;
        out.size = message.size;
        return true;
    }
    const size_t prefix = sizeof kImageTopicPrefix - 1;
    if (channel.messageEncoding != kImageEncoding || channel.topic.size() != prefix + 1 ||
        channel.topic.compare(0, prefix, kImageTopicPrefix) != 0 || channel.topic[prefix] < '0' ||
        channel.topic[prefix] >= '0' + kImageChannels)
        return true;  // not ours: the caller skips it
    if (message.size < kImageHeader) {
        error = "image message of " + std::to_string(message.size) +
                " bytes is shorter than its header (chunk at offset " + std::to_string(message.recordOffset) + ")";
        return false;
    }
    out.kind = Decoded::kImage;
    out.channel = channel.topic[prefix] - '0';
    for (int i = 0; i < 5; ++i) out.attrs[i] = static_cast<int>(Get32(message.data + 4 * i));
    out.tag = Get64(message.data + 20);
    out.data = message.data + kImageHeader;
    out.size = message.size - kImageHeader;
    return true;
}

std::string Describe(const ScanResult& result) {
    switch (result.status) {
        case ScanResult::kComplete:
            return result.dataEnd ? "complete" : "complete (no data end record)";
        case ScanResult::kStopped:
            return "stopped";
        case ScanResult::kTruncated:
            return "truncated: " + result.error;
        case ScanResult::kCorrupt:
            return "corrupt: " + result.error;
    }
    return "";
}

}  // namespace travik_mcap
