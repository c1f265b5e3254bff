// The page's image encoder: what it makes of gray and RGB pixels, and the
// cap on the pixels it encodes, so that a forged size cannot buy a long
// encode and a huge picture for every tab.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_encoder/encoder.h"

namespace {

using travik_tool::ImageEncoder;
using travik_tool::kMaxEncodePixels;

TEST(ImageEncoder, EncodesUpToThePixelCapAndRefusesPastIt) {
    constexpr int kSide = 8192;
    static_assert(static_cast<long long>(kSide) * kSide == kMaxEncodePixels, "the cap is one 8192 square");
    std::vector<unsigned char> pixels(static_cast<size_t>(kSide) * (kSide + 1));
    for (bool lossless : {false, true}) {
        SCOPED_TRACE(lossless ? "png" : "jpeg");
        ImageEncoder encoder(80, lossless);
        std::string out;
        EXPECT_TRUE(encoder.Encode(pixels.data(), 64, 48, 1, out));
        const size_t small = out.size();
        EXPECT_GT(small, 0u);
        // At the cap: encoded; one row or one column more: refused, nothing appended.
        EXPECT_TRUE(encoder.Encode(pixels.data(), kSide, kSide, 1, out));
        const size_t atCap = out.size();
        EXPECT_GT(atCap, small);
        EXPECT_FALSE(encoder.Encode(pixels.data(), kSide, kSide + 1, 1, out));
        EXPECT_FALSE(encoder.Encode(pixels.data(), kSide + 1, kSide, 1, out));
        EXPECT_FALSE(encoder.Encode(pixels.data(), 16384, 16384, 1, out));  // sizes are judged before pixels are read
        EXPECT_FALSE(encoder.Encode(pixels.data(), 4096, 16385 * 2, 3, out));
        EXPECT_EQ(atCap, out.size());
    }
}

}  // namespace
