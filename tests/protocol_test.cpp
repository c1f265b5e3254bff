// Wire codec: exact bytes of each frame kind, and the reader's refusal of
// frames whose lengths cannot be right.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame_reader.h"
#include "protocol/frame_writer.h"
#include "protocol/wire.h"
#include "support/test_support.h"

#if defined(TRAVIK_WITH_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

using namespace travik;
using travik_test::GetLE32;
using travik_test::GetLE64;
using travik_test::PutLE32;
using travik_test::PutLE64;

namespace {

using Bytes = std::vector<unsigned char>;

// Inflates with the codec library directly, not through the code under test.
bool IndependentInflate(const unsigned char* src, size_t srcLen, size_t rawLen, Bytes& out) {
    out.assign(rawLen, 0);
#if defined(TRAVIK_WITH_LIBDEFLATE)
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    const bool ok = libdeflate_zlib_decompress(d, src, srcLen, out.data(), rawLen, nullptr) == LIBDEFLATE_SUCCESS;
    libdeflate_free_decompressor(d);
    return ok;
#else
    uLongf len = rawLen;
    return uncompress(out.data(), &len, src, srcLen) == Z_OK && len == rawLen;
#endif
}

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 31 + seed * 7) ^ (i >> 3));
    return b;
}

SendImageSt Slot(int attr1, int attr2, const Bytes& bytes, unsigned long long tag) {
    SendImageSt s;
    s.attr1 = attr1;
    s.attr2 = attr2;
    s.attr3 = attr1 + 100;
    s.attr4 = -attr1;
    s.attr5 = attr1 * 3;
    s.imageLen = static_cast<int>(bytes.size());
    if (!bytes.empty()) {
        s.data = AllocBytes(bytes.size());
        std::memcpy(s.data.get(), bytes.data(), bytes.size());
    }
    s.tag = tag;
    return s;
}

void AppendRecord(Bytes& out, int attr1, uint64_t tag, int imageLen, const Bytes& bytes) {
    PutLE32(out, attr1);
    PutLE64(out, tag);
    for (int v : {2, 3, 4, 5}) PutLE32(out, v);
    PutLE32(out, imageLen);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

struct Got {
    ImageHeaderSt h;
    Bytes bytes;
};

// The payload is copied into a buffer of exactly dataLen bytes, so that a
// sanitizer build flags any read past the frame.
bool Decode(const FrameHeaderSt& h, const unsigned char* payload, std::vector<Got>& got) {
    got.clear();
    const Bytes exact(payload, payload + (h.dataLen > 0 ? h.dataLen : 0));
    return DecodeImagePayload(h, exact.data(), [&](const ImageRecordView& r) {
        got.push_back({r.header, Bytes(r.bytes, r.bytes + r.header.imageLen)});
    });
}

Bytes Compress(const Bytes& raw) {
    Bytes out(CompressCapacity(static_cast<uint32_t>(raw.size())));
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(0, CompressLevel6(out.data(), len, raw.data(), static_cast<uint32_t>(raw.size())));
    out.resize(len);
    return out;
}

}  // namespace

