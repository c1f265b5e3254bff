// Receive path: chunks fed straight into ReadCallback of a manager that has
// no transport, so every chunking, every malformed frame and the reassembly
// state can be controlled exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame_writer.h"
#include "protocol/wire.h"
#include "support/test_support.h"

using namespace travik;
using travik_test::PutLE32;
using travik_test::PutLE64;
using travik_test::StdoutCapture;

namespace {

using Bytes = std::vector<unsigned char>;

struct Image {
    int attr[5];
    int len;
    unsigned long long tag;
    std::shared_ptr<unsigned char> data;  // kept, as a host may
    Bytes bytes;                          // copied inside the callback
};

// A manager with recording callbacks. Events are "log:<text>" and
// "img:<tag>:<len>" strings in delivery order.
class Viewer {
public:
    explicit Viewer(bool withLog = true, bool withImage = true) {
        if (withLog) mgr.SetLogCb([this](std::string& text) { events.push_back("log:" + text); });
        if (withImage) {
            mgr.SetImageCb([this](int a1, int a2, int a3, int a4, int a5, std::shared_ptr<unsigned char>& data, int len,
                                  unsigned long long tag) {
                events.push_back("img:" + std::to_string(tag) + ":" + std::to_string(len));
                Image im{{a1, a2, a3, a4, a5}, len, tag, data, Bytes(data.get(), data.get() + len)};
                images.push_back(im);
            });
        }
    }

    // Hands over `len` bytes at `off` in a fresh buffer of exactly that size.
    std::shared_ptr<unsigned char> Feed(unsigned long long conn, const Bytes& b, size_t off, size_t len) {
        std::shared_ptr<unsigned char> chunk = AllocBytes(len);
        std::memcpy(chunk.get(), b.data() + off, len);
        mgr.ReadCallback(conn, chunk, static_cast<int>(len));
        return chunk;
    }
    std::shared_ptr<unsigned char> Feed(unsigned long long conn, const Bytes& b) { return Feed(conn, b, 0, b.size()); }

    const std::vector<RecvFragment>& Pending(unsigned long long conn) { return mgr.m_recvFragments[conn]; }

    TravikMgr mgr;
    std::vector<std::string> events;
    std::vector<Image> images;
};

using Events = std::vector<std::string>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes LogFrame(const std::string& text) {
    ByteBuffer b = WriteLogFrame(text);
    return Bytes(b.data.get(), b.data.get() + b.len);
}

Bytes CmdFrame(int log, int image, std::initializer_list<int> channels, int interval) {
    CmdSt c;
    c.logSwitch = log;
    c.imageSwitch = image;
    int i = 0;
    for (int v : channels) c.imageSwitches[i++] = v;
    c.sendInterval = interval;
    ByteBuffer b = WriteCommandFrame(c);
    return Bytes(b.data.get(), b.data.get() + b.len);
}

// Header with any values, then `payload` as given (its size need not match).
Bytes HandFrame(int32_t type, int32_t compressed, int32_t dataLen, int32_t rawLen, const Bytes& payload = {}) {
    Bytes out;
    for (int32_t v : {type, compressed, dataLen, rawLen}) PutLE32(out, v);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 7 + seed * 31 + (i >> 5));
    return b;
}

