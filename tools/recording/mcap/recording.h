// How a travik session is laid out in an MCAP file, shared by record,
// replay, export, info, the benchmarks and the reader's fuzz target.
//
// The Foxglove layout (what `travik record` writes), every message
// protobuf-encoded with a schema from foxglove/schemas.h, topics as
// foxglove/topics.h names them:
//   /travik/log                   foxglove.Log, one per log text
//   /travik/channel/N             foxglove.RawImage: gray (mono8) and RGB
//                                 (rgb8) images whose size is their pixels
//   /travik/channel/N/compressed  foxglove.CompressedImage: JPEG/PNG bytes
//   /travik/channel/N/blob        travik.Blob: any other bytes
//   /travik/channel/N/info        travik.ImageInfo: attributes, tag and size
//                                 of the image written right after it
//   /travik/channel/N/h264        foxglove.CompressedVideo (format "h264"),
//                                 only in files of `record --video h264`: one
//                                 Annex B access unit per message, the first
//                                 of each channel a keyframe
// The travik layout (files of earlier versions; `record --layout travik`):
//   /travik/log                   schemaless, "text/plain", the text's bytes
//   /travik/channel/N             schema "travik.Image" ("travik-image"):
//                                 28-byte header + the image's bytes
// In both, log_time = publish_time = arrival time at the recorder.
//
// Contract: any thread, none blocks except through the Writer it is given.
// A MessageDecoder belongs to one scan; a Decoded borrows its data from the
// Message it was decoded from, which the Reader owns: both are valid only
// inside the scan callback that received the message.
#pragma once

#include <cstdint>
#include <string>

#include "foxglove/messages.h"
#include "protocol/channel_rule.h"
#include "recording/mcap/reader.h"
#include "recording/mcap/writer.h"

namespace travik_mcap {

constexpr int kImageChannels = travik::kImageChannels;
constexpr size_t kImageHeader = 28;  // travik layout: int32 attr1..attr5, uint64 tag, little-endian

extern const char kLogTopic[];
extern const char kImageSchemaName[];
extern const char kImageEncoding[];
extern const char kLogEncoding[];
extern const char kProtobufEncoding[];

enum class Layout { kFoxglove, kTravik };

// Channel ids the recorder gave the log stream and each image channel.
struct RecordingChannels {
    Layout layout = Layout::kFoxglove;
    uint16_t log = 0;
    uint16_t image[kImageChannels] = {};  // RawImage, or travik.Image in the travik layout
    uint16_t compressed[kImageChannels] = {};
    uint16_t blob[kImageChannels] = {};
    uint16_t info[kImageChannels] = {};
    uint16_t video[kImageChannels] = {};  // CompressedVideo; 0: no video topics
};
// Writes the schema and the channel records of a recording; `video` adds
// the video topics (Foxglove layout only).
bool AddRecordingChannels(Writer& writer, RecordingChannels& ids, Layout layout = Layout::kFoxglove,
                          bool video = false);

// Write one log text or image in the recording's layout. `scratch` holds
// the encoded heads between calls (reused, so no allocation per message);
// the image bytes go to the writer from where they lie. False with
// writer.Failed() false: the message is over the writer's limit and nothing
// of it was written.
bool WriteLog(Writer& writer, const RecordingChannels& ids, uint64_t time, const uint8_t* text, size_t size,
              std::string& scratch);
bool WriteImage(Writer& writer, const RecordingChannels& ids, uint64_t time, int channel, const int attrs[5],
                uint64_t tag, const uint8_t* data, size_t size, std::string& scratch);

// One access unit of `channel` on its video topic, stamped `time`.
bool WriteVideo(Writer& writer, const RecordingChannels& ids, uint64_t time, int channel, const uint8_t* unit,
                size_t size, std::string& scratch);

// The image header of a message in the travik layout.
void EncodeImageHeader(const int attrs[5], uint64_t tag, uint8_t out[kImageHeader]);

// What a message of a recording is.
struct Decoded {
    enum Kind { kOther, kLog, kImage, kVideo } kind = kOther;
    int channel = -1;  // kImage: 0..3, always the one attrs[0] and attrs[4] select; kVideo: the topic's
    int attrs[5] = {};
    uint64_t tag = 0;
    const uint8_t* data = nullptr;  // the log text, the image bytes or the access unit, borrowed from the Message
    size_t size = 0;
};

// Reads either layout. An image's info message is held until its image
// arrives; an image without one (a file edited by another tool), or whose
// info selects another channel, gets the attributes of its channel, format
// and size, and tag 0.
class MessageDecoder {
public:
    // kOther for any other topic and for info messages. False with `error`
    // when one of travik's messages is malformed.
    bool Decode(const Channel& channel, const Message& message, Decoded& out, std::string& error);

private:
    struct Pending {
        bool valid = false;
        uint64_t logTime = 0;
        travik_tool::foxglove::ImageInfo info;
    };
    Pending m_pending[kImageChannels];
};

// "scan error text" for a scan that did not complete.
std::string Describe(const ScanResult& result);
// "N unreadable chunk(s) skipped (the first: what, at offset X)", or empty
// when the scan skipped none.
std::string DescribeSkipped(const ScanResult& result);

}  // namespace travik_mcap
