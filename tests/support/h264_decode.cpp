#include "support/h264_decode.h"

#include <wels/codec_api.h>

#include <cstring>

namespace travik_test {

H264Decoder::H264Decoder() {
    if (WelsCreateDecoder(&m_decoder) != 0 || m_decoder == nullptr) {
        m_decoder = nullptr;
        return;
    }
    SDecodingParam param;
    std::memset(&param, 0, sizeof param);
    param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
    if (m_decoder->Initialize(&param) != 0) {
        WelsDestroyDecoder(m_decoder);
        m_decoder = nullptr;
    }
}

H264Decoder::~H264Decoder() {
    if (!m_decoder) return;
    m_decoder->Uninitialize();
    WelsDestroyDecoder(m_decoder);
}

namespace {

// Rows of a plane, cut to `width`, appended to `out`.
void AppendPlane(const unsigned char* plane, int stride, int width, int height, std::vector<uint8_t>& out) {
    for (int y = 0; y < height; ++y)
        out.insert(out.end(), plane + static_cast<size_t>(y) * static_cast<size_t>(stride),
                   plane + static_cast<size_t>(y) * static_cast<size_t>(stride) + width);
}

}  // namespace

bool H264Decoder::Decode(const uint8_t* unit, size_t len, int& width, int& height, std::vector<uint8_t>* luma,
                         std::vector<uint8_t>* i420) {
    if (!m_decoder || len == 0) return false;
    std::vector<unsigned char> copy(unit, unit + len);  // the decoder takes a non-const buffer
    unsigned char* planes[3] = {};
    SBufferInfo info;
    std::memset(&info, 0, sizeof info);
    if (m_decoder->DecodeFrameNoDelay(copy.data(), static_cast<int>(copy.size()), planes, &info) != dsErrorFree ||
        info.iBufferStatus != 1)
        return false;
    const SSysMEMBuffer& b = info.UsrData.sSystemBuffer;
    width = b.iWidth;
    height = b.iHeight;
    if (luma) {
        luma->clear();
        AppendPlane(planes[0], b.iStride[0], width, height, *luma);
    }
    if (i420) {
        i420->clear();
        AppendPlane(planes[0], b.iStride[0], width, height, *i420);
        AppendPlane(planes[1], b.iStride[1], (width + 1) / 2, (height + 1) / 2, *i420);
        AppendPlane(planes[2], b.iStride[1], (width + 1) / 2, (height + 1) / 2, *i420);
    }
    return true;
}

std::vector<std::string> SplitAccessUnits(const std::string& stream) {
    std::vector<std::string> units;
    std::vector<size_t> starts;  // where each start code begins
    for (size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
        starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
        i += 2;
    }
    size_t unitStart = 0;
    bool sliceSeen = false;
    for (size_t s : starts) {
        size_t head = s;
        while (head < stream.size() && stream[head] == 0) ++head;
        if (head + 1 >= stream.size()) break;
        const int type = static_cast<unsigned char>(stream[head + 1]) & 0x1F;
        const bool slice = type == 1 || type == 5;
        if ((type == 7 || (slice && sliceSeen)) && s > unitStart) {
            units.push_back(stream.substr(unitStart, s - unitStart));
            unitStart = s;
            sliceSeen = false;
        }
        sliceSeen = sliceSeen || slice;
    }
    if (unitStart < stream.size()) units.push_back(stream.substr(unitStart));
    return units;
}

}  // namespace travik_test
