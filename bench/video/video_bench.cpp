// What H.264 saves on weak links: bytes per second of the tool's H.264
// encoder against JPEG at the live page's quality and deflate as on the
// device link, the H.264 stream's PSNR (decoded by openh264's decoder,
// luma against the staged image's luma), and the encoder's CPU time per
// frame; at 640x480 and 1280x720, 30 images/s, on real camera footage
// (Debian's opencv-doc) and on the device's noisy test pattern. Prints one
// markdown section.
//   travik-video-bench [--footage FILE.mp4[.gz]] [--frames N] [--bitrate BITS_PER_SECOND]
#include <libyuv/convert.h>
#include <libyuv/scale_rgb.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/test_pattern.h"
#include "image_encoder/encoder.h"
#include "mp4_frames.h"
#include "support/h264_decode.h"
#include "video/h264_encoder.h"

namespace {

constexpr double kFps = 30;
constexpr int kJpegQuality = 85;  // the page's default (travik web --quality)
constexpr int kDeflateLevel = 6;  // the device link's default
constexpr int kNoise = 8;         // `travik device --noise` as the other benchmarks run it

double ThreadCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The staged image's luma as the encoder takes it (libyuv, BT.601 limited range).
void Luma(const std::vector<uint8_t>& rgb, int width, int height, std::vector<uint8_t>& y) {
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    y.resize(static_cast<size_t>(width) * height);
    std::vector<uint8_t> u(static_cast<size_t>(cw) * ch), v(u.size());
    libyuv::RAWToI420(rgb.data(), width * 3, y.data(), width, u.data(), cw, v.data(), cw, width, height);
}

struct Figures {
    double h264Bytes = 0, jpegBytes = 0, deflateBytes = 0;  // per frame
    double psnrSum = 0, psnrMin = 1e9;
    int decoded = 0, encoded = 0, frames = 0;
    double encodeMs = 0;  // CPU, per frame offered
};

int g_bitrate = 0;  // --bitrate; 0: the encoder's default for each size

template <typename MakeFrame>
Figures Run(int width, int height, int frames, MakeFrame make) {
    Figures f;
    travik_tool::H264Config config;
    config.frameRate = static_cast<float>(kFps);
    config.bitrate = g_bitrate;
    travik_tool::H264Encoder encoder(config);
    travik_test::H264Decoder decoder;
    travik_tool::ImageEncoder jpeg(kJpegQuality, false);
    std::vector<uint8_t> rgb, reference, decodedLuma;
    std::string jpegOut;
    std::vector<uint8_t> packed(compressBound(static_cast<uLong>(width) * height * 3));
    for (int i = 0; i < frames; ++i) {
        make(i, rgb);
        travik_tool::AccessUnit unit;
        std::string error;
        const double before = ThreadCpuMs();
        const auto result =
            encoder.Encode(rgb.data(), rgb.size(), 3, width, height, static_cast<uint64_t>(i * 1e6 / kFps),
                           static_cast<uint64_t>(i + 1), unit, error);
        f.encodeMs += ThreadCpuMs() - before;
        ++f.frames;
        if (result == travik_tool::H264Encoder::Result::kEncoded) {
            ++f.encoded;
            f.h264Bytes += static_cast<double>(unit.annexB.size());
            int w = 0, h = 0;
            if (decoder.Decode(reinterpret_cast<const uint8_t*>(unit.annexB.data()), unit.annexB.size(), w, h,
                               &decodedLuma) &&
                w >= width && h >= height) {
                Luma(rgb, width, height, reference);
                double se = 0;
                for (int row = 0; row < height; ++row)
                    for (int col = 0; col < width; ++col) {
                        const double d = static_cast<double>(decodedLuma[static_cast<size_t>(row) * w + col]) -
                                         reference[static_cast<size_t>(row) * width + col];
                        se += d * d;
                    }
                const double mse = std::max(se / (static_cast<double>(width) * height), 1e-3);
                const double psnr = 10 * std::log10(255.0 * 255.0 / mse);
                f.psnrSum += psnr;
                f.psnrMin = std::min(f.psnrMin, psnr);
                ++f.decoded;
            }
        }
        jpegOut.clear();  // the encoder appends
        if (jpeg.Encode(rgb.data(), width, height, 3, jpegOut)) f.jpegBytes += static_cast<double>(jpegOut.size());
        uLongf len = static_cast<uLongf>(packed.size());
        if (compress2(packed.data(), &len, rgb.data(), static_cast<uLong>(rgb.size()), kDeflateLevel) == Z_OK)
            f.deflateBytes += static_cast<double>(std::min<uLongf>(len, static_cast<uLongf>(rgb.size())));
    }
    f.h264Bytes /= frames;  // skipped frames cost nothing: bytes per offered frame
    f.jpegBytes /= frames;
    f.deflateBytes /= frames;
    f.encodeMs /= frames;
    return f;
}

void Row(const char* source, int width, int height, const Figures& f) {
    const double mbps = kFps * 8 / 1e6;
    std::printf("| %s | %dx%d | %.2f | %.2f | %.2f | %.3f | %.1f (min %.1f) | %.1f | %d/%d |\n", source, width, height,
                f.h264Bytes * mbps, f.jpegBytes * mbps, f.deflateBytes * mbps, f.h264Bytes / f.jpegBytes,
                f.decoded ? f.psnrSum / f.decoded : 0.0, f.decoded ? f.psnrMin : 0.0, f.encodeMs, f.encoded, f.frames);
}

// A footage picture at `width` x `height`: scaled (libyuv, bilinear) to
// cover the size with its aspect kept, then the middle cut out.
void FitFrame(const std::vector<uint8_t>& src, int sw, int sh, int width, int height, std::vector<uint8_t>& scaled,
              std::vector<uint8_t>& out) {
    const double scale = std::max(static_cast<double>(width) / sw, static_cast<double>(height) / sh);
    const int bw = std::max(width, static_cast<int>(std::lround(sw * scale)));
    const int bh = std::max(height, static_cast<int>(std::lround(sh * scale)));
    scaled.resize(static_cast<size_t>(bw) * bh * 3);
    libyuv::RGBScale(src.data(), sw * 3, sw, sh, scaled.data(), bw * 3, bw, bh, libyuv::kFilterBilinear);
    const int x = (bw - width) / 2, y = (bh - height) / 2;
    out.resize(static_cast<size_t>(width) * height * 3);
    for (int row = 0; row < height; ++row)
        std::memcpy(out.data() + static_cast<size_t>(row) * width * 3,
                    scaled.data() + (static_cast<size_t>(y + row) * bw + x) * 3, static_cast<size_t>(width) * 3);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> clips = {"/usr/share/doc/opencv-doc/opencv4/html/box.mp4.gz",
                                      "/usr/share/doc/opencv-doc/opencv4/html/cup.mp4.gz"};
    int frames = 150;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--footage") == 0) clips = {argv[i + 1]};
        if (std::strcmp(argv[i], "--frames") == 0) frames = std::max(10, std::min(3000, std::atoi(argv[i + 1])));
        if (std::strcmp(argv[i], "--bitrate") == 0)
            g_bitrate = std::max(travik_tool::kMinBitrate, std::min(travik_tool::kMaxBitrate, std::atoi(argv[i + 1])));
    }
    std::vector<std::pair<std::string, travik_bench::RgbFrames>> footage;
    for (const auto& clip : clips) {
        travik_bench::RgbFrames f;
        std::string error;
        std::fprintf(stderr, "[video bench] decoding %s\n", clip.c_str());
        if (!travik_bench::ReadMp4Frames(clip, static_cast<size_t>(frames), f, error)) {
            std::fprintf(stderr, "travik-video-bench: %s (Debian's opencv-doc)\n", error.c_str());
            return 1;
        }
        const size_t slash = clip.rfind('/');
        footage.emplace_back(clip.substr(slash + 1, clip.find('.', slash) - slash - 1), std::move(f));
    }
    std::printf("### H.264 for weak links: bytes, quality and encode cost\n\n");
    std::printf(
        "| Source | Size | H.264 Mb/s | JPEG q%d Mb/s | deflate %d Mb/s | H.264/JPEG | H.264 PSNR dB | "
        "encode ms/frame (CPU) | encoded/offered |\n",
        kJpegQuality, kDeflateLevel);
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    const int sizes[2][2] = {{640, 480}, {1280, 720}};
    std::vector<uint8_t> scaled;
    for (const auto& s : sizes) {
        const int w = s[0], h = s[1];
        for (const auto& clip : footage) {
            std::fprintf(stderr, "[video bench] %dx%d %s\n", w, h, clip.first.c_str());
            const auto& f = clip.second;
            const std::string name = "camera: " + clip.first + " (" + std::to_string(f.frames.size()) + " frames)";
            Row(name.c_str(), w, h, Run(w, h, frames, [&](int i, std::vector<uint8_t>& out) {
                    // Played forward then backward when the clip is shorter: no cut.
                    const size_t n = f.frames.size();
                    const size_t k = static_cast<size_t>(i) % (2 * n);
                    FitFrame(f.frames[k < n ? k : 2 * n - 1 - k], f.width, f.height, w, h, scaled, out);
                }));
        }
        std::fprintf(stderr, "[video bench] %dx%d test pattern\n", w, h);
        Row("test pattern, noise 8", w, h, Run(w, h, frames, [&](int i, std::vector<uint8_t>& out) {
                out.resize(static_cast<size_t>(w) * h * 3);
                travik_tool::DrawTestPattern(out.data(), w, h, 3, 0, static_cast<uint64_t>(i), kNoise);
            }));
    }
    std::printf(
        "\nRGB images, %d per row offered at 30 images/s, one encoder per row at %s, frame skipping on. Mb/s = 10^6 "
        "bits/s: encoded "
        "bytes per offered frame x 30 x 8. PSNR: openh264's decoder, luma of each decoded picture against "
        "the staged image's luma (libyuv BT.601), mean (and the worst frame). Encode: CPU time of the "
        "encoder's thread per offered frame (conversion to I420 included). Camera: the H.264 MP4s of "
        "Debian's opencv-doc (640x480, High profile), decoded once with openh264 into RGB (decode order), "
        "scaled to cover each size and cut to it (720p: upscaled, so softer than a 720p camera).\n",
        frames,
        g_bitrate ? ("--bitrate " + std::to_string(g_bitrate) + " bits/s").c_str()
                  : "its default bitrate (about 2 Mb/s at 720p30, in proportion to pixels)");
    return 0;
}
