#include "stamp.h"

#include <cstring>
#include <initializer_list>

namespace travik_bench {

namespace {

constexpr int kBits = 2 * kStampColumns;
constexpr uint64_t kMask = (uint64_t{1} << kBits) - 1;

// Row and column of bit `i`'s block; the inverted copy sits two rows lower.
void Block(int i, bool inverted, int& x, int& y) {
    x = (i % kStampColumns) * kStampBlock;
    y = (i / kStampColumns + (inverted ? 2 : 0)) * kStampBlock;
}

}  // namespace

void StampRgb(unsigned char* rgb, int width, int height, uint64_t micros) {
    if (width < kStampWidth || height < kStampHeight) return;
    for (int i = 0; i < kBits; ++i) {
        const bool bit = ((micros >> i) & 1) != 0;
        for (const bool inverted : {false, true}) {
            int x0 = 0, y0 = 0;
            Block(i, inverted, x0, y0);
            const unsigned char value = (bit != inverted) ? 235 : 16;
            for (int y = y0; y < y0 + kStampBlock; ++y)
                std::memset(rgb + (static_cast<size_t>(y) * width + x0) * 3, value, kStampBlock * 3);
        }
    }
}

bool ReadStamp(const uint8_t* luma, int width, int height, uint64_t& micros) {
    if (luma == nullptr || width < kStampWidth || height < kStampHeight) return false;
    uint64_t value = 0;
    for (int i = 0; i < kBits; ++i) {
        bool bits[2];
        for (const bool inverted : {false, true}) {
            int x0 = 0, y0 = 0;
            Block(i, inverted, x0, y0);
            // The block's middle half: its edges carry the codec's ringing.
            unsigned sum = 0;
            for (int y = y0 + kStampBlock / 4; y < y0 + 3 * kStampBlock / 4; ++y)
                for (int x = x0 + kStampBlock / 4; x < x0 + 3 * kStampBlock / 4; ++x)
                    sum += luma[static_cast<size_t>(y) * width + x];
            bits[inverted ? 1 : 0] = sum > 128u * (kStampBlock / 2) * (kStampBlock / 2);
        }
        if (bits[0] == bits[1]) return false;
        if (bits[0]) value |= uint64_t{1} << i;
    }
    micros = value;
    return true;
}

int64_t StampAge(uint64_t stamp, uint64_t nowMicros) {
    return static_cast<int64_t>(((nowMicros & kMask) - stamp) & kMask);
}

}  // namespace travik_bench
