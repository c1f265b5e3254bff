#include "foxglove/messages.h"

#include <cstring>

#include "common/image_file.h"

namespace travik_tool::foxglove {

const char kLogName[] = "device";

namespace {

enum WireType { kVarint = 0, kFixed64 = 1, kLength = 2, kFixed32 = 5 };

void PutVarint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}
void PutTag(std::string& out, uint32_t field, WireType type) { PutVarint(out, (uint64_t{field} << 3) | type); }
void PutVarintField(std::string& out, uint32_t field, uint64_t v) {
    PutTag(out, field, kVarint);
    PutVarint(out, v);
}
// int32 goes on the wire sign-extended to 64 bits, as protobuf does.
void PutInt32Field(std::string& out, uint32_t field, int32_t v) {
    PutVarintField(out, field, static_cast<uint64_t>(static_cast<int64_t>(v)));
}
void PutFixed32Field(std::string& out, uint32_t field, uint32_t v) {
    PutTag(out, field, kFixed32);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutLengthPrefix(std::string& out, uint32_t field, size_t len) {
    PutTag(out, field, kLength);
    PutVarint(out, len);
}
void PutBytesField(std::string& out, uint32_t field, std::string_view bytes) {
    PutLengthPrefix(out, field, bytes.size());
    out.append(bytes.data(), bytes.size());
}
// google.protobuf.Timestamp as field `field`.
void PutTimestamp(std::string& out, uint32_t field, uint64_t timeNanos) {
    const uint64_t seconds = timeNanos / 1000000000u;
    const uint64_t nanos = timeNanos % 1000000000u;
    std::string inner;
    if (seconds) PutVarintField(inner, 1, seconds);
    if (nanos) PutVarintField(inner, 2, nanos);
    PutBytesField(out, field, inner);
}

struct Field {
    uint32_t number = 0;
    WireType type = kVarint;
    uint64_t value = 0;      // kVarint, kFixed32, kFixed64
    std::string_view bytes;  // kLength
};

// Walks the fields of one message. Next returns false at the end and on a
// malformed field, which sets `bad`.
class Fields {
public:
    explicit Fields(std::string_view message)
        : m_p(reinterpret_cast<const uint8_t*>(message.data())), m_end(m_p + message.size()) {}
    bool Next(Field& f) {
        if (m_p == m_end) return false;
        uint64_t key = 0;
        if (!Varint(key) || (key >> 3) == 0 || (key >> 3) > 0x1fffffff) return Fail();
        f.number = static_cast<uint32_t>(key >> 3);
        switch (key & 7) {
            case kVarint:
                f.type = kVarint;
                return Varint(f.value) || Fail();
            case kFixed64:
                f.type = kFixed64;
                return Fixed(8, f.value) || Fail();
            case kFixed32:
                f.type = kFixed32;
                return Fixed(4, f.value) || Fail();
            case kLength: {
                f.type = kLength;
                uint64_t len = 0;
                if (!Varint(len) || len > static_cast<uint64_t>(m_end - m_p)) return Fail();
                f.bytes = std::string_view(reinterpret_cast<const char*>(m_p), static_cast<size_t>(len));
                m_p += len;
                return true;
            }
            default:  // groups (3, 4) and undefined types
                return Fail();
        }
    }
    bool Bad() const { return m_bad; }

private:
    bool Varint(uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 70 && m_p < m_end; shift += 7) {
            const uint8_t b = *m_p++;
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;  // past 10 bytes or past the end
    }
    bool Fixed(int n, uint64_t& v) {
        if (m_end - m_p < n) return false;
        v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(m_p[i]) << (8 * i);
        m_p += n;
        return true;
    }
    bool Fail() {
        m_bad = true;
        return false;
    }

    const uint8_t* m_p;
    const uint8_t* m_end;
    bool m_bad = false;
};

// Times before 1970 or past 2554 read as 0: travik never writes them.
bool DecodeTimestamp(std::string_view message, uint64_t& timeNanos) {
    Fields fields(message);
    Field f;
    uint64_t seconds = 0, nanos = 0;
    while (fields.Next(f)) {
        if (f.number > 2) continue;
        if (f.type != kVarint) return false;
        (f.number == 1 ? seconds : nanos) = f.value;
    }
    if (fields.Bad()) return false;
    const bool inRange = seconds < UINT64_MAX / 1000000000u - 1 && nanos < 1000000000u;
    timeNanos = inRange ? seconds * 1000000000u + nanos : 0;
    return true;
}

// Field `f` read as the type a schema gives it; false when its wire type
// does not match.
bool AsTime(const Field& f, uint64_t& t) { return f.type == kLength && DecodeTimestamp(f.bytes, t); }
bool AsBytes(const Field& f, std::string_view& v) {
    if (f.type != kLength) return false;
    v = f.bytes;
    return true;
}
bool AsFixed32(const Field& f, uint32_t& v) {
    if (f.type != kFixed32) return false;
    v = static_cast<uint32_t>(f.value);
    return true;
}
template <typename T>
bool AsVarint(const Field& f, T& v) {
    if (f.type != kVarint) return false;
    v = static_cast<T>(f.value);  // int32 keeps the low 32 bits, as protobuf does
    return true;
}

}  // namespace

std::string_view CompressedFormat(const uint8_t* data, size_t size) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (size >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff) return "jpeg";
    if (size >= sizeof kPng && std::memcmp(data, kPng, sizeof kPng) == 0) return "png";
    return {};
}

