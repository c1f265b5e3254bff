#include "foxglove_endpoint/foxglove_relay.h"

#include <algorithm>

#include "foxglove/messages.h"
#include "foxglove/schemas.h"
#include "foxglove/topics.h"
#include "image_encoder/encoder.h"
#include "platform/clock.h"

namespace travik_tool {

namespace fg = foxglove;

namespace {

FoxgloveChannel Make(uint32_t id, std::string topic, const fg::Schema& schema, bool latestOnly, bool stream = false) {
    FoxgloveChannel c;
    c.id = id;
    c.topic = std::move(topic);
    c.encoding = std::string(schema.encoding);
    c.schemaName = std::string(schema.name);
    c.schemaEncoding = std::string(schema.encoding);
    c.schema = std::string(schema.data);
    c.latestOnly = latestOnly;
    c.stream = stream;
    return c;
}

}  // namespace

std::vector<FoxgloveChannel> TravikFoxgloveChannels(bool video) {
    std::vector<FoxgloveChannel> out;
    out.push_back(Make(kFoxgloveLogChannel, fg::kLogTopic, fg::LogSchema(), false));
    for (int c = 0; c < travik::kImageChannels; ++c) {
        out.push_back(Make(FoxgloveChannelId(c, FoxgloveTopic::Raw), fg::ImageTopic(c), fg::RawImageSchema(), true));
        out.push_back(
            Make(FoxgloveChannelId(c, FoxgloveTopic::Jpeg), fg::JpegTopic(c), fg::CompressedImageSchema(), true));
        out.push_back(Make(FoxgloveChannelId(c, FoxgloveTopic::Compressed), fg::CompressedImageTopic(c),
                           fg::CompressedImageSchema(), true));
        out.push_back(Make(FoxgloveChannelId(c, FoxgloveTopic::Blob), fg::BlobTopic(c), fg::BlobSchema(), true));
        // Not latest-only: an image's info must not be lost while its image
        // is sent (a handful of bytes, bounded per client).
        out.push_back(
            Make(FoxgloveChannelId(c, FoxgloveTopic::Info), fg::ImageInfoTopic(c), fg::ImageInfoSchema(), false));
    }
    for (int c = 0; c < travik::kImageChannels && video; ++c)
        out.push_back(Make(FoxgloveVideoChannelId(c), fg::VideoTopic(c), fg::CompressedVideoSchema(), false, true));
    return out;
}

FoxgloveRelay::FoxgloveRelay(FoxgloveServer& server, int quality)
    : m_server(server),
      m_topics(kFoxgloveChannelCount),
      m_encoder(quality, false),
      m_worker(travik::kImageChannels, [this](int channel, RawImage& raw) { Encode(channel, raw); }) {
    for (const FoxgloveChannel& c : TravikFoxgloveChannels(true)) m_topics[c.id] = c.topic;
}

FoxgloveRelay::~FoxgloveRelay() { Stop(); }

void FoxgloveRelay::Offer(int channel, const int attrs[5], std::shared_ptr<unsigned char> data, int len, uint64_t tag) {
    RawImage raw;
    raw.data = std::move(data);  // the library's buffer, kept by reference
    std::copy(attrs, attrs + 5, raw.attrs);
    raw.len = len;
    raw.tag = tag;
    m_worker.Offer(channel, std::move(raw));
}

void FoxgloveRelay::OfferLog(const std::string& text) {
    if (m_server.Subscribers(kFoxgloveLogChannel) == 0) return;
    const uint64_t micros = static_cast<uint64_t>(travik::NowMicros());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string message;
        fg::AppendLog(message, micros * 1000, std::string_view(text).substr(start, end - start));
        Send(kFoxgloveLogChannel, micros * 1000, std::move(message), micros);
        start = end + 1;
    }
}

void FoxgloveRelay::Send(uint32_t id, uint64_t nanos, std::string message, uint64_t receivedMicros, bool keyframe) {
    ++m_encoded[id];
    m_server.Publish(id, nanos, std::make_shared<const std::string>(std::move(message)), receivedMicros, keyframe);
}

bool FoxgloveRelay::PixelsWanted(int channel) const {
    if (!travik::ValidChannel(channel)) return false;
    for (FoxgloveTopic topic :
         {FoxgloveTopic::Raw, FoxgloveTopic::Jpeg, FoxgloveTopic::Compressed, FoxgloveTopic::Blob, FoxgloveTopic::Info})
        if (m_server.Subscribers(FoxgloveChannelId(channel, topic)) > 0) return true;
    return false;
}