// One image record: header with `imageLen` as given, then `bytes`.
Bytes Record(int attr1, unsigned long long tag, int imageLen, const Bytes& bytes) {
    Bytes out;
    PutLE32(out, attr1);
    PutLE64(out, tag);
    for (int v : {attr1 + 1, attr1 + 2, attr1 + 3, attr1 + 4}) PutLE32(out, v);
    PutLE32(out, imageLen);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

Bytes Deflate(const Bytes& raw) {
    Bytes out(CompressCapacity(static_cast<uint32_t>(raw.size())));
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(0, CompressLevel6(out.data(), len, raw.data(), static_cast<uint32_t>(raw.size())));
    out.resize(len);
    return out;
}

Bytes RawImageFrame(const Bytes& records) {
    return HandFrame(MSG_IMAGE, 0, static_cast<int32_t>(records.size()), 0, records);
}

Bytes CompressedImageFrame(const Bytes& records, int32_t rawLenDelta = 0) {
    Bytes z = Deflate(records);
    return HandFrame(MSG_IMAGE, 1, static_cast<int32_t>(z.size()), static_cast<int32_t>(records.size()) + rawLenDelta,
                     z);
}

SendImageSt Slot(int attr1, int attr5, const Bytes& bytes, unsigned long long tag) {
    SendImageSt s;
    s.attr1 = attr1;
    s.attr2 = 100 + attr1;
    s.attr3 = -attr1;
    s.attr4 = 4096;
    s.attr5 = attr5;
    s.imageLen = static_cast<int>(bytes.size());
    s.data = AllocBytes(bytes.size() + 1);
    if (!bytes.empty()) std::memcpy(s.data.get(), bytes.data(), bytes.size());
    s.tag = tag;
    return s;
}

Bytes WriterImageFrame(const std::vector<SendImageSt>& slots) {
    int rc = -1;
    uint64_t micros = 0;
    ByteBuffer b = WriteImageFrame(slots, rc, micros);
    EXPECT_EQ(0, rc);
    return Bytes(b.data.get(), b.data.get() + b.len);
}

}  // namespace

TEST(ReceivePath, IncompleteFrameIsHeldByReferenceAndDeliveredOnceComplete) {
    Viewer v;
    const Bytes frame = LogFrame(std::string(983, 'q'));  // 16 + 983 + NUL
    ASSERT_EQ(1000u, frame.size());

    auto c1 = v.Feed(1, frame, 0, 400);
    ASSERT_EQ(1u, v.Pending(1).size());
    EXPECT_EQ(c1.get(), v.Pending(1)[0].data.get()) << "the first piece must share the chunk, not copy it";
    EXPECT_EQ(400, v.Pending(1)[0].len);
    EXPECT_EQ(1000, v.Pending(1)[0].frameLen);

    auto c2 = v.Feed(1, frame, 400, 400);
    ASSERT_EQ(2u, v.Pending(1).size());
    EXPECT_EQ(c2.get(), v.Pending(1)[1].data.get());
    EXPECT_EQ(1000, v.Pending(1)[1].frameLen);
    EXPECT_TRUE(v.events.empty());

    v.Feed(1, frame, 800, 200);  // pending sum reaches exactly 1000
    EXPECT_EQ(Events{"log:" + std::string(983, 'q')}, v.events);
    EXPECT_TRUE(v.Pending(1).empty());

    // A chunk that completes one frame and carries the whole next one.
    const Bytes two = Cat({frame, LogFrame("next")});
    v.Feed(1, two, 0, 700);
    v.Feed(1, two, 700, two.size() - 700);
    EXPECT_EQ(3u, v.events.size());
    EXPECT_EQ("log:next", v.events.back());
    EXPECT_TRUE(v.Pending(1).empty());
}

