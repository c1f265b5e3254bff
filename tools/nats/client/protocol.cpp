#include "nats/client/protocol.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <sstream>

#include "common/image_file.h"
#include "nats/client/little_endian.h"
#include "protocol/limits.h"

namespace travik_nats {

namespace {

constexpr unsigned char kMagic0 = 'T';
constexpr unsigned char kMagic1 = 'V';
constexpr unsigned char kVersion = 1;

// "key=value" fields separated by spaces; later keys win. Only `known`
// keys are kept: a line of many distinct keys costs no more than its size.
std::map<std::string, std::string> Fields(const std::string& text, std::initializer_list<const char*> known) {
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        for (const char* key : known) {
            if (word.compare(0, eq, key) == 0 && std::strlen(key) == eq) {
                fields[key] = word.substr(eq + 1);
                break;
            }
        }
    }
    return fields;
}

bool ParseInt(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty() || text.size() > 20) return false;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        if (v > (std::numeric_limits<long long>::max() - 9) / 10) return false;
        v = v * 10 + (text[i] - '0');
    }
    if (text[0] == '-') v = -v;
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ParseChannels(const std::string& text, bool channels[kChannels]) {
    for (int c = 0; c < kChannels; ++c) channels[c] = false;
    if (text == "-") return true;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        long long c = 0;
        if (!ParseInt(part, 0, kChannels - 1, c)) return false;
        channels[c] = true;
    }
    return true;
}

bool Token(const std::string& text) {
    if (text.empty() || text.size() > 64) return false;
    for (char ch : text)
        if (ch <= ' ' || ch > '~') return false;
    return true;
}

}  // namespace

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char ch : name) {
        const bool ok =
            (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-';
        if (!ok) return false;
    }
    return true;
}

std::string Subject(const std::string& name, const std::string& leaf) {
    return std::string(kSubjectRoot) + "." + name + "." + leaf;
}

std::string ImageSubject(const std::string& name, int channel) {
    return Subject(name, "image." + std::to_string(channel));
}

bool NameOfStatusSubject(const std::string& subject, std::string& name) {
    const std::string head = std::string(kSubjectRoot) + ".";
    const std::string tail = ".status";
    if (subject.size() <= head.size() + tail.size()) return false;
    if (subject.compare(0, head.size(), head) != 0) return false;
    if (subject.compare(subject.size() - tail.size(), tail.size(), tail) != 0) return false;
    name = subject.substr(head.size(), subject.size() - head.size() - tail.size());
    return ValidName(name);
}

bool ImageClaimValid(const ImageHeader& header) {
    if (header.rawLen > static_cast<uint32_t>(travik::kMaxRawLen)) return false;
    const int format = header.attrs[1];
    if (format != travik_tool::kFormatGray && format != travik_tool::kFormatRgb) return true;
    return travik_tool::IsPixelImage(format, header.attrs[2], header.attrs[3], header.rawLen);
}

bool EncodeImage(const ImageHeader& header, const unsigned char* data, uint32_t len, int level,
                 std::vector<unsigned char>& message) {
    ImageHeader claim = header;
    claim.rawLen = len;
    if (!ImageClaimValid(claim) || (len > 0 && data == nullptr)) return false;
    const uLong bound = compressBound(len);
    message.resize(kImagePrefixLen + bound);
    uLongf packed = bound;
    Codec codec = Codec::Zlib;
    if (compress2(message.data() + kImagePrefixLen, &packed, data, len, level) != Z_OK) return false;
    if (packed >= len) {
        // Noise does not shrink: sent as it is.
        codec = Codec::Raw;
        packed = len;
        if (len > 0) std::memcpy(message.data() + kImagePrefixLen, data, len);
    }
    message.resize(kImagePrefixLen + packed);
    unsigned char* p = message.data();
    p[0] = kMagic0;
    p[1] = kMagic1;
    p[2] = kVersion;
    p[3] = static_cast<unsigned char>(codec);
    for (int i = 0; i < 5; ++i) PutU32(p + 4 + 4 * i, static_cast<uint32_t>(header.attrs[i]));
    PutU64(p + 24, header.tag);
    PutU32(p + 32, len);
    return true;
}

bool ReadImagePrefix(const unsigned char* message, size_t len, ImageHeader& header) {
    if (message == nullptr || len < kImagePrefixLen) return false;
    if (message[0] != kMagic0 || message[1] != kMagic1 || message[2] != kVersion) return false;
    for (int i = 0; i < 5; ++i) header.attrs[i] = static_cast<int32_t>(GetU32(message + 4 + 4 * i));
    header.tag = GetU64(message + 24);
    header.rawLen = GetU32(message + 32);
    const size_t bodyLen = len - kImagePrefixLen;
    if (!ImageClaimValid(header)) return false;
    if (message[3] == static_cast<unsigned char>(Codec::Raw)) {
        header.codec = Codec::Raw;
        return bodyLen == header.rawLen;
    }
    if (message[3] == static_cast<unsigned char>(Codec::Zlib)) {
        header.codec = Codec::Zlib;
        // A claim past deflate's best ratio is a lie (64 bytes of slack for
        // tiny streams, as the direct link allows).
        return static_cast<uint64_t>(header.rawLen) <=
               static_cast<uint64_t>(bodyLen) * static_cast<uint64_t>(travik::kMaxInflateRatio) + 64;
    }
    return false;
}

