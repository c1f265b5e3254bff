// The messages travik exchanges through NATS (docs/nats-protocol.md): the
// subjects, the image message (a fixed little-endian prefix and the image,
// compressed once by the bridge), and the one-line texts of leases,
// commands and status. Hostile input is refused, never trusted for sizes.
// Contract: pure functions and plain values, any thread, nothing blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "protocol/channel_rule.h"

namespace travik_nats {

// The library's channel rule: one subject per image channel.
constexpr int kChannels = travik::kImageChannels;
constexpr const char* kSubjectRoot = "travik.v1";
constexpr size_t kImagePrefixLen = 36;
// Lease period of a viewer, and how long a bridge keeps a lease it no longer
// hears about (three missed periods and a half).
constexpr int kLeasePeriodMs = 1000;
constexpr int kLeaseTtlMs = 3500;
constexpr int kStatusPeriodMs = 1000;

enum class Codec : uint8_t { Raw = 0, Zlib = 1 };

// NAME: 1..64 of [A-Za-z0-9_-], so it is one subject token.
bool ValidName(const std::string& name);
// "travik.v1.NAME.image.2", ".log", ".command", ".status", ".interest".
std::string Subject(const std::string& name, const std::string& leaf);
std::string ImageSubject(const std::string& name, int channel);
// The name in "travik.v1.NAME.status"; false for any other subject.
bool NameOfStatusSubject(const std::string& subject, std::string& name);

struct ImageHeader {
    int attrs[5] = {};
    uint64_t tag = 0;
    Codec codec = Codec::Raw;
    uint32_t rawLen = 0;
};

// Whether an image of `rawLen` bytes with these attributes may travel: no
// larger than the direct link carries (travik::kMaxRawLen), and, for a gray
// or RGB format (attr2), exactly width (attr3) x height (attr4) pixels.
// Writer and reader both apply it, so a claim is judged before anything is
// allocated or inflated for it.
bool ImageClaimValid(const ImageHeader& header);

// The whole message: prefix, then the image compressed at `level` 1..9
// (stored raw when it would not shrink). Returns false when compression
// failed or the image fails ImageClaimValid.
bool EncodeImage(const ImageHeader& header, const unsigned char* data, uint32_t len, int level,
                 std::vector<unsigned char>& message);
// Reads and judges the prefix of `message` without touching the body:
// false for a short or unknown prefix, a claim that fails ImageClaimValid,
// a raw body of another length or a claim past what deflate can make of
// the body. Cheap enough for the client library's thread.
bool ReadImagePrefix(const unsigned char* message, size_t len, ImageHeader& header);
// Restores the image of `message` into a new buffer of header.rawLen bytes.
// False when ReadImagePrefix refuses it or the stream does not restore
// exactly rawLen bytes.
bool DecodeImage(const unsigned char* message, size_t len, ImageHeader& header, std::shared_ptr<unsigned char>& image);

// What one viewer asks for (a lease or a command), or what a bridge makes
// the device send.
struct Wish {
    bool channels[kChannels] = {};  // raw images, on image.N
    bool video[kChannels] = {};     // access units, on video.N
    int intervalMs = 100;
    bool logs = false;
    bool Any() const;
    bool operator==(const Wish& o) const;
    bool operator!=(const Wish& o) const { return !(*this == o); }
};

// "id=ID channels=0,2 video=1 interval=100 logs=1 ttl=3500", with
// " key=1" when `keyframes` names channels whose watchers need a keyframe
// now (one joined, or resubscribed).
std::string FormatLease(const std::string& id, const Wish& wish, int ttlMs, const bool* keyframes = nullptr);
// False when a field is missing or out of range (interval 1..3600000, ttl
// 1..60000, id 1..64 printable characters without spaces, channel lists).
// `video` and `key` may be missing (none): leases of viewers that know no
// video stay valid.
bool ParseLease(const std::string& text, std::string& id, Wish& wish, int& ttlMs);
bool ParseLease(const std::string& text, std::string& id, Wish& wish, int& ttlMs, bool keyframes[kChannels]);

struct Status {
    std::string name;
    std::string device;       // HOST:PORT
    bool up = false;          // the bridge is connected to its device
    Wish sending;             // what the device is asked to send now; its
                              // `video`: the channels being encoded
    std::string video = "-";  // "h264" when the bridge encodes video
    int leases = 0;
    uint64_t timeMs = 0;  // wall clock of the bridge, ms since 1970
};
std::string FormatStatus(const Status& status);
bool ParseStatus(const std::string& text, Status& status);

std::string FormatChannels(const bool channels[kChannels]);

// Cuts log text into pieces of at most `max` bytes (> 0) for the server's
// max_payload: after the last newline of a piece when it has one, else
// never inside a UTF-8 character. Returns {offset, length} pairs.
std::vector<std::pair<size_t, size_t>> SplitText(const std::string& text, size_t max);

}  // namespace travik_nats
