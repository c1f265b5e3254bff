#include "video/video_hub.h"

#include <chrono>

namespace travik_tool {

namespace {
constexpr size_t kMaxEncodeSamples = 100000;
}

VideoEncoderHub::VideoEncoderHub(H264Config config, VideoWatchers& watchers)
    : m_config(config),
      m_watchers(watchers),
      m_worker(travik::kImageChannels, [this](int channel, RawImage& raw) { Encode(channel, raw); }) {}

VideoEncoderHub::~VideoEncoderHub() { Stop(); }

void VideoEncoderHub::Offer(int channel, int attr2, int width, int height, std::shared_ptr<unsigned char> data,
                            int len) {
    if (!travik::ValidChannel(channel)) return;
    RawImage raw;
    if (m_watchers.VideoWatched(channel)) {
        raw.data = std::move(data);  // the library's buffer, kept by reference
        raw.attrs[1] = attr2;
        raw.attrs[2] = width;
        raw.attrs[3] = height;
        raw.len = len;
    } else if (!m_open[channel]) {
        return;
    }
    // Unwatched with an encoder still open: an empty image tells the worker
    // to let it go.
    m_worker.Offer(channel, std::move(raw));
}

void VideoEncoderHub::Stop() { m_worker.Stop(); }

uint64_t VideoEncoderHub::Encodes(int channel) const {
    return travik::ValidChannel(channel) ? m_encodes[channel].load() : 0;
}

bool VideoEncoderHub::EncoderOpen(int channel) const { return travik::ValidChannel(channel) && m_open[channel]; }

VideoCounts VideoEncoderHub::TakeWindow() {
    VideoCounts out;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(out, m_window);
    return out;
}

void VideoEncoderHub::Encode(int channel, RawImage& raw) {
    std::unique_ptr<H264Encoder>& encoder = m_encoders[channel];
    if (!raw.data || !m_watchers.VideoWatched(channel)) {
        encoder.reset();
        m_open[channel] = false;
        return;
    }
    if (!encoder) {
        encoder = std::make_unique<H264Encoder>(m_config);  // starts with a keyframe
        m_open[channel] = true;
    }
    if (m_watchers.TakeKeyframeWanted(channel)) encoder->RequestKeyframe();
    auto unit = std::make_shared<AccessUnit>();
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    const H264Encoder::Result result =
        encoder->Encode(raw.data.get(), raw.len > 0 ? static_cast<size_t>(raw.len) : 0, raw.attrs[1], raw.attrs[2],
                        raw.attrs[3], raw.receivedMicros, raw.sequence, *unit, error);
    const int64_t micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    raw.data.reset();
    if (result == H264Encoder::Result::kEncoded) {
        ++m_encodes[channel];
        unit->encodeMicros = static_cast<uint32_t>(micros);
        const size_t bytes = unit->annexB.size();
        m_watchers.OfferVideo(channel, std::move(unit));
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_window.encoded;
        m_window.bytes += bytes;
        if (m_window.encodeMicros.size() < kMaxEncodeSamples) m_window.encodeMicros.push_back(micros);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (result == H264Encoder::Result::kSkipped) {
        ++m_window.skipped;
    } else {
        ++m_window.refused;
        m_window.lastError = error;
    }
}

}  // namespace travik_tool
