// Image frames stay the same wire format whichever compressor a build uses:
// a zlib-built viewer reads what a libdeflate-built device writes and the
// reverse. Both compressors are called directly here, so each direction is
// checked in either build; the libdeflate half needs libdeflate's
// development files and is skipped without them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame_reader.h"
#include "protocol/frame_writer.h"
#include "protocol/wire.h"
#include "support/test_support.h"
#include "travik/travik.h"

#if defined(TRAVIK_INTEROP_WITH_LIBDEFLATE) && __has_include(<libdeflate.h>)
#include <libdeflate.h>
#define TRAVIK_INTEROP_HAVE_LIBDEFLATE 1
#endif

namespace {

using Bytes = std::vector<unsigned char>;
using travik_test::GetLE32;
using travik_test::GetLE64;

std::shared_ptr<unsigned char> Share(const Bytes& bytes) {
    std::shared_ptr<unsigned char> out(new unsigned char[bytes.empty() ? 1 : bytes.size()],
                                       std::default_delete<unsigned char[]>());
    if (!bytes.empty()) std::memcpy(out.get(), bytes.data(), bytes.size());
    return out;
}

// A camera-like gray image: gradient plus a little noise.
Bytes CameraImage(int w, int h, uint32_t seed) {
    Bytes out(static_cast<size_t>(w) * static_cast<size_t>(h));
    uint32_t s = seed * 2654435761u + 1;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            out[static_cast<size_t>(y * w + x)] = static_cast<unsigned char>((x + 2 * y) / 3 + (s >> 29));
        }
    }
    return out;
}

Bytes NoiseImage(size_t n, uint32_t seed) {
    Bytes out(n);
    uint32_t s = seed | 1;
    for (auto& b : out) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        b = static_cast<unsigned char>(s);
    }
    return out;
}

struct Staged {
    int attr1, attr2, attr3, attr4, attr5;
    unsigned long long tag;
    Bytes bytes;
};

// Four fresh slots with unlike contents: a camera image, incompressible
// noise (stored blocks), an empty image and a constant one.
std::vector<Staged> Sample(uint32_t seed) {
    return {
        {1, 7, 160, 120, 0, 0x1122334455667788ull + seed, CameraImage(160, 120, seed)},
        {1, 1, 3, 4, 3, 0xFFFFFFFFFFFFFFFFull, NoiseImage(70000, seed)},
        {2, 2, 0, 0, 1, 0, Bytes()},
        {2, 9, 64, 64, 3, seed, Bytes(4096, 0xAB)},
    };
}

std::vector<SendImageSt> Slots(const std::vector<Staged>& staged) {
    std::vector<SendImageSt> slots;
    for (const Staged& s : staged) {
        SendImageSt slot;
        slot.attr1 = s.attr1;
        slot.attr2 = s.attr2;
        slot.attr3 = s.attr3;
        slot.attr4 = s.attr4;
        slot.attr5 = s.attr5;
        slot.data = Share(s.bytes);
        slot.imageLen = static_cast<int>(s.bytes.size());
        slot.tag = s.tag;
        slots.push_back(slot);
    }
    return slots;
}

Bytes Records(const std::vector<Staged>& staged) {
    int rawLen = 0;
    std::shared_ptr<unsigned char> records = travik::WriteImageRecords(Slots(staged), rawLen);
    if (!records) return Bytes();
    return Bytes(records.get(), records.get() + rawLen);
}

Bytes ZlibCompress(const Bytes& raw) {
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(n);
    if (compress2(out.data(), &n, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK) return Bytes();
    out.resize(n);
    return out;
}

bool ZlibInflate(const Bytes& stream, size_t rawLen, Bytes& out) {
    out.assign(rawLen, 0);
    uLongf n = static_cast<uLongf>(rawLen);
    return uncompress(out.data(), &n, stream.data(), static_cast<uLong>(stream.size())) == Z_OK && n == rawLen;
}

#if defined(TRAVIK_INTEROP_HAVE_LIBDEFLATE)
Bytes LibdeflateCompress(const Bytes& raw) {
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> c(libdeflate_alloc_compressor(6),
                                                                               libdeflate_free_compressor);
    if (!c) return Bytes();
    Bytes out(libdeflate_zlib_compress_bound(c.get(), raw.size()));
    const size_t n = libdeflate_zlib_compress(c.get(), raw.data(), raw.size(), out.data(), out.size());
    out.resize(n);
    return out;
}

// Exactly rawLen bytes, as the library's libdeflate reader demands.
bool LibdeflateInflate(const Bytes& stream, size_t rawLen, Bytes& out) {
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(libdeflate_alloc_decompressor(),
                                                                                   libdeflate_free_decompressor);
    out.assign(rawLen, 0);
    return d && libdeflate_zlib_decompress(d.get(), stream.data(), stream.size(), out.data(), rawLen, nullptr) ==
                    LIBDEFLATE_SUCCESS;
}
#endif

Bytes ImageFrame(const Bytes& stream, size_t rawLen) {
    Bytes frame(travik::kFrameHeaderLen);
    travik::EncodeFrameHeader(
        travik::FrameHeaderSt{travik::MSG_IMAGE, 1, static_cast<int32_t>(stream.size()), static_cast<int32_t>(rawLen)},
        frame.data());
    frame.insert(frame.end(), stream.begin(), stream.end());
    return frame;
}

void ExpectDelivered(const std::vector<Staged>& got, const std::vector<Staged>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(got[i].attr1, want[i].attr1);
        EXPECT_EQ(got[i].attr2, want[i].attr2);
        EXPECT_EQ(got[i].attr3, want[i].attr3);
        EXPECT_EQ(got[i].attr4, want[i].attr4);
        EXPECT_EQ(got[i].attr5, want[i].attr5);
        EXPECT_EQ(got[i].tag, want[i].tag);
        EXPECT_TRUE(got[i].bytes == want[i].bytes);
    }
}