bool DecodeImage(const unsigned char* message, size_t len, ImageHeader& header, std::shared_ptr<unsigned char>& image) {
    // Judged on the prefix alone: a forged claim costs no allocation and no
    // inflating.
    if (!ReadImagePrefix(message, len, header)) return false;
    const unsigned char* body = message + kImagePrefixLen;
    const size_t bodyLen = len - kImagePrefixLen;
    std::shared_ptr<unsigned char> out(new (std::nothrow) unsigned char[header.rawLen ? header.rawLen : 1],
                                       std::default_delete<unsigned char[]>());
    if (!out) return false;
    if (header.codec == Codec::Raw) {
        if (bodyLen > 0) std::memcpy(out.get(), body, bodyLen);
    } else {
        uLongf restored = header.rawLen;
        uLong consumed = bodyLen;
        if (uncompress2(out.get(), &restored, body, &consumed) != Z_OK || restored != header.rawLen ||
            consumed != bodyLen)
            return false;
    }
    image = std::move(out);
    return true;
}

bool Wish::Any() const {
    for (int c = 0; c < kChannels; ++c)
        if (channels[c] || video[c]) return true;
    return logs;
}

bool Wish::operator==(const Wish& o) const {
    for (int c = 0; c < kChannels; ++c)
        if (channels[c] != o.channels[c] || video[c] != o.video[c]) return false;
    return intervalMs == o.intervalMs && logs == o.logs;
}

std::string FormatChannels(const bool channels[kChannels]) {
    std::string text;
    for (int c = 0; c < kChannels; ++c) {
        if (!channels[c]) continue;
        if (!text.empty()) text += ',';
        text += std::to_string(c);
    }
    return text.empty() ? "-" : text;
}

std::vector<std::pair<size_t, size_t>> SplitText(const std::string& text, size_t max) {
    std::vector<std::pair<size_t, size_t>> pieces;
    if (max == 0) return pieces;
    size_t start = 0;
    while (start < text.size()) {
        size_t len = std::min(max, text.size() - start);
        if (start + len < text.size()) {
            const size_t newline = text.rfind('\n', start + len - 1);
            if (newline != std::string::npos && newline >= start) {
                len = newline + 1 - start;
            } else {
                // Back off continuation bytes (10xxxxxx) to a character start.
                size_t cut = start + len;
                while (cut > start && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
                if (cut > start) len = cut - start;
            }
        }
        pieces.emplace_back(start, len);
        start += len;
    }
    return pieces;
}

std::string FormatLease(const std::string& id, const Wish& wish, int ttlMs, const bool* keyframes) {
    std::string text = "id=" + id + " channels=" + FormatChannels(wish.channels) +
                       " video=" + FormatChannels(wish.video) + " interval=" + std::to_string(wish.intervalMs) +
                       " logs=" + (wish.logs ? "1" : "0") + " ttl=" + std::to_string(ttlMs);
    if (keyframes != nullptr) text += " key=" + FormatChannels(keyframes);
    return text;
}

bool ParseLease(const std::string& text, std::string& id, Wish& wish, int& ttlMs) {
    bool keyframes[kChannels];
    return ParseLease(text, id, wish, ttlMs, keyframes);
}

bool ParseLease(const std::string& text, std::string& id, Wish& wish, int& ttlMs, bool keyframes[kChannels]) {
    auto f = Fields(text, {"id", "channels", "video", "key", "interval", "logs", "ttl"});
    long long interval = 0, logs = 0, ttl = 0;
    // Absent lists are "none": a viewer that knows no video leaves them out.
    const std::string video = f.count("video") ? f["video"] : "-";
    const std::string key = f.count("key") ? f["key"] : "-";
    if (!Token(f["id"]) || !ParseChannels(f["channels"], wish.channels) || !ParseChannels(video, wish.video) ||
        !ParseChannels(key, keyframes) || !ParseInt(f["interval"], 1, 3600000, interval) ||
        !ParseInt(f["logs"], 0, 1, logs) || !ParseInt(f["ttl"], 1, 60000, ttl))
        return false;
    id = f["id"];
    wish.intervalMs = static_cast<int>(interval);
    wish.logs = logs == 1;
    ttlMs = static_cast<int>(ttl);
    return true;
}

std::string FormatStatus(const Status& s) {
    return "v=1 name=" + s.name + " device=" + s.device + " up=" + (s.up ? "1" : "0") +
           " channels=" + FormatChannels(s.sending.channels) + " interval=" + std::to_string(s.sending.intervalMs) +
           " logs=" + (s.sending.logs ? "1" : "0") + " video=" + s.video +
           " encoding=" + FormatChannels(s.sending.video) + " leases=" + std::to_string(s.leases) +
           " t=" + std::to_string(s.timeMs);
}

bool ParseStatus(const std::string& text, Status& s) {
    auto f =
        Fields(text, {"v", "name", "device", "up", "channels", "interval", "logs", "video", "encoding", "leases", "t"});
    long long up = 0, interval = 0, logs = 0, leases = 0, t = 0;
    // A bridge without video leaves both out.
    const std::string video = f.count("video") ? f["video"] : "-";
    const std::string encoding = f.count("encoding") ? f["encoding"] : "-";
    if ((video != "-" && video != "h264") || !ParseChannels(encoding, s.sending.video)) return false;
    if (f["v"] != "1" || !ValidName(f["name"]) || !Token(f["device"]) || !ParseInt(f["up"], 0, 1, up) ||
        !ParseChannels(f["channels"], s.sending.channels) || !ParseInt(f["interval"], 1, 3600000, interval) ||
        !ParseInt(f["logs"], 0, 1, logs) || !ParseInt(f["leases"], 0, 1000000000, leases) ||
        !ParseInt(f["t"], 0, std::numeric_limits<long long>::max() - 1, t))
        return false;
    s.name = f["name"];
    s.device = f["device"];
    s.video = video;
    s.up = up == 1;
    s.sending.intervalMs = static_cast<int>(interval);
    s.sending.logs = logs == 1;
    s.leases = static_cast<int>(leases);
    s.timeMs = static_cast<uint64_t>(t);
    return true;
}

}  // namespace travik_nats
