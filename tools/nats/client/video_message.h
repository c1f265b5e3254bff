// The video message of docs/nats-protocol.md: one H.264 access unit of one
// channel, as the bridge's encoder made it, on travik.v1.NAME.video.N. A
// fixed little-endian prefix and the Annex B bytes, carried through
// unchanged by every watcher (never decoded on the way). Hostile input is
// refused on the prefix and one bounded pass over the NAL unit headers,
// before anything is allocated for it.
// Contract: pure functions and plain values, any thread, nothing blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace travik_nats {

constexpr size_t kVideoPrefixLen = 36;
// The most one access unit may be: far past what a bitrate target lets an
// encoder make of the largest picture, and below any sane max_payload.
constexpr uint32_t kMaxVideoUnitLen = 16u << 20;
// The largest picture side H.264 levels describe.
constexpr int kMaxVideoSide = 16384;

enum class VideoCodec : uint8_t { H264 = 1 };

std::string VideoSubject(const std::string& name, int channel);

struct VideoHeader {
    VideoCodec codec = VideoCodec::H264;
    bool keyframe = false;  // an IDR picture with its SPS and PPS
    int channel = 0;
    int width = 0;  // the image as staged
    int height = 0;
    uint64_t sequence = 0;      // of the source image on its channel
    uint64_t stagedMicros = 0;  // bridge's wall clock when the image arrived
    uint32_t unitLen = 0;
};

// The whole message. False when the header or the unit would be refused by
// ReadVideoMessage (a bridge never publishes what a reader refuses).
bool EncodeVideoMessage(const VideoHeader& header, const void* unit, size_t len, std::vector<unsigned char>& message);
// Judges `message` whole: magic, version, codec, flags and reserved bytes,
// a channel 0..3 and sides 1..kMaxVideoSide, a unit of exactly the rest of
// the message and at most kMaxVideoUnitLen, Annex B (a start code first,
// every NAL header's forbidden bit clear), and the keyframe flag true
// exactly when the unit holds an IDR slice with SPS and PPS. On success
// `unitOffset` is where the unit starts in `message`.
bool ReadVideoMessage(const unsigned char* message, size_t len, VideoHeader& header, size_t& unitOffset);

}  // namespace travik_nats