TEST(ReceivePath, RemainderAfterWholeFramesIsCopiedWithItsFrameSize) {
    Viewer v;
    const Bytes third = LogFrame("third frame");
    const Bytes stream = Cat({LogFrame("one"), LogFrame("two"), third});
    const size_t cut = stream.size() - third.size() + 10;

    auto chunk = v.Feed(1, stream, 0, cut);
    EXPECT_EQ((Events{"log:one", "log:two"}), v.events);
    ASSERT_EQ(1u, v.Pending(1).size());
    const RecvFragment& piece = v.Pending(1)[0];
    EXPECT_EQ(10, piece.len);
    EXPECT_EQ(0, piece.frameLen) << "10 bytes are too few to read the header";
    EXPECT_NE(chunk.get(), piece.data.get()) << "the remainder must be a copy so the chunk can be freed";
    EXPECT_EQ(0, std::memcmp(piece.data.get(), third.data(), 10));

    v.Feed(1, stream, cut, 3);  // still no header: joined, still pending
    ASSERT_EQ(1u, v.Pending(1).size());
    EXPECT_EQ(13, v.Pending(1)[0].len);
    EXPECT_EQ(0, v.Pending(1)[0].frameLen);
    v.Feed(1, stream, cut + 3, stream.size() - cut - 3);
    EXPECT_EQ((Events{"log:one", "log:two", "log:third frame"}), v.events);
    EXPECT_TRUE(v.Pending(1).empty());

    // Whole frames plus the first 100 bytes of a 500-byte frame.
    v.events.clear();
    const Bytes big = LogFrame(std::string(483, 'b'));
    ASSERT_EQ(500u, big.size());
    const Bytes s2 = Cat({LogFrame("x"), LogFrame("y"), big});
    const size_t head = s2.size() - 400;
    auto c = v.Feed(2, s2, 0, head);
    EXPECT_EQ((Events{"log:x", "log:y"}), v.events);
    ASSERT_EQ(1u, v.Pending(2).size());
    EXPECT_EQ(100, v.Pending(2)[0].len);
    EXPECT_EQ(500, v.Pending(2)[0].frameLen);
    EXPECT_NE(c.get(), v.Pending(2)[0].data.get());
    auto c2 = v.Feed(2, s2, head, 150);
    auto c3 = v.Feed(2, s2, head + 150, 150);
    ASSERT_EQ(3u, v.Pending(2).size());
    EXPECT_EQ(c2.get(), v.Pending(2)[1].data.get());
    EXPECT_EQ(c3.get(), v.Pending(2)[2].data.get());
    EXPECT_EQ(2u, v.events.size());
    v.Feed(2, s2, head + 300, 100);
    EXPECT_EQ("log:" + std::string(483, 'b'), v.events.back());
    EXPECT_TRUE(v.Pending(2).empty());
}

TEST(ReceivePath, SixteenByteFrameWaitsForOneMoreByte) {
    Viewer v;
    const Bytes empty = RawImageFrame({});  // header only, no records
    ASSERT_EQ(16u, empty.size());
    const Bytes stream = Cat({LogFrame("before"), empty, LogFrame("after")});
    const size_t afterAt = stream.size() - LogFrame("after").size();

    auto chunk = v.Feed(1, stream, 0, afterAt);
    EXPECT_EQ(Events{"log:before"}, v.events);
    ASSERT_EQ(1u, v.Pending(1).size());
    EXPECT_EQ(16, v.Pending(1)[0].len);
    EXPECT_EQ(0, v.Pending(1)[0].frameLen);

    v.Feed(1, stream, afterAt, 1);  // the empty frame is handled, one byte remains
    ASSERT_EQ(1u, v.Pending(1).size());
    EXPECT_EQ(1, v.Pending(1)[0].len);
    EXPECT_EQ(stream[afterAt], v.Pending(1)[0].data.get()[0]);
    v.Feed(1, stream, afterAt + 1, stream.size() - afterAt - 1);
    EXPECT_EQ((Events{"log:before", "log:after"}), v.events);
    EXPECT_TRUE(v.Pending(1).empty());
}

TEST(ReceivePath, UnknownMessageTypeDropsTheRestOfTheChunkOnly) {
    for (int32_t badType : {0, 4, -1}) {
        SCOPED_TRACE(badType);
        Viewer v;
        // The valid frame hidden behind the bad header is not searched for.
        v.Feed(1, Cat({HandFrame(badType, 0, 5, 0, Pattern(5, 1)), LogFrame("hidden")}));
        EXPECT_TRUE(v.events.empty());
        EXPECT_TRUE(v.Pending(1).empty());
        v.Feed(1, LogFrame("next chunk"));
        EXPECT_EQ(Events{"log:next chunk"}, v.events);

        // Frames before the bad header in the same chunk are still delivered.
        v.Feed(1, Cat({LogFrame("first"), HandFrame(badType, 0, 0, 0, Pattern(40, 2)), LogFrame("lost")}));
        EXPECT_EQ((Events{"log:next chunk", "log:first"}), v.events);
        EXPECT_TRUE(v.Pending(1).empty());
        v.Feed(1, LogFrame("again"));
        EXPECT_EQ("log:again", v.events.back());
    }
}