bool FoxgloveRelay::VideoWatched(int channel) {
    return travik::ValidChannel(channel) && m_server.Subscribers(FoxgloveVideoChannelId(channel)) > 0;
}

bool FoxgloveRelay::TakeKeyframeWanted(int channel) {
    return travik::ValidChannel(channel) && m_server.TakeKeyframeWanted(FoxgloveVideoChannelId(channel));
}

void FoxgloveRelay::OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) {
    if (!travik::ValidChannel(channel) || !unit || !VideoWatched(channel)) return;
    const uint64_t nanos = unit->stagedMicros * 1000;
    std::string message;
    fg::AppendCompressedVideo(message, nanos, fg::ChannelFrameId(channel), "h264", unit->annexB);
    Send(FoxgloveVideoChannelId(channel), nanos, std::move(message), unit->stagedMicros, unit->keyframe);
}

void FoxgloveRelay::Stop() { m_worker.Stop(); }

std::vector<std::pair<std::string, uint64_t>> FoxgloveRelay::Encodings() const {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (uint32_t id = 0; id < kFoxgloveChannelCount; ++id)
        if (!m_topics[id].empty()) out.emplace_back(m_topics[id], m_encoded[id].load());
    return out;
}

void FoxgloveRelay::Encode(int c, const RawImage& raw) {
    auto wanted = [&](FoxgloveTopic t) { return m_server.Subscribers(FoxgloveChannelId(c, t)) > 0; };
    const auto* bytes = raw.data.get();
    const size_t size = raw.data && raw.len > 0 ? static_cast<size_t>(raw.len) : 0;
    const int width = raw.attrs[2], height = raw.attrs[3];
    const fg::ImageForm form = fg::ClassifyImage(raw.attrs[1], width, height, bytes, size);
    const uint64_t nanos = raw.receivedMicros * 1000;
    const std::string frame = fg::ChannelFrameId(c);
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    std::string message;
    if (form.kind == fg::ImageKind::kRaw && wanted(FoxgloveTopic::Raw)) {
        fg::AppendRawImage(message, nanos, frame, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                           form.encoding, form.step, data);
        Send(FoxgloveChannelId(c, FoxgloveTopic::Raw), nanos, std::move(message), raw.receivedMicros);
    }
    if (form.kind == fg::ImageKind::kCompressed && wanted(FoxgloveTopic::Compressed)) {
        message.clear();
        fg::AppendCompressedImage(message, nanos, frame, form.format, data);
        Send(FoxgloveChannelId(c, FoxgloveTopic::Compressed), nanos, std::move(message), raw.receivedMicros);
    }
    if (form.kind == fg::ImageKind::kBlob && wanted(FoxgloveTopic::Blob)) {
        message.clear();
        fg::AppendBlob(message, nanos, frame, data);
        Send(FoxgloveChannelId(c, FoxgloveTopic::Blob), nanos, std::move(message), raw.receivedMicros);
    }
    if (wanted(FoxgloveTopic::Jpeg)) {
        message.clear();
        if (form.kind == fg::ImageKind::kRaw) {
            std::string jpeg;
            if (m_encoder.Encode(bytes, width, height, form.encoding == "mono8" ? 1 : 3, jpeg))
                fg::AppendCompressedImage(message, nanos, frame, "jpeg", jpeg);
        } else if (form.kind == fg::ImageKind::kCompressed && form.format == "jpeg") {
            fg::AppendCompressedImage(message, nanos, frame, "jpeg", data);  // already JPEG
        }
        if (!message.empty())
            Send(FoxgloveChannelId(c, FoxgloveTopic::Jpeg), nanos, std::move(message), raw.receivedMicros);
    }
    if (wanted(FoxgloveTopic::Info)) {
        fg::ImageInfo info;
        std::copy(raw.attrs, raw.attrs + 5, info.attrs);
        info.tag = raw.tag;
        info.size = size;
        message.clear();
        fg::AppendImageInfo(message, nanos, frame, info);
        Send(FoxgloveChannelId(c, FoxgloveTopic::Info), nanos, std::move(message), raw.receivedMicros);
    }
}

}  // namespace travik_tool
