#include "web/relay.h"

#include <algorithm>
#include <chrono>

#include "cli/stats.h"
#include "common/image_file.h"
#include "platform/clock.h"
#include "web/encoder.h"
#include "web/protocol.h"

namespace travik_tool {

namespace {
constexpr size_t kMaxEncodeSamples = 100000;
}

ImageRelay::ImageRelay(WebServer& server, int quality, bool lossless)
    : m_server(server), m_quality(quality), m_lossless(lossless), m_thread(&ImageRelay::Run, this) {}

ImageRelay::~ImageRelay() { Stop(); }

void ImageRelay::Offer(int channel, int attr2, int width, int height, std::shared_ptr<unsigned char> data, int len,
                       uint64_t tag) {
    const uint64_t now = static_cast<uint64_t>(travik::NowMicros());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !travik::ValidChannel(channel)) return;
    ++m_window.received[channel];
    if (m_full[channel]) ++m_window.skipped;
    Raw& slot = m_slots[channel];
    slot.data = std::move(data);  // the library's buffer, kept by reference
    slot.attr2 = attr2;
    slot.width = width;
    slot.height = height;
    slot.len = len;
    slot.tag = tag;
    slot.sequence = ++m_sequence[channel];
    slot.receivedMicros = now;
    m_full[channel] = true;
    m_cond.notify_one();
}

void ImageRelay::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

RelayCounts ImageRelay::TakeWindow() {
    RelayCounts out;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(out, m_window);
    return out;
}

void ImageRelay::Run() {
    ImageEncoder encoder(m_quality, m_lossless);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_cond.wait(lock, [this] {
            return m_stop ||
                   std::find(m_full, m_full + travik::kImageChannels, true) != m_full + travik::kImageChannels;
        });
        if (m_stop) return;
        for (int c = 0; c < travik::kImageChannels; ++c) {
            if (!m_full[c]) continue;
            Raw raw = std::move(m_slots[c]);
            m_slots[c] = Raw();
            m_full[c] = false;
            lock.unlock();

            ImageHeader header;
            header.channel = c;
            header.sequence = static_cast<uint32_t>(raw.sequence);
            header.width = static_cast<uint32_t>(raw.width > 0 ? raw.width : 0);
            header.height = static_cast<uint32_t>(raw.height > 0 ? raw.height : 0);
            header.attr2 = raw.attr2;
            header.rawLength = static_cast<uint32_t>(raw.len > 0 ? raw.len : 0);
            header.tag = raw.tag;
            auto message = std::make_shared<std::string>(kImageHeaderBytes, '\0');
            bool failed = false;
            int64_t micros = -1;
            // Opaque bytes, or a length that does not match the size: a
            // placeholder that tells the page the size.
            if (raw.data && IsPixelImage(raw.attr2, raw.width, raw.height, raw.len)) {
                const auto start = std::chrono::steady_clock::now();
                const int channels = raw.attr2 == kFormatGray ? 1 : 3;
                if (encoder.Encode(raw.data.get(), raw.width, raw.height, channels, *message)) {
                    header.encoding = encoder.Encoding();
                    micros =
                        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                            .count();
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
            image.channel = c;
            image.receivedMicros = raw.receivedMicros;
            m_server.PublishImage(std::move(image));

            lock.lock();
            ++m_window.encoded;
            if (failed) ++m_window.failed;
            if (micros >= 0 && m_window.encodeMicros.size() < kMaxEncodeSamples)
                m_window.encodeMicros.push_back(micros);
            if (m_stop) return;
        }
    }
}

}  // namespace travik_tool