TEST(ReceivePath, ImageRecordsAreDeliveredInOrderWithExactBuffers) {
    Viewer v;
    const Bytes b0 = Pattern(1000, 1), b1 = Pattern(3, 2), b3 = Pattern(257, 4);
    // Channel order 0..3; the third slot carries an empty image.
    const Bytes frame = WriterImageFrame(
        {Slot(0, 0, b0, 10), Slot(1, 3, b1, 0xFFFFFFFFFFFFFFFFull), Slot(2, 1, {}, 1ull << 40), Slot(2, 3, b3, 13)});
    ASSERT_EQ(1, GetI32(frame.data() + 4)) << "writer frames are compressed";
    v.Feed(1, frame);
    ASSERT_EQ((Events{"img:10:1000", "img:18446744073709551615:3", "img:1099511627776:0", "img:13:257"}), v.events);
    EXPECT_EQ(b0, v.images[0].bytes);
    EXPECT_EQ(b1, v.images[1].bytes);
    EXPECT_EQ(b3, v.images[3].bytes);
    const int attrs0[5] = {0, 100, 0, 4096, 0};
    const int attrs3[5] = {2, 102, -2, 4096, 3};
    EXPECT_TRUE(std::equal(attrs0, attrs0 + 5, v.images[0].attr));
    EXPECT_TRUE(std::equal(attrs3, attrs3 + 5, v.images[3].attr));
    // Each image owns a buffer of its own that outlives the delivery.
    for (const Image& im : v.images) {
        EXPECT_EQ(1, im.data.use_count()) << "the receive path must drop its reference after the callback";
        if (im.len > 0) {
            EXPECT_EQ(0, std::memcmp(im.data.get(), im.bytes.data(), im.bytes.size()));
        }
    }
    EXPECT_NE(v.images[0].data.get(), v.images[3].data.get());

    // Raw records: the tag sits unaligned at offset 4 and survives as is.
    v.events.clear();
    v.images.clear();
    v.Feed(2, RawImageFrame(Cat({Record(7, 0x0102030405060708ull, 5, Pattern(5, 9)), Record(-3, 1, 2, {9, 8})})));
    ASSERT_EQ((Events{"img:72623859790382856:5", "img:1:2"}), v.events);
    const int attrsRaw[5] = {-3, -2, -1, 0, 1};
    EXPECT_TRUE(std::equal(attrsRaw, attrsRaw + 5, v.images[1].attr));
    EXPECT_EQ((Bytes{9, 8}), v.images[1].bytes);
    EXPECT_EQ(Pattern(5, 9), v.images[0].bytes);
}

TEST(ReceivePath, ImageFramesWithoutImageCallbackAreConsumedQuietly) {
    StdoutCapture out;
    Viewer v(/*withLog=*/true, /*withImage=*/false);
    const Bytes records = Record(1, 2, 64, Pattern(64, 3));
    v.Feed(1, Cat({CompressedImageFrame(records), LogFrame("a"), RawImageFrame(records), LogFrame("b")}));
    EXPECT_EQ((Events{"log:a", "log:b"}), v.events);
    EXPECT_TRUE(v.Pending(1).empty());
    EXPECT_EQ("", out.Text());
}

TEST(ReceivePath, LogTextEndsAtTheFirstNul) {
    Viewer v;
    v.Feed(1, HandFrame(MSG_LOG, 0, 8, 0, {'a', 'b', 'c', 0, 'x', 'y', 'z', 0}));
    v.Feed(1, HandFrame(MSG_LOG, 0, 4, 0, {0, 'q', 'r', 0}));
    v.Feed(1, LogFrame(""));
    EXPECT_EQ((Events{"log:abc", "log:", "log:"}), v.events);
}