ImageForm ClassifyImage(int attr2, int width, int height, const uint8_t* data, size_t size) {
    ImageForm form;
    if (IsPixelImage(attr2, width, height, static_cast<long long>(size))) {
        form.kind = ImageKind::kRaw;
        const bool gray = attr2 == kFormatGray;
        form.encoding = gray ? "mono8" : "rgb8";
        form.step = static_cast<uint32_t>(width) * (gray ? 1u : 3u);
        return form;
    }
    form.format = CompressedFormat(data, size);
    form.kind = form.format.empty() ? ImageKind::kBlob : ImageKind::kCompressed;
    return form;
}

void AppendRawImageHead(std::string& out, uint64_t timeNanos, std::string_view frameId, uint32_t width, uint32_t height,
                        std::string_view encoding, uint32_t step, size_t pixelBytes) {
    PutTimestamp(out, 1, timeNanos);
    PutBytesField(out, 7, frameId);
    PutFixed32Field(out, 2, width);
    PutFixed32Field(out, 3, height);
    PutBytesField(out, 4, encoding);
    PutFixed32Field(out, 5, step);
    PutLengthPrefix(out, 6, pixelBytes);
}
void AppendRawImage(std::string& out, uint64_t timeNanos, std::string_view frameId, uint32_t width, uint32_t height,
                    std::string_view encoding, uint32_t step, std::string_view pixels) {
    AppendRawImageHead(out, timeNanos, frameId, width, height, encoding, step, pixels.size());
    out.append(pixels.data(), pixels.size());
}

void AppendCompressedImageHead(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                               size_t dataBytes) {
    PutTimestamp(out, 1, timeNanos);
    PutBytesField(out, 4, frameId);
    PutBytesField(out, 3, format);
    PutLengthPrefix(out, 2, dataBytes);
}
void AppendCompressedImage(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                           std::string_view data) {
    AppendCompressedImageHead(out, timeNanos, frameId, format, data.size());
    out.append(data.data(), data.size());
}

void AppendCompressedVideoHead(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                               size_t dataBytes) {
    PutTimestamp(out, 1, timeNanos);
    PutBytesField(out, 2, frameId);
    PutBytesField(out, 4, format);
    PutLengthPrefix(out, 3, dataBytes);
}
void AppendCompressedVideo(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view format,
                           std::string_view data) {
    AppendCompressedVideoHead(out, timeNanos, frameId, format, data.size());
    out.append(data.data(), data.size());
}

void AppendBlobHead(std::string& out, uint64_t timeNanos, std::string_view frameId, size_t dataBytes) {
    PutTimestamp(out, 1, timeNanos);
    PutBytesField(out, 2, frameId);
    PutLengthPrefix(out, 3, dataBytes);
}
void AppendBlob(std::string& out, uint64_t timeNanos, std::string_view frameId, std::string_view data) {
    AppendBlobHead(out, timeNanos, frameId, data.size());
    out.append(data.data(), data.size());
}