// A stream from `compress` must decode through the frame reader and through
// a viewer's receive path (chunked, as the transport delivers it) into
// exactly the staged records.
void CheckStreamDecodes(const std::function<Bytes(const Bytes&)>& compress) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::vector<Staged> staged = Sample(seed);
        const Bytes raw = Records(staged);
        ASSERT_FALSE(raw.empty());
        const Bytes stream = compress(raw);
        ASSERT_FALSE(stream.empty());
        const Bytes frame = ImageFrame(stream, raw.size());

        std::vector<Staged> decoded;
        const travik::FrameHeaderSt header = travik::DecodeFrameHeader(frame.data());
        ASSERT_TRUE(travik::DecodeImagePayload(header, frame.data() + travik::kFrameHeaderLen, [&](const auto& rec) {
            const travik::ImageHeaderSt& h = rec.header;
            decoded.push_back(
                {h.attr1, h.attr2, h.attr3, h.attr4, h.attr5, h.tag, Bytes(rec.bytes, rec.bytes + h.imageLen)});
        }));
        ExpectDelivered(decoded, staged);

        TravikMgr viewer;
        std::vector<Staged> delivered;
        viewer.SetImageCb([&](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                              unsigned long long tag) {
            delivered.push_back({a1, a2, a3, a4, a5, tag, Bytes(data.get(), data.get() + len)});
        });
        for (size_t off = 0; off < frame.size(); off += 1000) {
            const size_t n = std::min<size_t>(1000, frame.size() - off);
            std::shared_ptr<unsigned char> chunk =
                Share(Bytes(frame.begin() + static_cast<long>(off), frame.begin() + static_cast<long>(off + n)));
            viewer.ReadCallback(1, chunk, static_cast<int>(n));
        }
        ExpectDelivered(delivered, staged);
        viewer.Release();

        // A stream one byte short is refused whole by the same reader.
        Bytes cut(stream.begin(), stream.end() - 1);
        const Bytes badFrame = ImageFrame(cut, raw.size());
        const travik::FrameHeaderSt badHeader = travik::DecodeFrameHeader(badFrame.data());
        int records = 0;
        EXPECT_FALSE(travik::DecodeImagePayload(badHeader, badFrame.data() + travik::kFrameHeaderLen,
                                                [&](const auto&) { ++records; }));
        EXPECT_EQ(records, 0);
    }
}

// Checks a frame written by the library (header included) against the
// records it should carry, inflating with both compressors.
void CheckFrameInflatesEverywhere(const Bytes& frame, const Bytes& expectedRecords) {
    ASSERT_GE(frame.size(), static_cast<size_t>(travik::kFrameHeaderLen));
    EXPECT_EQ(GetLE32(frame.data()), travik::MSG_IMAGE);
    EXPECT_EQ(GetLE32(frame.data() + 4), 1);
    EXPECT_EQ(static_cast<size_t>(GetLE32(frame.data() + 8)), frame.size() - travik::kFrameHeaderLen);
    const size_t rawLen = static_cast<size_t>(GetLE32(frame.data() + 12));
    EXPECT_EQ(rawLen, expectedRecords.size());
    const Bytes stream(frame.begin() + travik::kFrameHeaderLen, frame.end());

    Bytes inflated;
    ASSERT_TRUE(ZlibInflate(stream, rawLen, inflated));
    EXPECT_TRUE(inflated == expectedRecords);
#if defined(TRAVIK_INTEROP_HAVE_LIBDEFLATE)
    Bytes viaLibdeflate;
    ASSERT_TRUE(LibdeflateInflate(stream, rawLen, viaLibdeflate));
    EXPECT_TRUE(viaLibdeflate == expectedRecords);
#endif
}

TEST(CodecInterop, ZlibStreamsDecodeThroughTheReader) { CheckStreamDecodes(ZlibCompress); }

TEST(CodecInterop, LibdeflateStreamsDecodeThroughTheReader) {
#if defined(TRAVIK_INTEROP_HAVE_LIBDEFLATE)
    CheckStreamDecodes(LibdeflateCompress);
#else
    GTEST_SKIP() << "libdeflate development files not installed";
#endif
}