TEST(ReceivePath, MalformedFramesAreDroppedAndTheStreamRecovers) {
    struct Case {
        const char* name;
        Bytes frame;
        bool dropsRestOfChunk;  // header fault; else only this frame is skipped
    };
    const Bytes records = Cat({Record(1, 1, 40, Pattern(40, 1)), Record(2, 2, 30, Pattern(30, 2))});
    const Bytes z = Deflate(records);
    const int32_t zLen = static_cast<int32_t>(z.size());
    const int32_t rawLen = static_cast<int32_t>(records.size());
    Bytes corrupt = z;
    for (size_t i = 2; i < corrupt.size(); i += 3) corrupt[i] ^= 0x5A;

    const std::vector<Case> cases = {
        {"negative dataLen", HandFrame(MSG_LOG, 0, -5, 0, Pattern(20, 1)), true},
        {"dataLen INT_MIN", HandFrame(MSG_CMD, 0, INT_MIN, 0, Pattern(20, 1)), true},
        {"frame one byte over the limit", HandFrame(MSG_IMAGE, 0, kMaxFrameLen - 15, 0, Pattern(20, 1)), true},
        {"log without NUL", HandFrame(MSG_LOG, 0, 5, 0, {'h', 'e', 'l', 'l', 'o'}), false},
        {"empty log payload", HandFrame(MSG_LOG, 0, 0, 0), false},
        {"rawLen 0xFFFFFFFF", HandFrame(MSG_IMAGE, 1, zLen, -1, z), false},
        {"rawLen over the raw limit", HandFrame(MSG_IMAGE, 1, 100000, kMaxRawLen + 1, Pattern(100000, 3)), false},
        {"rawLen above the deflate ratio", HandFrame(MSG_IMAGE, 1, zLen, zLen * 1032 + 100, z), false},
        {"inflates to fewer than rawLen", HandFrame(MSG_IMAGE, 1, zLen, rawLen + 1, z), false},
        {"inflates to more than rawLen", HandFrame(MSG_IMAGE, 1, zLen, rawLen - 1, z), false},
        {"corrupt deflate stream", HandFrame(MSG_IMAGE, 1, zLen, rawLen, corrupt), false},
        {"compressed flag 2", HandFrame(MSG_IMAGE, 2, rawLen, rawLen, records), false},
        {"negative imageLen", RawImageFrame(Record(1, 1, -1, Pattern(8, 1))), false},
        {"record past the payload",
         RawImageFrame(Cat({Record(1, 1, 10, Pattern(10, 1)), Record(2, 2, 11, Pattern(10, 1))})), false},
        {"short record header at the end", RawImageFrame(Cat({Record(1, 1, 4, Pattern(4, 1)), Pattern(31, 2)})), false},
        {"compressed records past their end", CompressedImageFrame(Record(1, 1, 50, Pattern(49, 1))), false},
        {"command with dataLen 16", HandFrame(MSG_CMD, 0, 16, 0, {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}),
         false},
    };

    StdoutCapture out;
    Viewer v;
    const int logClosed = v.mgr.m_logClosed, imageClosed = v.mgr.m_imageClosed;
    unsigned long long conn = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++conn;
        v.events.clear();
        v.Feed(conn, Cat({c.frame, LogFrame("after")}));
        EXPECT_TRUE(v.Pending(conn).empty());
        if (c.dropsRestOfChunk) {
            EXPECT_TRUE(v.events.empty());
            v.Feed(conn, LogFrame("next"));
            EXPECT_EQ(Events{"log:next"}, v.events);
        } else {
            EXPECT_EQ(Events{"log:after"}, v.events);
        }
    }
    EXPECT_EQ(logClosed, v.mgr.m_logClosed.load()) << "a short command frame must not be applied";
    EXPECT_EQ(imageClosed, v.mgr.m_imageClosed.load());
    EXPECT_EQ("", out.Text()) << "malformed frames are dropped without a message";
}

TEST(ReceivePath, HugeDeclaredLengthsAllocateNothing) {
    Viewer v;
    const long long before = travik_test::RssBytes();
    v.Feed(1, Cat({HandFrame(MSG_IMAGE, 1, INT_MAX, INT_MAX, Pattern(100, 1)), LogFrame("hidden")}));
    EXPECT_TRUE(v.Pending(1).empty());
    EXPECT_TRUE(v.events.empty());
    v.Feed(1, LogFrame("next"));
    EXPECT_EQ(Events{"log:next"}, v.events);

    // The largest accepted frames only wait; what they hold grows with the
    // bytes that arrived, not with the size announced.
    v.Feed(2, HandFrame(MSG_LOG, 0, kMaxFrameLen - 16, 0, Pattern(100, 2)));
    v.Feed(3, HandFrame(MSG_IMAGE, 0, kMaxFrameLen - 16, 0, Pattern(100, 2)));
    ASSERT_EQ(1u, v.Pending(2).size());
    EXPECT_EQ(kMaxFrameLen, v.Pending(2)[0].frameLen);
    v.Feed(2, Pattern(1000, 3));
    v.Feed(3, Pattern(1000, 3));
    EXPECT_FALSE(v.Pending(2).empty());
    EXPECT_EQ(2u, v.Pending(3).size());
    EXPECT_LT(travik_test::RssBytes() - before, 50ll << 20);
    EXPECT_EQ(Events{"log:next"}, v.events);

    v.mgr.Release();  // a partial frame does not survive a release
    EXPECT_TRUE(v.mgr.m_recvFragments.empty());
    EXPECT_TRUE(v.mgr.m_recvLogText.empty());
    v.Feed(2, LogFrame("fresh"));
    EXPECT_EQ((Events{"log:next", "log:fresh"}), v.events);
}

