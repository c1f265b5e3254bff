// Topic names and frame ids, the one home for recordings and the live
// endpoint:
//   /travik/log                   foxglove.Log
//   /travik/channel/N             foxglove.RawImage (gray mono8, RGB rgb8)
//   /travik/channel/N/compressed  foxglove.CompressedImage (JPEG/PNG bytes)
//   /travik/channel/N/blob        travik.Blob (other opaque bytes)
//   /travik/channel/N/info        travik.ImageInfo (attributes, tag)
//   /travik/channel/N/jpeg        foxglove.CompressedImage, live only: a
//                                 JPEG of every image, for slow links
//   /travik/channel/N/h264        foxglove.CompressedVideo, live only:
//                                 H.264 (format "h264"), for weak links
// N is the image channel, 0..3. Contract: pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

namespace travik_tool::foxglove {

extern const char kLogTopic[];  // "/travik/log"
std::string ImageTopic(int channel);
std::string CompressedImageTopic(int channel);
std::string BlobTopic(int channel);
std::string ImageInfoTopic(int channel);
std::string JpegTopic(int channel);
std::string VideoTopic(int channel);
// "channel0": frame_id of every message of channel N.
std::string ChannelFrameId(int channel);

enum class TopicKind { kOther, kLog, kImage, kCompressed, kBlob, kInfo, kJpeg, kVideo };
// Which of the topics above `topic` is; `channel` is set (0..3) for the
// per-channel ones. kOther for anything else.
TopicKind ParseTopic(std::string_view topic, int& channel);

}  // namespace travik_tool::foxglove