TEST(Wire, StructsRoundTripWithExtremeValuesAtFixedOffsets) {
    unsigned char buf[32];
    const FrameHeaderSt fh{INT32_MIN, INT32_MAX, -1, 0x01020304};
    EncodeFrameHeader(fh, buf);
    const Bytes fhBytes = {0, 0, 0, 0x80, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff, 0xff, 4, 3, 2, 1};
    EXPECT_EQ(fhBytes, Bytes(buf, buf + 16));
    const FrameHeaderSt fd = DecodeFrameHeader(buf);
    EXPECT_EQ(fh.msgType, fd.msgType);
    EXPECT_EQ(fh.compressed, fd.compressed);
    EXPECT_EQ(fh.dataLen, fd.dataLen);
    EXPECT_EQ(fh.rawLen, fd.rawLen);

    ImageHeaderSt ih;
    ih.attr1 = INT32_MIN;
    ih.tag = 0x8000000000000001ULL;
    ih.attr2 = INT32_MAX;
    ih.attr3 = -1;
    ih.attr4 = 0;
    ih.attr5 = 7;
    ih.imageLen = 0x7ffffffe;
    EncodeImageHeader(ih, buf);
    EXPECT_EQ(INT32_MIN, GetLE32(buf));
    EXPECT_EQ(0x8000000000000001ULL, GetLE64(buf + 4));  // unaligned, directly after attr1
    EXPECT_EQ(INT32_MAX, GetLE32(buf + 12));
    EXPECT_EQ(-1, GetLE32(buf + 16));
    EXPECT_EQ(0, GetLE32(buf + 20));
    EXPECT_EQ(7, GetLE32(buf + 24));
    EXPECT_EQ(0x7ffffffe, GetLE32(buf + 28));
    const ImageHeaderSt id = DecodeImageHeader(buf);
    EXPECT_EQ(ih.attr1, id.attr1);
    EXPECT_EQ(ih.tag, id.tag);
    EXPECT_EQ(ih.attr2, id.attr2);
    EXPECT_EQ(ih.attr3, id.attr3);
    EXPECT_EQ(ih.attr4, id.attr4);
    EXPECT_EQ(ih.attr5, id.attr5);
    EXPECT_EQ(ih.imageLen, id.imageLen);

    const CmdSt c{INT32_MAX, INT32_MIN, -2, {1, -1, INT32_MAX, INT32_MIN}, -1000};
    EncodeCmd(c, buf);
    const int32_t expect[8] = {INT32_MAX, INT32_MIN, -2, 1, -1, INT32_MAX, INT32_MIN, -1000};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(expect[i], GetLE32(buf + 4 * i)) << "field " << i;
    const CmdSt cd = DecodeCmd(buf);
    EXPECT_EQ(c.cmdType, cd.cmdType);
    EXPECT_EQ(c.logSwitch, cd.logSwitch);
    EXPECT_EQ(c.imageSwitch, cd.imageSwitch);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c.imageSwitches[i], cd.imageSwitches[i]);
    EXPECT_EQ(c.sendInterval, cd.sendInterval);
}

TEST(Codec, BoundAndExactInflate) {
    EXPECT_EQ(13u, CompressBound(0));
    EXPECT_EQ(4096u + 1 + 13, CompressBound(4096));
    EXPECT_EQ(100000000u + 24414 + 6103 + 2 + 13, CompressBound(100000000));
#if !defined(TRAVIK_WITH_LIBDEFLATE)
    for (uint32_t n : {1u, 4095u, 16384u, 1u << 25, 99999999u}) EXPECT_EQ(compressBound(n), CompressBound(n)) << n;
#endif

    const Bytes raw = Pattern(20000, 1);
    const Bytes z = Compress(raw);
    ASSERT_FALSE(z.empty());
    EXPECT_EQ(0x78, z[0]);  // zlib header: deflate, 32 KiB window
    Bytes back(raw.size() + 1);
    ASSERT_TRUE(InflateExact(back.data(), 20000, z.data(), static_cast<uint32_t>(z.size())));
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), back.begin()));
    EXPECT_FALSE(InflateExact(back.data(), 19999, z.data(), static_cast<uint32_t>(z.size())));
    EXPECT_FALSE(InflateExact(back.data(), 20001, z.data(), static_cast<uint32_t>(z.size())));
    EXPECT_FALSE(InflateExact(back.data(), 20000, z.data(), static_cast<uint32_t>(z.size() / 2)));

    Bytes small(4);
    uint32_t len = 4;
    EXPECT_LT(CompressLevel6(small.data(), len, raw.data(), static_cast<uint32_t>(raw.size())), 0);
}

TEST(LogFrame, AbcIsTwentyExactBytesAndReadsBack) {
    const ByteBuffer f = WriteLogFrame("abc");
    ASSERT_EQ(20, f.len);
    const Bytes expect = {1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 0};
    EXPECT_EQ(expect, Bytes(f.data.get(), f.data.get() + f.len));

    int frameLen = -1;
    ASSERT_EQ(HeaderCheck::Ok, CheckFrameHeader(f.data.get(), f.len, frameLen));
    EXPECT_EQ(20, frameLen);
    std::string text;
    ASSERT_TRUE(DecodeLogPayload(f.data.get() + 16, 4, text));
    EXPECT_EQ("abc", text);
}