TEST(ReceivePath, ConnectionsReassembleIndependently) {
    Viewer v;
    const Bytes a = Cat({LogFrame("a1"), LogFrame(std::string(300, 'A'))});
    const Bytes b = Cat({LogFrame("b1"), LogFrame("b2")});
    v.Feed(10, a, 0, 5);
    v.Feed(11, b, 0, 30);  // b1 whole, b2 partial
    EXPECT_EQ(Events{"log:b1"}, v.events);
    v.Feed(10, a, 5, 100);  // a1 whole, the 300-byte frame begins
    v.Feed(11, b, 30, 1);
    EXPECT_EQ((Events{"log:b1", "log:a1"}), v.events);
    EXPECT_FALSE(v.Pending(10).empty());
    EXPECT_FALSE(v.Pending(11).empty());
    v.Feed(11, b, 31, b.size() - 31);
    v.Feed(10, a, 105, a.size() - 105);
    EXPECT_EQ((Events{"log:b1", "log:a1", "log:b2", "log:" + std::string(300, 'A')}), v.events);
    EXPECT_TRUE(v.Pending(10).empty());
    EXPECT_TRUE(v.Pending(11).empty());
}

TEST(ReceivePath, AnyChunkingOfAStreamDeliversTheSameCallbacks) {
    const Bytes stream = Cat({
        LogFrame("first line"),
        WriterImageFrame({Slot(0, 0, Pattern(300, 1), 1), Slot(1, 3, Pattern(20, 2), 2)}),
        CmdFrame(SWITCH_ON, SWITCH_KEEP, {SWITCH_OFF, 0, 0, 0}, 25),
        RawImageFrame(Cat({Record(9, 3, 17, Pattern(17, 3)), Record(8, 4, 0, {})})),
        RawImageFrame({}),
        LogFrame(""),
        HandFrame(MSG_LOG, 0, 6, 0, {'t', 'a', 0, 'i', 'l', 0}),
        WriterImageFrame({Slot(2, 1, Pattern(64, 5), 5)}),
        LogFrame("last line"),
    });
    const Events expected = {"log:first line", "img:1:300", "img:2:20", "img:3:17",     "img:4:0",
                             "log:",           "log:ta",    "img:5:64", "log:last line"};
    StdoutCapture out;  // the command frame prints its effects once per pass
    Viewer v;
    v.Feed(1, stream);
    ASSERT_EQ(expected, v.events);
    int passes = 1;

    for (size_t cut = 1; cut < stream.size(); ++cut) {
        v.events.clear();
        v.Feed(2, stream, 0, cut);
        v.Feed(2, stream, cut, stream.size() - cut);
        ++passes;
        ASSERT_EQ(expected, v.events) << "split at " << cut;
        ASSERT_TRUE(v.Pending(2).empty()) << "split at " << cut;
    }

    std::mt19937 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        v.events.clear();
        const size_t maxChunk = round % 3 == 0 ? 4 : (round % 3 == 1 ? 64 : 700);
        std::uniform_int_distribution<size_t> size(1, maxChunk);
        for (size_t off = 0; off < stream.size();) {
            const size_t n = std::min(size(rng), stream.size() - off);
            v.Feed(3, stream, off, n);
            off += n;
        }
        ++passes;
        ASSERT_EQ(expected, v.events) << "round " << round;
        ASSERT_TRUE(v.Pending(3).empty());
    }

    // Each pass applied the command frame exactly once.
    const std::string text = out.Text();
    size_t applied = 0;
    for (size_t at = text.find("m_sendInterval = 25\n"); at != std::string::npos;
         at = text.find("m_sendInterval = 25\n", at + 1)) {
        ++applied;
    }
    EXPECT_EQ(static_cast<size_t>(passes), applied);
    EXPECT_EQ(25, v.mgr.m_sendInterval.load());
    EXPECT_EQ(0, v.mgr.m_sendImagesOnOff[0].load());
}

