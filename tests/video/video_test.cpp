// H.264 for remote watchers, checked with an independent decoder
// (openh264's own): what the encoder makes decodes to the staged images
// (PSNR) for gray and RGB, odd sizes and a size change mid-stream; every
// keyframe carries its parameter sets; hostile sizes are refused. The
// hub encodes only while watched, starts each watch with a keyframe and
// gives one on request.
#include <wels/codec_api.h>

#include <libyuv/convert.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/options.h"
#include "common/image_file.h"
#include "common/test_pattern.h"
#include "support/wait.h"
#include "video/h264_encoder.h"
#include "video/video_hub.h"

namespace {

using travik_tool::AccessUnit;
using travik_tool::H264Config;
using travik_tool::H264Encoder;
using travik_tool::kFormatGray;
using travik_tool::kFormatRgb;

constexpr uint64_t kFrameMicros = 33333;  // 30 fps

// NAL unit types in an Annex B unit, in order; empty when a start code is missing.
std::vector<int> NalTypes(const std::string& annexB) {
    std::vector<int> types;
    const auto* p = reinterpret_cast<const uint8_t*>(annexB.data());
    const size_t n = annexB.size();
    bool atStart = true;
    for (size_t i = 0; i + 3 < n;) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            types.push_back(p[i + 3] & 0x1f);
            i += 3;
            atStart = false;
        } else if (atStart && p[i] != 0) {
            return {};
        } else {
            ++i;
        }
    }
    return types;
}

// A decoded picture cut to the staged size: gray (luma back to full range) or RGB.
class Decoder {
public:
    Decoder() {
        WelsCreateDecoder(&m_decoder);
        SDecodingParam param;
        std::memset(&param, 0, sizeof param);
        param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
        m_decoder->Initialize(&param);
    }
    ~Decoder() {
        m_decoder->Uninitialize();
        WelsDestroyDecoder(m_decoder);
    }
    // False when no picture came out.
    bool Decode(const AccessUnit& unit, int attr2, std::vector<uint8_t>& out) {
        unsigned char* planes[3] = {};
        SBufferInfo info;
        std::memset(&info, 0, sizeof info);
        std::string copy = unit.annexB;  // the decoder takes a non-const buffer
        if (m_decoder->DecodeFrameNoDelay(reinterpret_cast<unsigned char*>(copy.data()), static_cast<int>(copy.size()),
                                          planes, &info) != dsErrorFree ||
            info.iBufferStatus != 1)
            return false;
        const int w = unit.width, h = unit.height;
        const SSysMEMBuffer& b = info.UsrData.sSystemBuffer;
        if (b.iWidth < w || b.iHeight < h) return false;
        if (attr2 == kFormatGray) {
            out.resize(static_cast<size_t>(w) * h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const int luma = planes[0][static_cast<size_t>(y) * b.iStride[0] + x];
                    out[static_cast<size_t>(y) * w + x] =
                        static_cast<uint8_t>(std::clamp((luma - 16) * 255 / 219, 0, 255));
                }
        } else {
            // Luma: what the eye and the codec weigh; chroma is subsampled by design.
            out.resize(static_cast<size_t>(w) * h);
            for (int y = 0; y < h; ++y)
                std::memcpy(out.data() + static_cast<size_t>(y) * w, planes[0] + static_cast<size_t>(y) * b.iStride[0],
                            static_cast<size_t>(w));
        }
        return true;
    }

private:
    ISVCDecoder* m_decoder = nullptr;
};

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<uint8_t> Pattern(int width, int height, int attr2, uint64_t frame) {
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * (attr2 == kFormatGray ? 1 : 3));
    travik_tool::DrawTestPattern(image.data(), width, height, attr2, 0, frame, 2);
    return image;
}

// What Decoder::Decode gives for a perfect codec: gray as is, RGB as its
// video-range luma.
std::vector<uint8_t> Reference(const std::vector<uint8_t>& image, int attr2, int w, int h) {
    if (attr2 == kFormatGray) return image;
    std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2)),
        v(u.size());
    libyuv::RAWToI420(image.data(), w * 3, y.data(), w, u.data(), (w + 1) / 2, v.data(), (w + 1) / 2, w, h);
    return y;
}

struct StreamRun {
    int frames = 0, decoded = 0, keyframes = 0;
    double minPsnr = 99;
    bool firstIsKey = false, keysHaveParameterSets = true, deltasAreSlices = true;
};