TEST(LogFrame, PayloadDecoding) {
    std::string text = "unchanged";
    const unsigned char noNul[] = {'a', 'b', 'c'};
    EXPECT_FALSE(DecodeLogPayload(noNul, 3, text));
    EXPECT_FALSE(DecodeLogPayload(noNul, 0, text));
    const unsigned char after[] = {'h', 'i', 0, 'x', 'y', 0};
    ASSERT_TRUE(DecodeLogPayload(after, 6, text));
    EXPECT_EQ("hi", text);
    const unsigned char empty[] = {0, 'z'};
    ASSERT_TRUE(DecodeLogPayload(empty, 2, text));
    EXPECT_EQ("", text);
}

TEST(CommandFrame, FixedHeaderAndBodyOffsets) {
    const CmdSt cmd{CMD_SET_SEND_STATE, SWITCH_ON, SWITCH_OFF, {1, 2, 0, 3}, 500};
    const ByteBuffer f = WriteCommandFrame(cmd);
    ASSERT_EQ(48, f.len);
    const unsigned char* p = f.data.get();
    const Bytes head = {3, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(head, Bytes(p, p + 16));
    const int32_t body[8] = {1, 1, 2, 1, 2, 0, 3, 500};  // frame offsets 16, 20, ..., 44
    for (int i = 0; i < 8; ++i) EXPECT_EQ(body[i], GetLE32(p + 16 + 4 * i)) << "offset " << 16 + 4 * i;

    CmdSt back;
    ASSERT_TRUE(DecodeCmdPayload(p + 16, 32, back));
    EXPECT_EQ(500, back.sendInterval);
    EXPECT_EQ(3, back.imageSwitches[3]);
    EXPECT_FALSE(DecodeCmdPayload(p + 16, 31, back));
}

TEST(ImageFrame, SingleImageFrameLayoutAndInflation) {
    const Bytes image = Pattern(100, 5);
    const unsigned long long tag = 0x8123456789abcdefULL;
    int rc = -1;
    uint64_t micros = 1;
    const ByteBuffer f = WriteImageFrame({Slot(9, 1, image, tag)}, rc, micros);
    ASSERT_EQ(0, rc);
    ASSERT_TRUE(f.data);
    const unsigned char* p = f.data.get();
    EXPECT_EQ(2, GetLE32(p));
    EXPECT_EQ(1, GetLE32(p + 4));
    const int dataLen = GetLE32(p + 8);
    EXPECT_EQ(dataLen + 16, f.len);
    EXPECT_EQ(Bytes({0x84, 0, 0, 0}), Bytes(p + 12, p + 16));

    Bytes raw;
    ASSERT_TRUE(IndependentInflate(p + 16, static_cast<size_t>(dataLen), 132, raw));
    Bytes expect;
    PutLE32(expect, 9);
    PutLE64(expect, tag);
    for (int v : {1, 109, -9, 27, 100}) PutLE32(expect, v);
    expect.insert(expect.end(), image.begin(), image.end());
    EXPECT_EQ(expect, raw);
    EXPECT_EQ(0x81, raw[11]);  // top byte of the tag, last of its 8 at record offset 4

    // And the library's own reader gets the same record back.
    int frameLen = 0;
    ASSERT_EQ(HeaderCheck::Ok, CheckFrameHeader(p, f.len, frameLen));
    std::vector<Got> got;
    ASSERT_TRUE(Decode(DecodeFrameHeader(p), p + 16, got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(tag, got[0].h.tag);
    EXPECT_EQ(image, got[0].bytes);
}

TEST(ImageFrame, RecordSelectionAndOrder) {
    int rawLen = -1;
    EXPECT_FALSE(WriteImageRecords({Slot(0, 0, Pattern(8, 0), 1)}, rawLen));
    EXPECT_EQ(0, rawLen);
    int rc = -1;
    uint64_t micros = 0;
    EXPECT_FALSE(WriteImageFrame({Slot(0, 0, Pattern(8, 0), 1), SendImageSt{}}, rc, micros).data);
    EXPECT_EQ(0, rc);

    // An image with no bytes still gives its 32-byte record.
    auto empty = WriteImageRecords({Slot(4, 1, Bytes(), 77)}, rawLen);
    ASSERT_EQ(32, rawLen);
    EXPECT_EQ(0, GetLE32(empty.get() + 28));
    EXPECT_EQ(77u, GetLE64(empty.get() + 4));

    // Stale slots (attr2 0) are skipped; the rest keep slot order.
    std::vector<SendImageSt> slots;
    for (int ch = 0; ch < 4; ++ch) slots.push_back(Slot(ch, ch == 2 ? 0 : 10 + ch, Pattern(50 + ch, ch), ch));
    auto seq = WriteImageRecords(slots, rawLen);
    ASSERT_EQ(3 * 32 + 50 + 51 + 53, rawLen);
    EXPECT_EQ(0, GetLE32(seq.get()));
    EXPECT_EQ(1, GetLE32(seq.get() + 82));
    EXPECT_EQ(3, GetLE32(seq.get() + 82 + 83));

    // All four fresh: four records in channel order through the whole frame.
    slots[2].attr2 = 12;
    const ByteBuffer f = WriteImageFrame(slots, rc, micros);
    ASSERT_EQ(0, rc);
    ASSERT_TRUE(f.data);
    std::vector<Got> got;
    ASSERT_TRUE(Decode(DecodeFrameHeader(f.data.get()), f.data.get() + 16, got));
    ASSERT_EQ(4u, got.size());
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(ch, got[ch].h.attr1);
        EXPECT_EQ(10 + ch, got[ch].h.attr2);
        EXPECT_EQ(Pattern(50 + ch, ch), got[ch].bytes);
    }
}

TEST(ImageFrame, RefusesRecordsAReaderWouldRefuse) {
    // Never touched: the refusal must come from the sizes alone.
    const int half = kMaxRawLen / 2;
    std::shared_ptr<unsigned char> big = AllocBytes(static_cast<size_t>(half));
    SendImageSt s;
    s.attr2 = 1;
    s.data = big;
    s.imageLen = half;
    int rawLen = -1;
    EXPECT_FALSE(WriteImageRecords({s, s}, rawLen));  // 32-byte headers push it past the limit
    EXPECT_EQ(0, rawLen);
    int rc = 0;
    uint64_t micros = 0;
    EXPECT_FALSE(WriteImageFrame({s, s}, rc, micros).data);
    EXPECT_EQ(kImageFrameRefused, rc);

    s.imageLen = INT32_MAX;
    EXPECT_FALSE(WriteImageRecords({s, s, s}, rawLen));
    s.imageLen = -1;
    EXPECT_FALSE(WriteImageRecords({s}, rawLen));
    s.imageLen = 10;
    s.data.reset();
    EXPECT_FALSE(WriteImageRecords({s}, rawLen));
}

TEST(FrameReader, CheckFrameHeader) {
    struct Case {
        int32_t msgType, dataLen;
        int have;
        HeaderCheck want;
        int wantLen;
    };
    const Case cases[] = {
        {1, 4, 16, HeaderCheck::NeedMore, 0},  // header alone is never examined
        {1, 4, 5, HeaderCheck::NeedMore, 0},
        {0, 4, 20, HeaderCheck::Bad, 0},
        {4, 4, 20, HeaderCheck::Bad, 0},
        {1, -1, 20, HeaderCheck::Bad, 0},
        {2, INT32_MIN, 20, HeaderCheck::Bad, 0},
        {2, kMaxFrameLen - 16 + 1, 20, HeaderCheck::Bad, 0},
        {2, INT32_MAX, 20, HeaderCheck::Bad, 0},  // dataLen + 16 must not wrap
        {2, kMaxFrameLen - 16, 20, HeaderCheck::NeedMore, kMaxFrameLen},
        {3, 32, 47, HeaderCheck::NeedMore, 48},
        {3, 32, 48, HeaderCheck::Ok, 48},
        {1, 0, 17, HeaderCheck::Ok, 16},  // the byte after belongs to the next frame
    };
    for (const Case& c : cases) {
        Bytes b;
        PutLE32(b, c.msgType);
        PutLE32(b, 0);
        PutLE32(b, c.dataLen);
        PutLE32(b, 0);
        b.resize(64, 0);
        int frameLen = -1;
        EXPECT_EQ(c.want, CheckFrameHeader(b.data(), c.have, frameLen)) << c.msgType << "/" << c.dataLen;
        EXPECT_EQ(c.wantLen, frameLen) << c.msgType << "/" << c.dataLen;
    }
}

TEST(FrameReader, RawImagePayloads) {
    Bytes seq;
    AppendRecord(seq, 1, 0xffffffffffffffffULL, 3, {7, 8, 9});
    AppendRecord(seq, 2, 5, 0, {});
    std::vector<Got> got;
    ASSERT_TRUE(Decode(FrameHeaderSt{MSG_IMAGE, 0, static_cast<int>(seq.size()), 0}, seq.data(), got));
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0xffffffffffffffffULL, got[0].h.tag);
    EXPECT_EQ(Bytes({7, 8, 9}), got[0].bytes);
    EXPECT_EQ(2, got[1].h.attr1);
    EXPECT_EQ(0, got[1].h.imageLen);

    EXPECT_TRUE(Decode(FrameHeaderSt{MSG_IMAGE, 0, 0, 0}, seq.data(), got));
    EXPECT_TRUE(got.empty());
}

TEST(FrameReader, MalformedImagePayloadsDeliverNothing) {
    Bytes good;
    AppendRecord(good, 1, 1, 4, {1, 2, 3, 4});
    const int goodLen = static_cast<int>(good.size());

    Bytes negative = good;
    AppendRecord(negative, 2, 2, -1, {});
    Bytes pastEnd = good;
    AppendRecord(pastEnd, 2, 2, 5, {1, 2, 3, 4});
    Bytes truncated = good;
    truncated.insert(truncated.end(), 10, 0);
    const Bytes z = Compress(good);
    const int zLen = static_cast<int>(z.size());
    Bytes corrupt = z;
    for (size_t i = 2; i < corrupt.size(); ++i) corrupt[i] ^= 0x5a;

    struct Case {
        const char* name;
        FrameHeaderSt h;
        const Bytes* payload;
    };
    const Case cases[] = {
        {"negative imageLen", {MSG_IMAGE, 0, static_cast<int>(negative.size()), 0}, &negative},
        {"record past payload", {MSG_IMAGE, 0, static_cast<int>(pastEnd.size()), 0}, &pastEnd},
        {"payload cut inside record", {MSG_IMAGE, 0, goodLen - 1, 0}, &good},
        {"truncated record header", {MSG_IMAGE, 0, static_cast<int>(truncated.size()), 0}, &truncated},
        {"negative dataLen", {MSG_IMAGE, 0, -1, 0}, &good},
        {"rawLen negative", {MSG_IMAGE, 1, zLen, -1}, &z},
        {"rawLen above ratio", {MSG_IMAGE, 1, 1, static_cast<int>(kMaxInflateRatio) + 65}, &z},
        {"rawLen above limit", {MSG_IMAGE, 1, zLen, kMaxRawLen + 1}, &z},
        {"corrupt stream", {MSG_IMAGE, 1, zLen, goodLen}, &corrupt},
        {"inflates to fewer than rawLen", {MSG_IMAGE, 1, zLen, goodLen + 1}, &z},
        {"inflates to more than rawLen", {MSG_IMAGE, 1, zLen, goodLen - 1}, &z},
        {"stream cut short", {MSG_IMAGE, 1, zLen - 3, goodLen}, &z},
        {"compressed 2", {MSG_IMAGE, 2, goodLen, 0}, &good},
    };
    for (const Case& c : cases) {
        std::vector<Got> got;
        EXPECT_FALSE(Decode(c.h, c.payload->data(), got)) << c.name;
        EXPECT_TRUE(got.empty()) << c.name;
    }

    // The same valid stream is accepted, so the cases above fail for their own reason.
    std::vector<Got> got;
    EXPECT_TRUE(Decode(FrameHeaderSt{MSG_IMAGE, 1, zLen, goodLen}, z.data(), got));
    EXPECT_EQ(1u, got.size());
    const Bytes emptyZ = Compress(Bytes());
    EXPECT_TRUE(Decode(FrameHeaderSt{MSG_IMAGE, 1, static_cast<int>(emptyZ.size()), 0}, emptyZ.data(), got));
    EXPECT_TRUE(got.empty());
}
