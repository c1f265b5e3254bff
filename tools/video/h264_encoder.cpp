#include "video/h264_encoder.h"

#include <wels/codec_api.h>

#include <libyuv/convert.h>

#include <algorithm>
#include <cstring>

#include "common/image_file.h"

namespace travik_tool {

namespace {

// openh264 wants at least a macroblock's worth; smaller images are padded.
constexpr int kMinSide = 16;

// 2 Mb/s at 1280x720x30: about 0.072 bits per pixel per frame.
constexpr double kBitsPerPixel = 2000000.0 / (1280.0 * 720.0 * 30.0);

int PadSide(int side) { return std::max(kMinSide, (side + 1) & ~1); }

// Full-range gray to video-range luma: decoders (browsers included) read
// luma as 16..235.
const uint8_t* GrayToLuma() {
    static const auto table = [] {
        struct T {
            uint8_t v[256];
        } t{};
        for (int i = 0; i < 256; ++i) t.v[i] = static_cast<uint8_t>(16 + (i * 219 + 127) / 255);
        return t;
    }();
    return table.v;
}

// Replicates column `width`-1 and row `height`-1 of a plane into its padding.
void PadPlane(uint8_t* plane, int stride, int width, int height, int padWidth, int padHeight) {
    for (int y = 0; y < height; ++y) {
        uint8_t* row = plane + static_cast<size_t>(y) * stride;
        std::fill(row + width, row + padWidth, row[width - 1]);
    }
    for (int y = height; y < padHeight; ++y)
        std::memcpy(plane + static_cast<size_t>(y) * stride, plane + static_cast<size_t>(height - 1) * stride,
                    static_cast<size_t>(padWidth));
}

}  // namespace

int DefaultBitrate(int width, int height, float frameRate) {
    const double bits = kBitsPerPixel * width * height * (frameRate > 0 ? frameRate : 30);
    return static_cast<int>(std::clamp(bits, static_cast<double>(kMinBitrate), static_cast<double>(kMaxBitrate)));
}

struct H264Encoder::Codec {
    ISVCEncoder* encoder = nullptr;
    ~Codec() {
        if (!encoder) return;
        encoder->Uninitialize();
        WelsDestroySVCEncoder(encoder);
    }
};

H264Encoder::H264Encoder(H264Config config) : m_config(config) {}

H264Encoder::~H264Encoder() = default;

bool H264Encoder::Open(int attr2, int width, int height, std::string& error) {
    m_codec.reset();
    m_attr2 = m_width = m_height = 0;
    auto codec = std::make_unique<Codec>();
    if (WelsCreateSVCEncoder(&codec->encoder) != 0 || !codec->encoder) {
        codec->encoder = nullptr;
        error = "the H.264 encoder could not be created";
        return false;
    }
    const int padWidth = PadSide(width), padHeight = PadSide(height);
    const int bitrate = m_config.bitrate > 0 ? m_config.bitrate : DefaultBitrate(width, height, m_config.frameRate);
    SEncParamExt p;
    codec->encoder->GetDefaultParams(&p);
    p.iUsageType = CAMERA_VIDEO_REAL_TIME;
    p.iPicWidth = padWidth;
    p.iPicHeight = padHeight;
    p.iTargetBitrate = bitrate;
    p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
    p.iRCMode = RC_BITRATE_MODE;
    p.fMaxFrameRate = m_config.frameRate > 0 ? m_config.frameRate : 30;
    p.bEnableFrameSkip = true;
    p.iTemporalLayerNum = 1;
    p.iSpatialLayerNum = 1;
    p.uiIntraPeriod = 0;  // IDRs are forced here, by time and on request
    p.iNumRefFrame = 1;
    p.eSpsPpsIdStrategy = CONSTANT_ID;
    p.bPrefixNalAddingCtrl = false;
    p.bEnableSSEI = false;
    p.iEntropyCodingModeFlag = 0;        // CAVLC: baseline
    p.iMultipleThreadIdc = 1;            // one thread per stream: channels run side by side
    p.bEnableSceneChangeDetect = false;  // would insert IDRs of its own; fine, but not needed
    SSpatialLayerConfig& layer = p.sSpatialLayers[0];
    layer.iVideoWidth = padWidth;
    layer.iVideoHeight = padHeight;
    layer.fFrameRate = p.fMaxFrameRate;
    layer.iSpatialBitrate = bitrate;
    layer.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
    layer.uiProfileIdc = PRO_BASELINE;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    if (codec->encoder->InitializeExt(&p) != 0) {
        error = "the H.264 encoder refused " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    int format = videoFormatI420;
    codec->encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
    m_codec = std::move(codec);
    m_attr2 = attr2;
    m_width = width;
    m_height = height;
    m_padWidth = padWidth;
    m_padHeight = padHeight;
    m_i420.assign(static_cast<size_t>(padWidth) * padHeight * 3 / 2, 128);
    m_keyframeWanted = true;
    return true;
}

void H264Encoder::Stage(const uint8_t* data, int attr2, int width, int height) {
    uint8_t* y = m_i420.data();
    uint8_t* u = y + static_cast<size_t>(m_padWidth) * m_padHeight;
    uint8_t* v = u + static_cast<size_t>(m_padWidth / 2) * (m_padHeight / 2);
    if (attr2 == kFormatGray) {
        const uint8_t* luma = GrayToLuma();
        for (int row = 0; row < height; ++row) {
            const uint8_t* in = data + static_cast<size_t>(row) * width;
            uint8_t* o = y + static_cast<size_t>(row) * m_padWidth;
            for (int x = 0; x < width; ++x) o[x] = luma[in[x]];
        }
        // Chroma stays neutral (set when opened).
    } else {
        // libyuv's "RAW" is R, G, B in memory order.
        libyuv::RAWToI420(data, width * 3, y, m_padWidth, u, m_padWidth / 2, v, m_padWidth / 2, width, height);
        const int cw = (width + 1) / 2, ch = (height + 1) / 2;
        PadPlane(u, m_padWidth / 2, cw, ch, m_padWidth / 2, m_padHeight / 2);
        PadPlane(v, m_padWidth / 2, cw, ch, m_padWidth / 2, m_padHeight / 2);
    }
    PadPlane(y, m_padWidth, width, height, m_padWidth, m_padHeight);
}

H264Encoder::Result H264Encoder::Encode(const uint8_t* data, size_t len, int attr2, int width, int height,
                                        uint64_t stagedMicros, uint64_t sequence, AccessUnit& out, std::string& error) {
    out = AccessUnit();
    if (attr2 != kFormatGray && attr2 != kFormatRgb) {
        error = "only gray and RGB images are encoded as video";
        return Result::kRefused;
    }
    if (!data || !IsPixelImage(attr2, width, height, static_cast<long long>(len))) {
        error = "the image's length does not match its size";
        return Result::kRefused;
    }
    if (width > kMaxVideoSide || height > kMaxVideoSide ||
        static_cast<long long>(PadSide(width)) * PadSide(height) > kMaxVideoPixels) {
        error = std::to_string(width) + "x" + std::to_string(height) + " is larger than H.264 streams here take";
        return Result::kRefused;
    }
    if (!m_codec || attr2 != m_attr2 || width != m_width || height != m_height) {
        if (!Open(attr2, width, height, error)) return Result::kRefused;
    }
    Stage(data, attr2, width, height);
    if (stagedMicros >= m_lastKeyMicros + m_config.keyframeMicros || stagedMicros < m_lastKeyMicros)
        m_keyframeWanted = true;
    if (m_keyframeWanted) m_codec->encoder->ForceIntraFrame(true);

    SSourcePicture pic;
    std::memset(&pic, 0, sizeof pic);
    pic.iColorFormat = videoFormatI420;
    pic.iPicWidth = m_padWidth;
    pic.iPicHeight = m_padHeight;
    pic.iStride[0] = m_padWidth;
    pic.iStride[1] = pic.iStride[2] = m_padWidth / 2;
    pic.pData[0] = m_i420.data();
    pic.pData[1] = pic.pData[0] + static_cast<size_t>(m_padWidth) * m_padHeight;
    pic.pData[2] = pic.pData[1] + static_cast<size_t>(m_padWidth / 2) * (m_padHeight / 2);
    pic.uiTimeStamp = static_cast<long long>(stagedMicros / 1000);
    SFrameBSInfo info;
    std::memset(&info, 0, sizeof info);
    if (m_codec->encoder->EncodeFrame(&pic, &info) != cmResultSuccess) {
        error = "the H.264 encoder failed";
        m_codec.reset();  // start afresh, with an IDR, on the next image
        return Result::kRefused;
    }
    if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) return Result::kSkipped;
    for (int l = 0; l < info.iLayerNum; ++l) {
        const SLayerBSInfo& layer = info.sLayerInfo[l];
        size_t bytes = 0;
        for (int n = 0; n < layer.iNalCount; ++n) bytes += static_cast<size_t>(layer.pNalLengthInByte[n]);
        out.annexB.append(reinterpret_cast<const char*>(layer.pBsBuf), bytes);
    }
    out.keyframe = info.eFrameType == videoFrameTypeIDR;
    if (out.keyframe) {
        m_keyframeWanted = false;
        m_lastKeyMicros = stagedMicros;
    }
    out.width = width;
    out.height = height;
    out.sequence = sequence;
    out.stagedMicros = stagedMicros;
    ++m_encoded;
    return Result::kEncoded;
}

}  // namespace travik_tool