TEST(CodecInterop, WrittenFramesInflateWithBothCompressors) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::vector<Staged> staged = Sample(seed);
        int result = -1;
        uint64_t micros = 0;
        travik::ByteBuffer frame = travik::WriteImageFrame(Slots(staged), result, micros);
        ASSERT_EQ(result, 0);
        ASSERT_TRUE(frame.data);
        CheckFrameInflatesEverywhere(Bytes(frame.data.get(), frame.data.get() + frame.len), Records(staged));
    }
}

// The default build's frames are byte for byte compress2 at level 6; the
// libdeflate build's are libdeflate's level 6 output, never a third form.
TEST(CodecInterop, WrittenStreamIsTheConfiguredCompressorsLevel6Output) {
    const std::vector<Staged> staged = Sample(5);
    const Bytes raw = Records(staged);
    int result = -1;
    uint64_t micros = 0;
    travik::ByteBuffer frame = travik::WriteImageFrame(Slots(staged), result, micros);
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(frame.data);
    const Bytes stream(frame.data.get() + travik::kFrameHeaderLen, frame.data.get() + frame.len);
    const std::string codec = travik::CodecName();
    if (codec == "zlib") {
        EXPECT_TRUE(stream == ZlibCompress(raw));
    } else {
        ASSERT_EQ(codec, "libdeflate");
#if defined(TRAVIK_INTEROP_HAVE_LIBDEFLATE)
        EXPECT_TRUE(stream == LibdeflateCompress(raw));
#else
        GTEST_SKIP() << "libdeflate development files not installed";
#endif
    }
}

// A device over loopback: the frames a viewer receives inflate with zlib's
// uncompress and with libdeflate alike, and carry the staged images.
TEST(CodecInterop, DeviceFramesOnTheWireInflateWithBothCompressors) {
    TravikMgr device;
    const int port = travik_test::ListenOnAnyPort(device);
    ASSERT_GT(port, 0);
    travik_test::RawClient viewer;
    ASSERT_TRUE(viewer.Connect(port));
    // Command: images on, all four channels on, interval 1 ms.
    Bytes cmd;
    for (int32_t v : {3, 0, 32, 0, 1, 0, 1, 1, 1, 1, 1, 1}) travik_test::PutLE32(cmd, v);
    ASSERT_TRUE(viewer.Send(cmd));
    ASSERT_TRUE(travik_test::WaitUntil([&] { return device.IsConnected() == 1; }));

    const std::vector<Staged> staged = Sample(11);
    std::vector<std::shared_ptr<unsigned char>> shared;
    for (const Staged& s : staged) shared.push_back(Share(s.bytes));
    // Stage every channel every few ms (the first image of a channel only
    // starts its timer) until a frame with all four records has arrived.
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        const auto deadline = std::chrono::steady_clock::now() + travik_test::Scaled(std::chrono::seconds(20));
        while (!stop.load() && std::chrono::steady_clock::now() < deadline) {
            for (size_t i = 0; i < staged.size(); ++i) {
                const Staged& s = staged[i];
                device.SendImageDataPtr(s.attr1, s.attr2, s.attr3, s.attr4, s.attr5, shared[i],
                                        static_cast<int>(s.bytes.size()), s.tag);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    bool sawAllFour = false;
    int frames = 0;
    for (int i = 0; i < 200 && !sawAllFour; ++i) {
        Bytes frame;
        if (!viewer.ReadFrame(frame, std::chrono::seconds(10))) break;
        if (GetLE32(frame.data()) != travik::MSG_IMAGE) continue;
        ++frames;
        const Bytes stream(frame.begin() + travik::kFrameHeaderLen, frame.end());
        const size_t rawLen = static_cast<size_t>(GetLE32(frame.data() + 12));
        Bytes records;
        ASSERT_TRUE(ZlibInflate(stream, rawLen, records));
        // Which channels this pass carried: rebuild the expected records
        // from the staged images of those channels, in channel order.
        std::vector<Staged> carried;
        for (size_t off = 0; off + travik::kImageHeaderLen <= records.size();) {
            const int32_t attr1 = GetLE32(records.data() + off);
            const int32_t attr5 = GetLE32(records.data() + off + 24);
            const int32_t len = GetLE32(records.data() + off + 28);
            ASSERT_GE(len, 0);
            for (const Staged& s : staged)
                if (s.attr1 == attr1 && s.attr5 == attr5) carried.push_back(s);
            off += travik::kImageHeaderLen + static_cast<size_t>(len);
        }
        ASSERT_FALSE(carried.empty());
        CheckFrameInflatesEverywhere(frame, Records(carried));
        EXPECT_EQ(GetLE64(records.data() + 4), carried[0].tag);
        sawAllFour = carried.size() == staged.size();
    }
    stop = true;
    producer.join();
    EXPECT_TRUE(sawAllFour) << "frames read: " << frames;
    viewer.Close();
    device.Release();
}

}  // namespace
