#include "common/synthetic_frames.h"

#include <cmath>
#include <cstring>

namespace travik_bench {

std::string FrameShape::Name() const {
    return std::to_string(width) + "x" + std::to_string(height) + (channels == 3 ? " RGB" : " gray");
}

std::vector<FrameShape> StandardShapes() { return {{640, 480, 1}, {1280, 720, 1}, {1920, 1080, 3}}; }

namespace {

// xorshift64*: fast, deterministic, good enough for sensor noise.
class Noise {
public:
    explicit Noise(uint32_t seed)
        : m_state(0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(seed) * 0x2545F4914F6CDD1Dull)) {
        if (m_state == 0) m_state = 1;
    }
    uint32_t Next() {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return static_cast<uint32_t>((m_state * 0x2545F4914F6CDD1Dull) >> 32);
    }
    // Triangular noise in [-amp, amp]: the sum of two uniform draws.
    int Triangular(int amp) {
        const uint32_t span = static_cast<uint32_t>(amp + 1);
        return static_cast<int>(Next() % span) + static_cast<int>(Next() % span) - amp;
    }

private:
    uint64_t m_state;
};

unsigned char Clamp(int v) { return static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Noise amplitude tuned so that zlib level 6 gives about 1.6x on gray frames.
constexpr int kLumaNoise = 3;

}  // namespace

std::vector<unsigned char> MakeCameraFrame(const FrameShape& shape, uint32_t seed) {
    const int w = shape.width;
    const int h = shape.height;
    std::vector<unsigned char> out(shape.Bytes());
    Noise noise(seed);
    const double phase = 0.37 * seed;
    std::vector<double> waveX(static_cast<size_t>(w));
    std::vector<double> waveY(static_cast<size_t>(h));
    for (int x = 0; x < w; ++x) waveX[static_cast<size_t>(x)] = 25.0 * std::sin(x * 0.021 + phase);
    for (int y = 0; y < h; ++y) waveY[static_cast<size_t>(y)] = std::cos(y * 0.017 + phase);
    unsigned char* p = out.data();
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double smooth =
                40.0 + 120.0 * x / w + 60.0 * y / h + waveX[static_cast<size_t>(x)] * waveY[static_cast<size_t>(y)];
            const int luma = static_cast<int>(smooth) + noise.Triangular(kLumaNoise);
            if (shape.channels == 1) {
                *p++ = Clamp(luma);
            } else {
                // Colour channels follow the luma closely, as a demosaiced
                // sensor's do; each carries a little noise of its own.
                *p++ = Clamp(luma + 6);
                *p++ = Clamp(luma * 7 / 8 + 12 + static_cast<int>(noise.Next() % 4));
                *p++ = Clamp(luma * 3 / 4 + 20 + static_cast<int>(noise.Next() % 4));
            }
        }
    }
    return out;
}

std::shared_ptr<unsigned char> MakeSharedCameraFrame(const FrameShape& shape, uint32_t seed) {
    std::vector<unsigned char> bytes = MakeCameraFrame(shape, seed);
    std::shared_ptr<unsigned char> out(new unsigned char[bytes.size()], std::default_delete<unsigned char[]>());
    std::memcpy(out.get(), bytes.data(), bytes.size());
    return out;
}

ChannelKey ChannelKeyOf(int channel) {
    switch (channel) {
        case 1:
            return {1, 3};
        case 2:
            return {2, 1};
        case 3:
            return {2, 3};
        default:
            return {1, 0};
    }
}

namespace {
void PutLE32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutLE64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
}  // namespace

std::vector<unsigned char> BuildRecordSequence(const std::vector<const std::vector<unsigned char>*>& frames,
                                               const FrameShape& shape, uint64_t tag) {
    std::vector<unsigned char> out;
    out.reserve(frames.size() * RecordBytes(shape));
    for (size_t ch = 0; ch < frames.size(); ++ch) {
        const ChannelKey key = ChannelKeyOf(static_cast<int>(ch));
        unsigned char header[32];
        PutLE32(header, static_cast<uint32_t>(key.attr1));
        PutLE64(header + 4, tag);
        PutLE32(header + 12, 1);  // attr2: a fresh slot
        PutLE32(header + 16, static_cast<uint32_t>(shape.width));
        PutLE32(header + 20, static_cast<uint32_t>(shape.height));
        PutLE32(header + 24, static_cast<uint32_t>(key.attr5));
        PutLE32(header + 28, static_cast<uint32_t>(frames[ch]->size()));
        out.insert(out.end(), header, header + 32);
        out.insert(out.end(), frames[ch]->begin(), frames[ch]->end());
    }
    return out;
}

std::vector<SendImageSt> CameraSlots(const FrameShape& shape, int channels, uint32_t seed) {
    std::vector<SendImageSt> slots(4);
    for (int ch = 0; ch < channels; ++ch) {
        const ChannelKey key = ChannelKeyOf(ch);
        SendImageSt& s = slots[static_cast<size_t>(ch)];
        s.attr1 = key.attr1;
        s.attr2 = 1;
        s.attr3 = shape.width;
        s.attr4 = shape.height;
        s.attr5 = key.attr5;
        s.data = MakeSharedCameraFrame(shape, seed * 4 + static_cast<uint32_t>(ch));
        s.imageLen = static_cast<int>(shape.Bytes());
        s.tag = seed;
    }
    return slots;
}

}  // namespace travik_bench
