// Turns a raw image from the device into bytes a browser can draw: JPEG
// (libjpeg-turbo) or, when lossless, PNG (libspng). Gray stays gray: an
// 8-bit gray image becomes a one-component JPEG or a gray PNG.
// Thread: any; an ImageEncoder is used by one thread at a time (it keeps
// the compressor handle and scratch memory between frames).
#pragma once

#include <cstddef>
#include <string>

namespace travik_tool {

// How an image travels to the page (web/protocol.h); H264 is made by video/, not here.
enum class WebEncoding : unsigned char { None = 0, Jpeg = 1, Png = 2, H264 = 3 };

// Most pixels the page encodes in one image: an 8K frame (7680x4320) fits
// twice over, while one encode stays a fraction of a second. Past it the
// image is refused (the page gets its size only), whatever its source
// claims: a forged image must not cost the encoder more than a real one.
constexpr long long kMaxEncodePixels = 8192LL * 8192LL;

class ImageEncoder {
public:
    // quality 1..100 for JPEG; lossless picks PNG instead.
    ImageEncoder(int quality, bool lossless);
    ~ImageEncoder();
    ImageEncoder(const ImageEncoder&) = delete;
    ImageEncoder& operator=(const ImageEncoder&) = delete;

    // Appends the encoded image to `out`. `channels` is 1 (gray) or 3 (RGB);
    // `pixels` holds width * height * channels bytes. False (out unchanged
    // in size) when the encoder fails or the image has more than
    // kMaxEncodePixels pixels.
    bool Encode(const unsigned char* pixels, int width, int height, int channels, std::string& out);
    WebEncoding Encoding() const { return m_lossless ? WebEncoding::Png : WebEncoding::Jpeg; }

private:
    bool EncodeJpeg(const unsigned char* pixels, int width, int height, int channels, std::string& out);
    bool EncodePng(const unsigned char* pixels, int width, int height, int channels, std::string& out);

    int m_quality;
    bool m_lossless;
    void* m_jpeg = nullptr;  // tjhandle, created on first use
};

}  // namespace travik_tool