// Encodes `frames` moving pattern frames of each size in turn through one
// encoder and decodes them with one decoder.
StreamRun EncodeAndDecode(H264Encoder& encoder, int attr2, const std::vector<std::pair<int, int>>& sizes, int frames) {
    Decoder decoder;
    StreamRun run;
    uint64_t frame = 0;
    for (const auto& [w, h] : sizes) {
        for (int i = 0; i < frames; ++i, ++frame) {
            const std::vector<uint8_t> image = Pattern(w, h, attr2, frame);
            AccessUnit unit;
            std::string error;
            const auto result =
                encoder.Encode(image.data(), image.size(), attr2, w, h, frame * kFrameMicros, frame + 1, unit, error);
            EXPECT_NE(result, H264Encoder::Result::kRefused) << error;
            if (result != H264Encoder::Result::kEncoded) continue;
            if (run.frames++ == 0) run.firstIsKey = unit.keyframe;
            EXPECT_EQ(unit.width, w);
            EXPECT_EQ(unit.height, h);
            EXPECT_EQ(unit.sequence, frame + 1);
            const std::vector<int> types = NalTypes(unit.annexB);
            if (unit.keyframe) {
                ++run.keyframes;
                const bool ok = types.size() >= 3 && types[0] == 7 && types[1] == 8 &&
                                std::find(types.begin(), types.end(), 5) != types.end();
                run.keysHaveParameterSets = run.keysHaveParameterSets && ok;
            } else {
                run.deltasAreSlices = run.deltasAreSlices && !types.empty() &&
                                      std::all_of(types.begin(), types.end(), [](int t) { return t == 1; });
            }
            std::vector<uint8_t> decoded;
            if (!decoder.Decode(unit, attr2, decoded)) continue;
            ++run.decoded;
            run.minPsnr = std::min(run.minPsnr, Psnr(decoded, Reference(image, attr2, w, h)));
        }
    }
    return run;
}

TEST(H264Encoder, RgbAndGrayDecodeCloseToTheStagedImages) {
    for (int attr2 : {kFormatRgb, kFormatGray}) {
        SCOPED_TRACE(attr2 == kFormatRgb ? "rgb" : "gray");
        H264Encoder encoder;
        const StreamRun run = EncodeAndDecode(encoder, attr2, {{640, 480}}, 45);
        EXPECT_TRUE(run.firstIsKey);
        EXPECT_GE(run.frames, 40);  // a few may be skipped by rate control
        EXPECT_EQ(run.decoded, run.frames);
        EXPECT_GT(run.minPsnr, 35.0);
        EXPECT_TRUE(run.keysHaveParameterSets);
        EXPECT_TRUE(run.deltasAreSlices);
        // 1.5 s at 30 fps: one IDR (the first); more would waste the budget.
        EXPECT_EQ(run.keyframes, 1);
    }
}

TEST(H264Encoder, OddSizesAndASizeChangeMidStreamStartWithAKeyframe) {
    H264Encoder encoder;
    // Odd, tiny (padded past the minimum), then a change back: each
    // change restarts the stream with an IDR that carries its parameter sets.
    const StreamRun run = EncodeAndDecode(encoder, kFormatRgb, {{321, 241}, {7, 5}, {320, 240}}, 12);
    EXPECT_TRUE(run.firstIsKey);
    EXPECT_EQ(run.decoded, run.frames);
    EXPECT_GE(run.keyframes, 3);
    EXPECT_TRUE(run.keysHaveParameterSets);
    EXPECT_GT(run.minPsnr, 35.0);
}

TEST(H264Encoder, KeyframesOnRequestAndEveryTwoSeconds) {
    H264Encoder encoder;
    const int w = 160, h = 120;
    std::vector<bool> keys;
    for (uint64_t f = 0; f < 150; ++f) {  // 5 s at 30 fps
        if (f == 10) encoder.RequestKeyframe();
        const std::vector<uint8_t> image = Pattern(w, h, kFormatGray, f);
        AccessUnit unit;
        std::string error;
        const auto result =
            encoder.Encode(image.data(), image.size(), kFormatGray, w, h, f * kFrameMicros, f + 1, unit, error);
        ASSERT_NE(result, H264Encoder::Result::kRefused);
        keys.push_back(unit.keyframe);  // false when skipped
    }
    EXPECT_TRUE(keys[0]);
    // The requested one: the next frame rate control lets through.
    const auto requested = std::find(keys.begin() + 10, keys.end(), true);
    EXPECT_LE(requested - keys.begin(), 13);
    // Never more than 2 s (60 frames) apart.
    int last = 0;
    for (int f = 1; f < static_cast<int>(keys.size()); ++f) {
        if (!keys[f]) continue;
        EXPECT_LE(f - last, 61);
        last = f;
    }
    EXPECT_GE(static_cast<int>(keys.size()) - last, 0);
    EXPECT_GE(std::count(keys.begin(), keys.end(), true), 3);
}

TEST(H264Encoder, RefusesWhatItCannotTake) {
    H264Encoder encoder;
    std::vector<uint8_t> bytes(64 * 64 * 3);
    AccessUnit unit;
    std::string error;
    // A length that does not match the claimed size, either way.
    EXPECT_EQ(encoder.Encode(bytes.data(), bytes.size(), kFormatRgb, 64, 65, 0, 1, unit, error),
              H264Encoder::Result::kRefused);
    EXPECT_EQ(encoder.Encode(bytes.data(), bytes.size() - 1, kFormatRgb, 64, 64, 0, 1, unit, error),
              H264Encoder::Result::kRefused);
    // Not pixels; a side past the limit; no data.
    EXPECT_EQ(encoder.Encode(bytes.data(), bytes.size(), 2, 64, 64, 0, 1, unit, error), H264Encoder::Result::kRefused);
    std::vector<uint8_t> wide(8192 * 2);
    EXPECT_EQ(encoder.Encode(wide.data(), wide.size(), kFormatGray, 8192, 2, 0, 1, unit, error),
              H264Encoder::Result::kRefused);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(encoder.Encode(nullptr, 0, kFormatGray, 0, 0, 0, 1, unit, error), H264Encoder::Result::kRefused);
    // Still usable after the refusals.
    EXPECT_EQ(encoder.Encode(bytes.data(), bytes.size(), kFormatRgb, 64, 64, 0, 1, unit, error),
              H264Encoder::Result::kEncoded);
    EXPECT_TRUE(unit.keyframe);
}

