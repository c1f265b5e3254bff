#include "image_encoder/encoder.h"

#include <spng.h>
#include <turbojpeg.h>

#include <cstdlib>

namespace travik_tool {

ImageEncoder::ImageEncoder(int quality, bool lossless)
    : m_quality(quality < 1     ? 1
                : quality > 100 ? 100
                                : quality),
      m_lossless(lossless) {}

ImageEncoder::~ImageEncoder() {
    if (m_jpeg) tjDestroy(static_cast<tjhandle>(m_jpeg));
}

bool ImageEncoder::Encode(const unsigned char* pixels, int width, int height, int channels, std::string& out) {
    if (!pixels || width <= 0 || height <= 0 || (channels != 1 && channels != 3)) return false;
    if (static_cast<long long>(width) * height > kMaxEncodePixels) return false;
    return m_lossless ? EncodePng(pixels, width, height, channels, out)
                      : EncodeJpeg(pixels, width, height, channels, out);
}

bool ImageEncoder::EncodeJpeg(const unsigned char* pixels, int width, int height, int channels, std::string& out) {
    if (!m_jpeg) m_jpeg = tjInitCompress();
    if (!m_jpeg) return false;
    const bool gray = channels == 1;
    // The library allocates the output; tjBufSize bounds it for any input.
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    int rc =
        tjCompress2(static_cast<tjhandle>(m_jpeg), pixels, width, width * channels, height, gray ? TJPF_GRAY : TJPF_RGB,
                    &jpeg, &size, gray ? TJSAMP_GRAY : TJSAMP_420, m_quality, TJFLAG_FASTDCT);
    if (rc == 0 && jpeg) out.append(reinterpret_cast<const char*>(jpeg), size);
    tjFree(jpeg);
    return rc == 0;
}

bool ImageEncoder::EncodePng(const unsigned char* pixels, int width, int height, int channels, std::string& out) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    if (!ctx) return false;
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    // Speed over size: the page is on loopback or a local network. Trying
    // every row filter costs more than it saves here.
    spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 1);
    spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_SUB);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<uint32_t>(width);
    ihdr.height = static_cast<uint32_t>(height);
    ihdr.bit_depth = 8;
    ihdr.color_type = channels == 1 ? SPNG_COLOR_TYPE_GRAYSCALE : SPNG_COLOR_TYPE_TRUECOLOR;
    bool ok = spng_set_ihdr(ctx, &ihdr) == 0;
    const size_t len = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels);
    ok = ok && spng_encode_image(ctx, pixels, len, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0;
    if (ok) {
        size_t size = 0;
        int error = 0;
        void* png = spng_get_png_buffer(ctx, &size, &error);
        ok = png && error == 0;
        if (ok) out.append(static_cast<const char*>(png), size);
        std::free(png);
    }
    spng_ctx_free(ctx);
    return ok;
}

}  // namespace travik_tool