void AppendLog(std::string& out, uint64_t timeNanos, std::string_view text) {
    PutTimestamp(out, 1, timeNanos);
    PutVarintField(out, 2, kLogInfo);
    PutBytesField(out, 4, kLogName);
    PutBytesField(out, 3, text);
}

void AppendImageInfo(std::string& out, uint64_t timeNanos, std::string_view frameId, const ImageInfo& info) {
    PutTimestamp(out, 1, timeNanos);
    PutBytesField(out, 2, frameId);
    for (uint32_t i = 0; i < 5; ++i) PutInt32Field(out, 3 + i, info.attrs[i]);
    PutVarintField(out, 8, info.tag);
    PutVarintField(out, 9, info.size);
}

bool DecodeRawImage(std::string_view message, RawImageView& out) {
    out = RawImageView();
    Fields fields(message);
    Field f;
    while (fields.Next(f)) {
        bool ok = true;
        switch (f.number) {
            case 1:
                ok = AsTime(f, out.timeNanos);
                break;
            case 2:
                ok = AsFixed32(f, out.width);
                break;
            case 3:
                ok = AsFixed32(f, out.height);
                break;
            case 4:
                ok = AsBytes(f, out.encoding);
                break;
            case 5:
                ok = AsFixed32(f, out.step);
                break;
            case 6:
                ok = AsBytes(f, out.data);
                break;
            case 7:
                ok = AsBytes(f, out.frameId);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    return !fields.Bad();
}

bool DecodeCompressedImage(std::string_view message, CompressedImageView& out) {
    out = CompressedImageView();
    Fields fields(message);
    Field f;
    while (fields.Next(f)) {
        bool ok = true;
        switch (f.number) {
            case 1:
                ok = AsTime(f, out.timeNanos);
                break;
            case 2:
                ok = AsBytes(f, out.data);
                break;
            case 3:
                ok = AsBytes(f, out.format);
                break;
            case 4:
                ok = AsBytes(f, out.frameId);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    return !fields.Bad();
}

bool DecodeCompressedVideo(std::string_view message, CompressedVideoView& out) {
    out = CompressedVideoView();
    Fields fields(message);
    Field f;
    while (fields.Next(f)) {
        bool ok = true;
        switch (f.number) {
            case 1:
                ok = AsTime(f, out.timeNanos);
                break;
            case 2:
                ok = AsBytes(f, out.frameId);
                break;
            case 3:
                ok = AsBytes(f, out.data);
                break;
            case 4:
                ok = AsBytes(f, out.format);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    return !fields.Bad();
}

bool DecodeBlob(std::string_view message, BlobView& out) {
    out = BlobView();
    Fields fields(message);
    Field f;
    while (fields.Next(f)) {
        bool ok = true;
        switch (f.number) {
            case 1:
                ok = AsTime(f, out.timeNanos);
                break;
            case 2:
                ok = AsBytes(f, out.frameId);
                break;
            case 3:
                ok = AsBytes(f, out.data);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    return !fields.Bad();
}

bool DecodeLog(std::string_view message, LogView& out) {
    out = LogView();
    Fields fields(message);
    Field f;
    while (fields.Next(f)) {
        bool ok = true;
        switch (f.number) {
            case 1:
                ok = AsTime(f, out.timeNanos);
                break;
            case 2:
                ok = AsVarint(f, out.level);
                break;
            case 3:
                ok = AsBytes(f, out.message);
                break;
            case 4:
                ok = AsBytes(f, out.name);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    return !fields.Bad();
}

bool DecodeImageInfo(std::string_view message, ImageInfo& out, uint64_t& timeNanos) {
    out = ImageInfo();
    timeNanos = 0;
    Fields fields(message);
    Field f;
    while (fields.Next(f)) {
        bool ok = true;
        if (f.number == 1) {
            ok = AsTime(f, timeNanos);
        } else if (f.number >= 3 && f.number <= 7) {
            ok = AsVarint(f, out.attrs[f.number - 3]);
        } else if (f.number == 8) {
            ok = AsVarint(f, out.tag);
        } else if (f.number == 9) {
            ok = AsVarint(f, out.size);
        }
        if (!ok) return false;
    }
    return !fields.Bad();
}

}  // namespace travik_tool::foxglove
