#include "foxglove/topics.h"

#include "protocol/channel_rule.h"

namespace travik_tool::foxglove {

namespace {

constexpr std::string_view kChannelPrefix = "/travik/channel/";

struct Suffix {
    std::string_view text;
    TopicKind kind;
};
constexpr Suffix kSuffixes[] = {{"", TopicKind::kImage},     {"/compressed", TopicKind::kCompressed},
                                {"/blob", TopicKind::kBlob}, {"/info", TopicKind::kInfo},
                                {"/jpeg", TopicKind::kJpeg}, {"/h264", TopicKind::kVideo}};

std::string ChannelTopic(int channel, std::string_view suffix) {
    std::string topic(kChannelPrefix);
    topic += std::to_string(channel);
    topic += suffix;
    return topic;
}

}  // namespace

const char kLogTopic[] = "/travik/log";

std::string ImageTopic(int channel) { return ChannelTopic(channel, ""); }
std::string CompressedImageTopic(int channel) { return ChannelTopic(channel, "/compressed"); }
std::string BlobTopic(int channel) { return ChannelTopic(channel, "/blob"); }
std::string ImageInfoTopic(int channel) { return ChannelTopic(channel, "/info"); }
std::string JpegTopic(int channel) { return ChannelTopic(channel, "/jpeg"); }
std::string VideoTopic(int channel) { return ChannelTopic(channel, "/h264"); }
std::string ChannelFrameId(int channel) { return "channel" + std::to_string(channel); }

TopicKind ParseTopic(std::string_view topic, int& channel) {
    channel = -1;
    if (topic == kLogTopic) return TopicKind::kLog;
    if (topic.size() <= kChannelPrefix.size() || topic.substr(0, kChannelPrefix.size()) != kChannelPrefix)
        return TopicKind::kOther;
    const char digit = topic[kChannelPrefix.size()];
    if (digit < '0' || digit >= '0' + travik::kImageChannels) return TopicKind::kOther;
    const std::string_view rest = topic.substr(kChannelPrefix.size() + 1);
    for (const Suffix& s : kSuffixes) {
        if (rest == s.text) {
            channel = digit - '0';
            return s.kind;
        }
    }
    return TopicKind::kOther;
}

}  // namespace travik_tool::foxglove
