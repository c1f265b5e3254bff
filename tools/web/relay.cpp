#include "web/relay.h"

#include <chrono>

#include "common/image_file.h"
#include "web/protocol.h"

namespace travik_tool {

namespace {
constexpr size_t kMaxEncodeSamples = 100000;
}

ImageRelay::ImageRelay(WebServer& server, int quality, bool lossless)
    : m_server(server),
      m_encoder(quality, lossless),
      m_worker(travik::kImageChannels, [this](int channel, RawImage& raw) { Encode(channel, raw); }) {}

ImageRelay::~ImageRelay() { Stop(); }

void ImageRelay::Offer(int channel, int attr2, int width, int height, std::shared_ptr<unsigned char> data, int len,
                       uint64_t tag) {
    RawImage raw;
    raw.data = std::move(data);  // the library's buffer, kept by reference
    raw.attrs[1] = attr2;
    raw.attrs[2] = width;
    raw.attrs[3] = height;
    raw.len = len;
    raw.tag = tag;
    if (!travik::ValidChannel(channel)) return;
    // Under the lock: a Refresh that comes after a tab started watching
    // finds the image parked here, or this Offer sees the watcher.
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_window.received[channel];
    if (!m_server.JpegWatched(channel)) {
        m_parked[channel] = std::move(raw);
        m_hasParked[channel] = true;
        ++m_window.parked;
        return;
    }
    m_parked[channel] = RawImage();
    m_hasParked[channel] = false;
    m_worker.Offer(channel, std::move(raw));
}

void ImageRelay::Refresh() {
    for (int c = 0; c < travik::kImageChannels; ++c) {
        if (!m_server.TakeJpegWanted(c)) continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_hasParked[c] && m_server.JpegWatched(c)) {
            m_worker.Offer(c, std::move(m_parked[c]));
            m_parked[c] = RawImage();
            m_hasParked[c] = false;
        }
    }
}

void ImageRelay::Forget(int channel) {
    if (!travik::ValidChannel(channel)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_parked[channel] = RawImage();
    m_hasParked[channel] = false;
}

void ImageRelay::Stop() {
    m_worker.Stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int c = 0; c < travik::kImageChannels; ++c) {
        m_parked[c] = RawImage();  // the library's buffers
        m_hasParked[c] = false;
    }
}

RelayCounts ImageRelay::TakeWindow() {
    RelayCounts out;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(out, m_window);
    }
    out.skipped = m_worker.TakeSkipped();
    return out;
}

void ImageRelay::Encode(int channel, RawImage& raw) {
    const int attr2 = raw.attrs[1], width = raw.attrs[2], height = raw.attrs[3];
    ImageHeader header;
    header.channel = channel;
    header.sequence = static_cast<uint32_t>(raw.sequence);
    header.width = static_cast<uint32_t>(width > 0 ? width : 0);
    header.height = static_cast<uint32_t>(height > 0 ? height : 0);
    header.attr2 = attr2;
    header.rawLength = static_cast<uint32_t>(raw.len > 0 ? raw.len : 0);
    header.tag = raw.tag;
    auto message = std::make_shared<std::string>(kImageHeaderBytes, '\0');
    bool failed = false;
    int64_t micros = -1;
    // Opaque bytes, or a length that does not match the size: a
    // placeholder that tells the page the size.
    if (raw.data && IsPixelImage(attr2, width, height, raw.len)) {
        const auto start = std::chrono::steady_clock::now();
        const int channels = attr2 == kFormatGray ? 1 : 3;
        if (m_encoder.Encode(raw.data.get(), width, height, channels, *message)) {
            header.encoding = m_encoder.Encoding();
            micros =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
            header.encodeMicros = static_cast<uint32_t>(micros);
        } else {
            message->resize(kImageHeaderBytes);
            failed = true;
        }
    }
    WriteImageHeader(header, *message);
    raw.data.reset();
    WebImage image;
    image.message = std::move(message);
    image.channel = channel;
    image.receivedMicros = raw.receivedMicros;
    m_server.PublishImage(std::move(image));

    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_window.encoded;
    if (failed) ++m_window.failed;
    if (micros >= 0 && m_window.encodeMicros.size() < kMaxEncodeSamples) m_window.encodeMicros.push_back(micros);
}

}  // namespace travik_tool