// Large log frames that arrive in pieces are copied into the text as the
// pieces arrive: whatever the chunking, each text (cut at its first NUL,
// dropped without one) and the frames after it come out as from the whole
// stream.
TEST(ReceivePath, LargeLogFramesInPiecesGiveTheSameTexts) {
    std::string big(200000, ' ');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    Bytes early(big.begin(), big.begin() + 90000);
    early[70000] = 0;
    early.push_back(0);
    const Bytes stream =
        Cat({LogFrame(big), LogFrame("after"), HandFrame(MSG_LOG, 0, static_cast<int32_t>(early.size()), 0, early),
             HandFrame(MSG_LOG, 0, 100000, 0, Bytes(100000, 'n')), LogFrame("tail")});
    const Events expected = {"log:" + big, "log:after", "log:" + big.substr(0, 70000), "log:tail"};
    Viewer v;
    v.Feed(1, stream);
    ASSERT_EQ(expected, v.events);
    // 1000-byte chunks exceed the pieces held by reference (gathered), the
    // others are held; several end inside a header or right after a frame.
    for (size_t chunk : {1000u, 65536u, 99999u, 200016u, 300001u}) {
        v.events.clear();
        for (size_t off = 0; off < stream.size(); off += chunk)
            v.Feed(2, stream, off, std::min(chunk, stream.size() - off));
        EXPECT_EQ(expected, v.events) << "chunks of " << chunk;
        EXPECT_TRUE(v.Pending(2).empty()) << "chunks of " << chunk;
    }
}

TEST(ReceivePath, ThrowingCallbackIsReportedOnceAndLaterFramesArrive) {
    StdoutCapture out;
    Viewer v;
    v.mgr.SetLogCb([&](std::string& text) {
        v.events.push_back("log:" + text);
        if (text == "throw") throw std::runtime_error("boom");
    });
    v.Feed(1, Cat({LogFrame("throw"), LogFrame("same chunk")}));
    v.Feed(1, LogFrame("next chunk"));
    EXPECT_EQ((Events{"log:throw", "log:same chunk", "log:next chunk"}), v.events);
    EXPECT_TRUE(v.Pending(1).empty());
    const std::string text = out.Text();
    EXPECT_NE(std::string::npos, text.find("boom")) << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
}

TEST(ReceivePath, FrameInManyTinyPiecesIsGatheredIntoOneBoundedBuffer) {
    Viewer v;
    const std::string text(20000, 'x');
    Bytes frame = Cat({LogFrame(text), LogFrame("after")});
    const int firstLen = static_cast<int>(LogFrame(text).size());
    // Byte by byte up to the last byte of the first frame: a peer dripping a
    // frame must not cost a buffer and a vector entry per byte.
    for (int i = 0; i < firstLen - 1; ++i) {
        v.Feed(7, frame, static_cast<size_t>(i), 1);
        const std::vector<RecvFragment>& pending = v.Pending(7);
        ASSERT_LE(pending.size(), 64u) << "after byte " << i;
        if (pending.size() == 1 && pending[0].capacity > 0) {
            ASSERT_LE(pending[0].capacity, firstLen);
            ASSERT_LE(pending[0].capacity, std::max(2 * (i + 1), 64 * 1024));
        }
    }
    EXPECT_TRUE(v.events.empty());
    v.Feed(7, frame, static_cast<size_t>(firstLen - 1), frame.size() - static_cast<size_t>(firstLen - 1));
    EXPECT_EQ((Events{"log:" + text, "log:after"}), v.events);
    EXPECT_TRUE(v.Pending(7).empty());
}
