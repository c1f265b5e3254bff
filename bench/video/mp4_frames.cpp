#include "mp4_frames.h"

#include <libyuv/convert_argb.h>
#include <zlib.h>

#include <cstring>

#include "support/h264_decode.h"

namespace travik_bench {

namespace {

constexpr size_t kMaxFileBytes = 256u << 20;

struct Box {
    std::string type;
    size_t body = 0, end = 0;
};

uint32_t U32(const std::string& d, size_t at) {
    return at + 4 <= d.size()
               ? (static_cast<uint32_t>(static_cast<uint8_t>(d[at])) << 24) |
                     (static_cast<uint32_t>(static_cast<uint8_t>(d[at + 1])) << 16) |
                     (static_cast<uint32_t>(static_cast<uint8_t>(d[at + 2])) << 8) | static_cast<uint8_t>(d[at + 3])
               : 0;
}
uint64_t U64(const std::string& d, size_t at) { return (static_cast<uint64_t>(U32(d, at)) << 32) | U32(d, at + 4); }

std::vector<Box> Children(const std::string& d, size_t at, size_t end) {
    std::vector<Box> out;
    while (at + 8 <= end) {
        uint64_t size = U32(d, at);
        size_t head = 8;
        if (size == 1) {
            size = U64(d, at + 8);
            head = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < head || size > end - at) break;
        out.push_back({d.substr(at + 4, 4), at + head, at + static_cast<size_t>(size)});
        at += static_cast<size_t>(size);
    }
    return out;
}

bool Find(const std::string& d, size_t at, size_t end, const std::vector<std::string>& path, Box& found) {
    for (const Box& b : Children(d, at, end)) {
        if (b.type != path[0]) continue;
        if (path.size() == 1) {
            found = b;
            return true;
        }
        if (Find(d, b.body, b.end, {path.begin() + 1, path.end()}, found)) return true;
    }
    return false;
}

bool ReadWhole(const std::string& path, std::string& out) {
    gzFile f = gzopen(path.c_str(), "rb");  // reads plain files as they are
    if (!f) return false;
    char buf[1 << 16];
    int n = 0;
    while ((n = gzread(f, buf, sizeof buf)) > 0 && out.size() < kMaxFileBytes) out.append(buf, static_cast<size_t>(n));
    gzclose(f);
    return n >= 0 && !out.empty();
}

}  // namespace

bool ReadMp4Frames(const std::string& path, size_t maxFrames, RgbFrames& out, std::string& error) {
    std::string d;
    if (!ReadWhole(path, d)) {
        error = path + ": cannot read";
        return false;
    }
    Box moov;
    if (!Find(d, 0, d.size(), {"moov"}, moov)) {
        error = path + ": no moov box";
        return false;
    }
    for (const Box& trak : Children(d, moov.body, moov.end)) {
        Box stbl, stsd, stsz, stsc, stco, avcc;
        if (trak.type != "trak" || !Find(d, trak.body, trak.end, {"mdia", "minf", "stbl"}, stbl)) continue;
        if (!Find(d, stbl.body, stbl.end, {"stsd"}, stsd) || d.compare(stsd.body + 12, 4, "avc1") != 0) continue;
        // avc1: 8-byte entry head, 78 bytes of visual sample entry, then its boxes.
        if (!Find(d, stsd.body + 16 + 78, stsd.end, {"avcC"}, avcc) || !Find(d, stbl.body, stbl.end, {"stsz"}, stsz) ||
            !Find(d, stbl.body, stbl.end, {"stsc"}, stsc))
            continue;
        const bool co64 = !Find(d, stbl.body, stbl.end, {"stco"}, stco);
        if (co64 && !Find(d, stbl.body, stbl.end, {"co64"}, stco)) continue;

        // Parameter sets, written once in front of the first sample.
        std::string params;
        size_t p = avcc.body + 5;
        const size_t lengthSize = (static_cast<uint8_t>(d[avcc.body + 4]) & 3) + 1;
        for (int set = 0; set < 2 && p < avcc.end; ++set) {
            const int count = static_cast<uint8_t>(d[p]) & (set == 0 ? 0x1f : 0xff);
            ++p;
            for (int i = 0; i < count && p + 2 <= avcc.end; ++i) {
                const size_t len =
                    (static_cast<size_t>(static_cast<uint8_t>(d[p])) << 8) | static_cast<uint8_t>(d[p + 1]);
                if (p + 2 + len > avcc.end) break;
                params += std::string("\0\0\0\1", 4) + d.substr(p + 2, len);
                p += 2 + len;
            }
        }
        const uint32_t samples = U32(d, stsz.body + 8);
        const uint32_t fixedSize = U32(d, stsz.body + 4);
        const uint32_t chunks = U32(d, stco.body + 4);
        const uint32_t entries = U32(d, stsc.body + 4);
        travik_test::H264Decoder decoder;
        uint32_t sample = 0;
        std::vector<uint8_t> i420;
        for (uint32_t c = 0; c < chunks && sample < samples && out.frames.size() < maxFrames; ++c) {
            uint32_t perChunk = 0;
            for (uint32_t e = 0; e < entries; ++e)
                if (U32(d, stsc.body + 8 + 12 * e) <= c + 1) perChunk = U32(d, stsc.body + 8 + 12 * e + 4);
            uint64_t at = co64 ? U64(d, stco.body + 8 + 8 * c) : U32(d, stco.body + 8 + 4 * c);
            for (uint32_t k = 0; k < perChunk && sample < samples && out.frames.size() < maxFrames; ++k, ++sample) {
                const uint32_t size = fixedSize ? fixedSize : U32(d, stsz.body + 12 + 4 * sample);
                if (at + size > d.size()) break;
                std::string unit = sample == 0 ? params : std::string();
                for (size_t q = 0; q + lengthSize <= size;) {
                    size_t len = 0;
                    for (size_t b = 0; b < lengthSize; ++b) len = (len << 8) | static_cast<uint8_t>(d[at + q + b]);
                    if (q + lengthSize + len > size) break;
                    unit += std::string("\0\0\0\1", 4) + d.substr(at + q + lengthSize, len);
                    q += lengthSize + len;
                }
                at += size;
                int w = 0, h = 0;
                if (!decoder.Decode(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), w, h, nullptr, &i420))
                    continue;
                out.width = w;
                out.height = h;
                std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
                const uint8_t* y = i420.data();
                const uint8_t* u = y + static_cast<size_t>(w) * h;
                const uint8_t* v = u + static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2);
                libyuv::I420ToRAW(y, w, u, (w + 1) / 2, v, (w + 1) / 2, rgb.data(), w * 3, w, h);
                out.frames.push_back(std::move(rgb));
            }
        }
        if (!out.frames.empty()) return true;
    }
    error = path + ": no H.264 track that openh264 decodes";
    return false;
}

}  // namespace travik_bench
