// How a travik session is laid out in an MCAP file, shared by record,
// replay, export, info and the reader's fuzz target:
//   topic "/travik/log"        log texts, schemaless, message encoding
//                              "text/plain", data = the text's bytes
//   topic "/travik/channel/N"  images of channel N (0..3), schema
//                              "travik.Image" (encoding "travik-image"),
//                              data = 28-byte header + the image's bytes
// log_time = arrival time at the recorder, publish_time = the same.
//
// Contract: pure functions, any thread, none blocks except through the
// Writer they are given. A Decoded borrows its data from the Message it was
// decoded from, which the Reader owns: both are valid only inside the scan
// callback that received the message, on the thread that called Scan.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/channel_rule.h"
#include "recording/mcap/reader.h"
#include "recording/mcap/writer.h"

namespace travik_mcap {

constexpr int kImageChannels = travik::kImageChannels;
constexpr size_t kImageHeader = 28;  // int32 attr1..attr5, uint64 tag, little-endian

extern const char kLogTopic[];
extern const char kImageSchemaName[];
extern const char kImageEncoding[];
extern const char kLogEncoding[];

// Channel ids the recorder gave the log stream and each image channel.
struct RecordingChannels {
    uint16_t log = 0;
    uint16_t image[kImageChannels] = {};
};
// Writes the schema and the channel records of a recording.
bool AddRecordingChannels(Writer& writer, RecordingChannels& ids);

// The image header of a message.
void EncodeImageHeader(const int attrs[5], uint64_t tag, uint8_t out[kImageHeader]);

// What a message of a recording is.
struct Decoded {
    enum Kind { kOther, kLog, kImage } kind = kOther;
    int channel = -1;  // kImage: 0..3
    int attrs[5] = {};
    uint64_t tag = 0;
    const uint8_t* data = nullptr;  // the log text or the image bytes, borrowed from the Message
    size_t size = 0;
};
// Recognises travik's channels; kOther for any other topic. False with
// `error` when a travik image message is shorter than its header.
bool DecodeMessage(const Channel& channel, const Message& message, Decoded& out, std::string& error);

// "scan error text" for a scan that did not complete.
std::string Describe(const ScanResult& result);

}  // namespace travik_mcap