// Watchers the test steers: watched or not, a keyframe wanted or not,
// and every unit kept.
class FakeWatchers : public travik_tool::VideoWatchers {
public:
    std::atomic<bool> watched{false}, keyframe{false};
    bool VideoWatched(int channel) override { return channel == 0 && watched; }
    bool TakeKeyframeWanted(int channel) override { return channel == 0 && keyframe.exchange(false); }
    void OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (channel == 0) units.push_back(std::move(unit));
    }
    std::vector<std::shared_ptr<const AccessUnit>> Units() {
        std::lock_guard<std::mutex> lock(mutex);
        return units;
    }

private:
    std::mutex mutex;
    std::vector<std::shared_ptr<const AccessUnit>> units;
};

TEST(VideoEncoderHub, EncodesOnlyWhileWatchedAndStartsEachWatchWithAKeyframe) {
    FakeWatchers watchers;
    travik_tool::VideoEncoderHub hub(H264Config(), watchers);
    const int w = 160, h = 120;
    uint64_t frame = 0;
    auto offer = [&] {
        const std::vector<uint8_t> image = Pattern(w, h, kFormatGray, frame++);
        std::shared_ptr<unsigned char> data(new unsigned char[image.size()], std::default_delete<unsigned char[]>());
        std::memcpy(data.get(), image.data(), image.size());
        hub.Offer(0, kFormatGray, w, h, data, static_cast<int>(image.size()));
    };
    // One image at a time, each taken by the encoder before the next: none
    // is replaced. Rate control may skip one (images come faster than the
    // frame rate here): then the next goes.
    uint64_t skipped = 0;
    auto encodeOne = [&] {
        const size_t before = watchers.Units().size();
        for (int attempt = 0; attempt < 20; ++attempt) {
            const uint64_t skippedBefore = skipped;
            offer();
            if (!travik_test::WaitUntil([&] {
                    skipped += hub.TakeWindow().skipped;
                    return watchers.Units().size() > before || skipped > skippedBefore;
                }))
                return false;
            if (watchers.Units().size() > before) return true;
        }
        return false;
    };
    for (int i = 0; i < 5; ++i) offer();
    EXPECT_EQ(hub.Encodes(0), 0u);  // nobody watches: no encoder
    EXPECT_FALSE(hub.EncoderOpen(0));

    watchers.watched = true;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(encodeOne());
    watchers.keyframe = true;  // a watcher joined or fell behind
    ASSERT_TRUE(encodeOne());
    std::vector<std::shared_ptr<const AccessUnit>> units = watchers.Units();
    ASSERT_EQ(units.size(), 5u);
    EXPECT_TRUE(units[0]->keyframe);
    EXPECT_FALSE(units[1]->keyframe);
    EXPECT_TRUE(units[4]->keyframe);
    EXPECT_EQ(hub.Encodes(0), 5u);  // counts units made, not skips
    EXPECT_TRUE(hub.EncoderOpen(0));

    watchers.watched = false;
    offer();  // the encoder is let go at the next image
    ASSERT_TRUE(travik_test::WaitUntil([&] { return !hub.EncoderOpen(0); }));
    for (int i = 0; i < 5; ++i) offer();
    EXPECT_EQ(hub.Encodes(0), 5u);
    EXPECT_EQ(watchers.Units().size(), 5u);

    watchers.watched = true;  // a new watch: a fresh stream
    ASSERT_TRUE(encodeOne());
    units = watchers.Units();
    ASSERT_EQ(units.size(), 6u);
    EXPECT_TRUE(units[5]->keyframe);
    EXPECT_EQ(hub.Encodes(0), 6u);
    hub.Stop();
}

TEST(ParseBitrate, TakesSuffixesAndRefusesJunkZeroAndOutOfRange) {
    int bits = 0;
    std::string error;
    for (const auto& [text, want] : std::vector<std::pair<std::string, int>>{
             {"600k", 600000}, {"2M", 2000000}, {"1500000", 1500000}, {"1.5M", 1500000}, {"100M", 100000000}}) {
        EXPECT_TRUE(travik_tool::ParseBitrate(text, bits, error)) << text << ": " << error;
        EXPECT_EQ(bits, want) << text;
    }
    for (const std::string text : {"", "0", "0k", "-1M", "2G", "1e6", "k", "1M1", " 2M", "2M ", "1..5M", "49999",
                                   "101M", "99999999999999999999"}) {
        error.clear();
        EXPECT_FALSE(travik_tool::ParseBitrate(text, bits, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
