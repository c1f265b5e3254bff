// The messages on the page's WebSocket, both directions. The page's
// JavaScript (tools/web/app.js) is the other half of this file.
//
// Server to page:
//   binary: one image. A 40-byte little-endian header, then the encoded
//           image (nothing for a placeholder):
//             0 u8  kind (1 = image)      1 u8  channel 0..travik::kImageChannels-1
//             2 u8  encoding (0 placeholder, 1 JPEG, 2 PNG, 3 H.264)
//             3 u8  flags: bit 0 keyframe (H.264: an IDR with SPS and PPS)
//             4 u32 sequence number on the channel, from 1
//             8 u32 width   12 u32 height   16 i32 attr2 (1 gray, 3 RGB; 0 for H.264)
//            20 u32 length of the raw image from the device (0 for H.264)
//            24 u64 tag (capture time in microseconds when a timestamp);
//                   H.264: wall clock in microseconds when the tool got the image
//            32 u32 encode time in microseconds   36 u32 0
//           H.264 messages carry one access unit in Annex B form, in stream
//           order; a tab gets them only for channels it turned video on
//           for, starting with a keyframe, and after a gap (it fell behind)
//           nothing until the next keyframe. width and height are the
//           image's; the stream's pictures may be padded to even sizes.
//   text:   JSON objects with a "type": "hello", "state", "logs", "error".
//           hello's "video": "h264" (tabs start with video on), "jpeg"
//           (video on request) or "none" (not in this build).
// Page to server (text, at most kMaxCommandBytes):
//   {"type":"command", "logs":bool | "images":bool | "channel":0..3,"on":bool
//    | "interval":1..3600000}  -- at least one setting, nothing else.
//   A channel outside 0..travik::kImageChannels-1 is refused, never folded onto one.
//   {"type":"video", "channel":0..3, "on":bool}: this tab only; H.264 for
//   the channel instead of JPEG, or back (a page that cannot decode it).
// Thread: pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image_encoder/encoder.h"
#include "protocol/channel_rule.h"

namespace travik_tool {

constexpr size_t kImageHeaderBytes = 40;
constexpr size_t kMaxCommandBytes = 1024;
constexpr int kMaxIntervalMs = 3600000;

struct ImageHeader {
    int channel = 0;
    WebEncoding encoding = WebEncoding::None;
    uint32_t sequence = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t attr2 = 0;
    uint32_t rawLength = 0;
    uint64_t tag = 0;
    uint32_t encodeMicros = 0;
    bool keyframe = false;
};

// Writes the header into the first kImageHeaderBytes of `out` (resizing it
// when shorter); false, and nothing written, for a bad channel.
bool WriteImageHeader(const ImageHeader& header, std::string& out);
// Reads a header back; false when `size` is too short, the kind is not 1 or
// the channel is not one of ours.
bool ReadImageHeader(const unsigned char* bytes, size_t size, ImageHeader& header);

// What the device has been asked for, as last sent (the page shows it).
struct DeviceWish {
    bool logs = true;
    bool images = true;
    bool channels[travik::kImageChannels] = {true, true, true, true};
    int intervalMs = 100;
};

// One command from the page; -1: a setting it does not change.
struct PageCommand {
    int logs = -1;     // 0 off, 1 on
    int images = -1;   // 0 off, 1 on
    int channel = -1;  // 0..travik::kImageChannels-1 with `on`
    int on = -1;
    int intervalMs = -1;
};

// {"type":"video",...} from the page: true when `text` is one, with
// `valid` false and `error` set when it is malformed. Never throws.
struct VideoCommand {
    int channel = -1;
    bool on = false;
};
bool ParseVideoCommand(const std::string& text, VideoCommand& command, bool& valid, std::string& error);

// Parses and validates one message from the page. False with a short reason
// in `error` for anything but a well-formed command; never throws.
bool ParsePageCommand(const std::string& text, PageCommand& command, std::string& error);
// Applies a parsed command to the wish; false, and nothing applied, when
// its channel is not one of ours.
bool ApplyCommand(const PageCommand& command, DeviceWish& wish);

// A request to the Foxglove endpoint's command service: a JSON object
// with any of "logs": bool, "images": bool, "channels": [channel numbers]
// (those on, the others off), "interval": 1..kMaxIntervalMs, and nothing
// else. {} changes nothing and asks for the state. -1: not changed.
struct ServiceCommand {
    int logs = -1;
    int images = -1;
    int channelMask = -1;  // bit N: channel N on
    int intervalMs = -1;
};
bool ParseServiceCommand(const std::string& text, ServiceCommand& command, std::string& error);
// Applies it to the wish (always valid once parsed).
void ApplyServiceCommand(const ServiceCommand& command, DeviceWish& wish);

// Device connection as the page shows it.
enum class DeviceLink { Connecting, Connected, Lost };

// `video`: "h264", "jpeg" or "none" (see hello above).
std::string HelloJson(const std::string& device, int quality, bool lossless, const std::string& video);
std::string StateJson(DeviceLink link, const std::string& device, const DeviceWish& wish);
// Log lines (without newlines) and the lines this tab has lost so far.
std::string LogsJson(const std::string* lines, size_t count, uint64_t dropped);
std::string ErrorJson(const std::string& message);
// The command service's answer: what the device is now asked to send.
// {"connected":bool,"logs":bool,"images":bool,"channels":[on...],"interval":ms}
std::string ServiceStateJson(DeviceLink link, const DeviceWish& wish);

}  // namespace travik_tool
