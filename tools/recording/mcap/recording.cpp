#include "recording/mcap/recording.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "common/image_file.h"
#include "foxglove/schemas.h"
#include "foxglove/topics.h"

namespace travik_mcap {

const char kLogTopic[] = "/travik/log";
const char kImageSchemaName[] = "travik.Image";
const char kImageEncoding[] = "travik-image";
const char kLogEncoding[] = "text/plain";
const char kProtobufEncoding[] = "protobuf";

namespace {

namespace fg = travik_tool::foxglove;

using travik_tool::kFormatGray;
using travik_tool::kFormatOpaque;
using travik_tool::kFormatRgb;

// Stored in the schema record so that a reader of the file learns the layout.
const char kImageSchemaText[] =
    "travik.Image v1, little-endian: int32 attr1, int32 attr2 (1 = 8-bit gray, 3 = 8-bit RGB, other = opaque), "
    "int32 attr3 (width), int32 attr4 (height), int32 attr5, uint64 tag (capture time in microseconds since "
    "1970 by convention), then the image bytes (rows top to bottom, RGB interleaved) to the end of the message. "
    "attr1/attr5 select the channel: (1,1)->0, (1,3)->1, (2,1)->2, (2,3)->3. log_time is the arrival time.";

}  // namespace

bool AddRecordingChannels(Writer& writer, RecordingChannels& ids, Layout layout, bool video) {
    ids = RecordingChannels();
    ids.layout = layout;
    if (layout == Layout::kTravik) {
        if (video) return false;  // that layout has no video topics
        uint16_t schema = writer.AddSchema(kImageSchemaName, kImageEncoding, kImageSchemaText);
        if (schema == 0) return false;
        ids.log = writer.AddChannel(0, kLogTopic, kLogEncoding, {});
        for (int c = 0; c < kImageChannels; ++c) {
            ids.image[c] =
                writer.AddChannel(schema, fg::ImageTopic(c), kImageEncoding, {{"travik_channel", std::to_string(c)}});
        }
        return !writer.Failed();
    }
    auto add = [&writer](const fg::Schema& s) {
        return writer.AddSchema(std::string(s.name), std::string(s.encoding), std::string(s.data));
    };
    const uint16_t raw = add(fg::RawImageSchema()), compressed = add(fg::CompressedImageSchema()),
                   blob = add(fg::BlobSchema()), info = add(fg::ImageInfoSchema()), log = add(fg::LogSchema());
    if (raw == 0 || compressed == 0 || blob == 0 || info == 0 || log == 0) return false;
    ids.log = writer.AddChannel(log, kLogTopic, kProtobufEncoding, {});
    for (int c = 0; c < kImageChannels; ++c) {
        const std::map<std::string, std::string> meta{{"travik_channel", std::to_string(c)}};
        ids.info[c] = writer.AddChannel(info, fg::ImageInfoTopic(c), kProtobufEncoding, meta);
        ids.image[c] = writer.AddChannel(raw, fg::ImageTopic(c), kProtobufEncoding, meta);
        ids.compressed[c] = writer.AddChannel(compressed, fg::CompressedImageTopic(c), kProtobufEncoding, meta);
        ids.blob[c] = writer.AddChannel(blob, fg::BlobTopic(c), kProtobufEncoding, meta);
    }
    if (video) {
        const uint16_t schema = add(fg::CompressedVideoSchema());
        if (schema == 0) return false;
        for (int c = 0; c < kImageChannels; ++c)
            ids.video[c] = writer.AddChannel(schema, fg::VideoTopic(c), kProtobufEncoding,
                                             {{"travik_channel", std::to_string(c)}});
    }
    return !writer.Failed();
}

bool WriteLog(Writer& writer, const RecordingChannels& ids, uint64_t time, const uint8_t* text, size_t size,
              std::string& scratch) {
    if (ids.layout == Layout::kTravik) return writer.Write(ids.log, time, time, nullptr, 0, text, size);
    scratch.clear();
    fg::AppendLog(scratch, time, std::string_view(reinterpret_cast<const char*>(text), size));
    return writer.Write(ids.log, time, time, reinterpret_cast<const uint8_t*>(scratch.data()), scratch.size(), nullptr,
                        0);
}

bool WriteImage(Writer& writer, const RecordingChannels& ids, uint64_t time, int channel, const int attrs[5],
                uint64_t tag, const uint8_t* data, size_t size, std::string& scratch) {
    if (ids.layout == Layout::kTravik) {
        uint8_t head[kImageHeader];
        EncodeImageHeader(attrs, tag, head);
        return writer.Write(ids.image[channel], time, time, head, sizeof head, data, size);
    }
    // Each image is referred to by its channel's name, so viewers group the channel's topics.
    const char frameId[] = {'c', 'h', 'a', 'n', 'n', 'e', 'l', static_cast<char>('0' + channel)};
    const std::string_view frame(frameId, sizeof frameId);
    // The image's head first: an image over the limit is refused before its
    // info is written, which would otherwise stand alone in the file.
    const fg::ImageForm form = fg::ClassifyImage(attrs[1], attrs[2], attrs[3], data, size);
    scratch.clear();
    uint16_t id = 0;
    switch (form.kind) {
        case fg::ImageKind::kRaw:
            fg::AppendRawImageHead(scratch, time, frame, static_cast<uint32_t>(attrs[2]),
                                   static_cast<uint32_t>(attrs[3]), form.encoding, form.step, size);
            id = ids.image[channel];
            break;
        case fg::ImageKind::kCompressed:
            fg::AppendCompressedImageHead(scratch, time, frame, form.format, size);
            id = ids.compressed[channel];
            break;
        case fg::ImageKind::kBlob:
            fg::AppendBlobHead(scratch, time, frame, size);
            id = ids.blob[channel];
            break;
    }
    const size_t headLen = scratch.size();
    if (size > kMaxMessageRecord || !Writer::MessageFits(headLen + size)) return false;
    fg::ImageInfo info;
    std::copy(attrs, attrs + 5, info.attrs);
    info.tag = tag;
    info.size = size;
    fg::AppendImageInfo(scratch, time, frame, info);
    const uint8_t* heads = reinterpret_cast<const uint8_t*>(scratch.data());
    if (!writer.Write(ids.info[channel], time, time, heads + headLen, scratch.size() - headLen, nullptr, 0))
        return false;
    return writer.Write(id, time, time, heads, headLen, data, size);
}

bool WriteVideo(Writer& writer, const RecordingChannels& ids, uint64_t time, int channel, const uint8_t* unit,
                size_t size, std::string& scratch) {
    if (!travik::ValidChannel(channel) || ids.video[channel] == 0) return false;
    const std::string frame = fg::ChannelFrameId(channel);
    scratch.clear();
    fg::AppendCompressedVideoHead(scratch, time, frame, "h264", size);
    if (size > kMaxMessageRecord || !Writer::MessageFits(scratch.size() + size)) return false;
    return writer.Write(ids.video[channel], time, time, reinterpret_cast<const uint8_t*>(scratch.data()),
                        scratch.size(), unit, size);
}

void EncodeImageHeader(const int attrs[5], uint64_t tag, uint8_t out[kImageHeader]) {
    for (int i = 0; i < 5; ++i) {
        uint32_t v = static_cast<uint32_t>(attrs[i]);
        for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<uint8_t>(v >> (8 * b));
    }
    for (int b = 0; b < 8; ++b) out[20 + b] = static_cast<uint8_t>(tag >> (8 * b));
}

namespace {

bool DecodeTravikImage(const Message& message, Decoded& out, std::string& error) {
    if (message.size < kImageHeader) {
        error = "image message of " + std::to_string(message.size) +
                " bytes is shorter than its header (chunk at offset " + std::to_string(message.recordOffset) + ")";
        return false;
    }
    out.kind = Decoded::kImage;
    for (int i = 0; i < 5; ++i) out.attrs[i] = static_cast<int>(Get32(message.data + 4 * i));
    // The header's attributes choose the channel, as on the wire, whatever the topic says.
    out.channel = travik::ChannelOf(out.attrs[0], out.attrs[4]);
    out.tag = Get64(message.data + 20);
    out.data = message.data + kImageHeader;
    out.size = message.size - kImageHeader;
    return true;
}

bool Malformed(const char* what, const Message& message, std::string& error) {
    error =
        std::string("malformed ") + what + " message (chunk at offset " + std::to_string(message.recordOffset) + ")";
    return false;
}

}  // namespace

bool MessageDecoder::Decode(const Channel& channel, const Message& message, Decoded& out, std::string& error) {
    out = Decoded();
    int c = -1;
    const fg::TopicKind kind = fg::ParseTopic(channel.topic, c);
    if (kind == fg::TopicKind::kOther || kind == fg::TopicKind::kJpeg) return true;  // not ours: the caller skips it
    const std::string_view bytes(reinterpret_cast<const char*>(message.data), message.size);
    if (channel.messageEncoding == kLogEncoding && kind == fg::TopicKind::kLog) {
        out.kind = Decoded::kLog;
        out.data = message.data;
        out.size = message.size;
        return true;
    }
    if (channel.messageEncoding == kImageEncoding && kind == fg::TopicKind::kImage)
        return DecodeTravikImage(message, out, error);
    if (channel.messageEncoding != kProtobufEncoding) return true;

    std::string_view data;
    int attr2 = kFormatOpaque, width = 0, height = 0;
    switch (kind) {
        case fg::TopicKind::kLog: {
            fg::LogView v;
            if (!fg::DecodeLog(bytes, v)) return Malformed("log", message, error);
            out.kind = Decoded::kLog;
            out.data = v.message.empty() ? message.data : reinterpret_cast<const uint8_t*>(v.message.data());
            out.size = v.message.size();
            return true;
        }
        case fg::TopicKind::kInfo: {
            Pending& p = m_pending[c];
            uint64_t t = 0;
            p.valid = fg::DecodeImageInfo(bytes, p.info, t);
            if (!p.valid) return Malformed("image info", message, error);
            p.logTime = message.logTime;
            return true;
        }
        case fg::TopicKind::kImage: {
            fg::RawImageView v;
            if (!fg::DecodeRawImage(bytes, v)) return Malformed("raw image", message, error);
            data = v.data;
            const int bytesPerPixel = v.encoding == "mono8" ? 1 : v.encoding == "rgb8" ? 3 : 0;
            if (bytesPerPixel && v.width <= INT32_MAX / 3 && v.height <= INT32_MAX &&
                v.step == v.width * static_cast<uint32_t>(bytesPerPixel)) {
                attr2 = bytesPerPixel == 1 ? kFormatGray : kFormatRgb;
                width = static_cast<int>(v.width);
                height = static_cast<int>(v.height);
            }
            break;
        }
        case fg::TopicKind::kCompressed: {
            fg::CompressedImageView v;
            if (!fg::DecodeCompressedImage(bytes, v)) return Malformed("compressed image", message, error);
            data = v.data;
            break;
        }
        case fg::TopicKind::kBlob: {
            fg::BlobView v;
            if (!fg::DecodeBlob(bytes, v)) return Malformed("blob", message, error);
            data = v.data;
            break;
        }
        case fg::TopicKind::kVideo: {
            fg::CompressedVideoView v;
            if (!fg::DecodeCompressedVideo(bytes, v)) return Malformed("compressed video", message, error);
            if (v.format != "h264") return true;  // another codec: not one travik writes
            out.kind = Decoded::kVideo;
            out.channel = c;
            out.data = v.data.empty() ? message.data : reinterpret_cast<const uint8_t*>(v.data.data());
            out.size = v.data.size();
            return true;
        }
        default:
            return true;
    }
    out.kind = Decoded::kImage;
    out.channel = c;
    // An empty field may have no pointer; callers get one into the message all the same.
    out.data = data.empty() ? message.data : reinterpret_cast<const uint8_t*>(data.data());
    out.size = data.size();
    Pending& p = m_pending[c];
    // An info whose attributes select another channel is not this image's:
    // taking it would file the image under one channel and send it on another.
    if (p.valid && p.logTime == message.logTime && p.info.size == data.size() &&
        travik::ChannelOf(p.info.attrs[0], p.info.attrs[4]) == c) {
        std::copy(p.info.attrs, p.info.attrs + 5, out.attrs);
        out.tag = p.info.tag;
    } else {
        travik::ChannelAttrs(c, out.attrs[0], out.attrs[4]);
        out.attrs[1] = attr2;
        out.attrs[2] = width;
        out.attrs[3] = height;
    }
    p.valid = false;
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

std::string DescribeSkipped(const ScanResult& result) {
    if (result.skippedChunks == 0) return std::string();
    return std::to_string(result.skippedChunks) + " unreadable chunk" + (result.skippedChunks == 1 ? "" : "s") +
           " skipped (the first: " + result.skipped + ")";
}

}  // namespace travik_mcap
