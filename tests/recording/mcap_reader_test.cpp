// The recording format through its writer and reader: what is written
// reads back, in order, with zstd or stored chunks; every cut of a file
// reads up to its last whole chunk; broken and foreign bytes give an error
// with an offset and nothing more. The fuzz target's seeds replay here too.
#include <dirent.h>
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/mcap_crafted.h"
#include "../../fuzz/mcap_reader_driver.h"
#include "recording/mcap/recording.h"

namespace {

using travik_mcap::Bytes;
using travik_mcap::ScanResult;

struct Sent {
    int channel;  // -1: log
    int attrs[5];
    uint64_t tag;
    std::string bytes;
};

// A recording whose messages `body` writes, through a file, returned as bytes.
// A file name of this test's own in the temporary folder (ctest runs cases
// as parallel processes: the clock tells them apart).
std::string TempPath() {
    static std::atomic<int> next{0};
    return ::testing::TempDir() + "travik_mcap_test_" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" + std::to_string(next++);
}

using Body = std::function<void(travik_mcap::Writer&, const travik_mcap::RecordingChannels&)>;
Bytes WriteWith(travik_mcap::Layout layout, bool zstd, size_t chunkBytes, const Body& body) {
    const std::string path = TempPath();
    travik_mcap::Writer w;
    travik_mcap::WriterOptions o;
    o.zstd = zstd;
    o.chunkBytes = chunkBytes;
    std::string error;
    EXPECT_TRUE(w.Open(path, o, error)) << error;
    travik_mcap::RecordingChannels ids;
    EXPECT_TRUE(travik_mcap::AddRecordingChannels(w, ids, layout));
    body(w, ids);
    EXPECT_TRUE(w.Close()) << w.Error();
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::remove(path.c_str());
    return bytes;
}

bool WriteBytes(travik_mcap::Writer& w, uint16_t channel, uint64_t t, const std::string& message) {
    return w.Write(channel, t, t, nullptr, 0, reinterpret_cast<const uint8_t*>(message.data()), message.size());
}

// A recording of `messages`; `rawImageMessage`, when given, is written as it
// is on channel 0's image topic.
Bytes WriteRecording(const std::vector<Sent>& messages, bool zstd, size_t chunkBytes,
                     travik_mcap::Layout layout = travik_mcap::Layout::kFoxglove,
                     const std::string& rawImageMessage = "") {
    return WriteWith(layout, zstd, chunkBytes, [&](travik_mcap::Writer& w, const travik_mcap::RecordingChannels& ids) {
        uint64_t t = 1700000000000000000ull;
        std::string scratch;
        for (const Sent& s : messages) {
            t += 1000;
            const uint8_t* body = reinterpret_cast<const uint8_t*>(s.bytes.data());
            if (s.channel < 0) {
                EXPECT_TRUE(travik_mcap::WriteLog(w, ids, t, body, s.bytes.size(), scratch));
            } else {
                EXPECT_TRUE(
                    travik_mcap::WriteImage(w, ids, t, s.channel, s.attrs, s.tag, body, s.bytes.size(), scratch));
            }
        }
        if (!rawImageMessage.empty()) {
            EXPECT_TRUE(WriteBytes(w, ids.image[0], t + 1000, rawImageMessage));
        }
    });
}

std::vector<Sent> SampleSession() {
    std::vector<Sent> out;
    for (int i = 0; i < 40; ++i) {
        if (i % 5 == 0) out.push_back({-1, {}, 0, "log line " + std::to_string(i) + "\n"});
        // Opaque bytes (every other one a JPEG by its magic), gray and RGB pixels.
        const int c = i % 4, format = i % 3 == 0 ? 2 : i % 3 == 1 ? 1 : 3;
        std::string pixels(format == 2 ? 200 + 37 * i : 20 * (10 + i) * format, static_cast<char>(i));
        pixels[0] = static_cast<char>(255 - i);
        if (i % 6 == 0) pixels.replace(0, 3, "\xff\xd8\xff");
        out.push_back({c, {c >= 2 ? 2 : 1, format, 20, 10 + i, c % 2 ? 3 : 1}, 1000000ull * i + 7, pixels});
    }
    return out;
}

struct ReadBack {
    ScanResult result;
    std::vector<Sent> messages;
};

ReadBack ReadAll(const Bytes& file) {
    travik_mcap::MemorySource src(file.data(), file.size());
    travik_mcap::Reader reader(src);
    ReadBack rb;
    travik_mcap::MessageDecoder decoder;
    rb.result = reader.Scan([&](const travik_mcap::Channel& ch, const travik_mcap::Message& m) {
        travik_mcap::Decoded d;
        std::string error;
        EXPECT_TRUE(decoder.Decode(ch, m, d, error)) << error;
        if (d.kind == travik_mcap::Decoded::kOther) return true;  // an image's info
        Sent s{d.kind == travik_mcap::Decoded::kLog ? -1 : d.channel,
               {},
               d.tag,
               std::string(reinterpret_cast<const char*>(d.data), d.size)};
        std::copy(d.attrs, d.attrs + 5, s.attrs);
        rb.messages.push_back(s);
        return true;
    });
    return rb;
}

void ExpectSame(const std::vector<Sent>& got, const std::vector<Sent>& want, size_t count) {
    ASSERT_GE(want.size(), count);
    ASSERT_EQ(got.size(), count);
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].channel, want[i].channel);
        EXPECT_EQ(got[i].bytes, want[i].bytes);
        if (want[i].channel >= 0) {
            EXPECT_EQ(got[i].tag, want[i].tag);
            EXPECT_TRUE(std::equal(got[i].attrs, got[i].attrs + 5, want[i].attrs));
        }
    }
}

// Both layouts: the Foxglove one recordings are written in, and the travik
// one of files from earlier versions.
class McapLayouts : public ::testing::TestWithParam<travik_mcap::Layout> {};
INSTANTIATE_TEST_SUITE_P(Recording, McapLayouts,
                         ::testing::Values(travik_mcap::Layout::kFoxglove, travik_mcap::Layout::kTravik),
                         [](const ::testing::TestParamInfo<travik_mcap::Layout>& p) {
                             return p.param == travik_mcap::Layout::kFoxglove ? "Foxglove" : "Travik";
                         });

TEST_P(McapLayouts, ZstdAndStoredChunksReadBackInOrderWithTheirSummary) {
    const std::vector<Sent> session = SampleSession();
    // The Foxglove layout writes an info message before each image.
    size_t written = session.size();
    if (GetParam() == travik_mcap::Layout::kFoxglove)
        written += static_cast<size_t>(
            std::count_if(session.begin(), session.end(), [](const Sent& s) { return s.channel >= 0; }));
    for (bool zstd : {true, false}) {
        SCOPED_TRACE(zstd ? "zstd" : "stored");
        const Bytes file = WriteRecording(session, zstd, 2048, GetParam());  // many chunks
        ReadBack rb = ReadAll(file);
        EXPECT_EQ(rb.result.status, ScanResult::kComplete) << rb.result.error;
        EXPECT_TRUE(rb.result.dataEnd);
        EXPECT_GT(rb.result.chunks, 5u);
        ExpectSame(rb.messages, session, session.size());
        travik_mcap::MemorySource src(file.data(), file.size());
        travik_mcap::Reader reader(src);
        travik_mcap::SummaryInfo info;
        std::string error;
        ASSERT_TRUE(reader.ReadSummary(info, error)) << error;
        EXPECT_TRUE(info.present);
        EXPECT_TRUE(info.hasStatistics);
        EXPECT_EQ(info.messages, written);
        EXPECT_EQ(info.chunks, rb.result.chunks);
    }
}

TEST_P(McapLayouts, EveryCutReadsUpToItsLastWholeChunk) {
    const std::vector<Sent> session = SampleSession();
    const Bytes file = WriteRecording(session, true, 1024, GetParam());
    const size_t whole = ReadAll(file).result.chunks;
    size_t lastCount = 0, lastChunks = 0;
    for (size_t cut = 0; cut < file.size(); cut += cut < 64 ? 1 : 5) {  // every header byte, then a stride
        Bytes part(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
        ReadBack rb = ReadAll(part);
        SCOPED_TRACE(cut);
        ASSERT_NE(rb.result.status, ScanResult::kStopped);
        if (cut < 8) {
            EXPECT_EQ(rb.result.status, ScanResult::kCorrupt);  // not even the magic
            continue;
        }
        // What a cut gives is a prefix of the session that only grows as the
        // cut moves on; only a cut inside the summary reads the data whole.
        if (rb.result.status == ScanResult::kComplete) {
            EXPECT_EQ(rb.messages.size(), session.size());
        } else {
            EXPECT_EQ(rb.result.status, ScanResult::kTruncated);
            EXPECT_NE(rb.result.error.find("offset"), std::string::npos) << rb.result.error;
        }
        ExpectSame(rb.messages, session, rb.messages.size());
        EXPECT_GE(rb.messages.size(), lastCount);
        EXPECT_GE(rb.result.chunks, lastChunks);
        lastCount = rb.messages.size();
        lastChunks = rb.result.chunks;
    }
    EXPECT_EQ(lastChunks, whole);
    EXPECT_EQ(lastCount, session.size());
}

TEST(McapRecording, BrokenAndForeignBytesGiveAnErrorWithItsOffset) {
    const std::vector<Sent> session = SampleSession();
    const Bytes file = WriteRecording(session, false, 4096);
    // A flipped byte inside the first chunk's records: its CRC no longer
    // matches, and the chunk is skipped with its offset named.
    travik_mcap::MemorySource probe(file.data(), file.size());
    size_t chunkAt = 0;
    for (size_t i = 8; i + 9 < file.size(); i += 9 + travik_mcap::Get64(&file[i + 1])) {
        if (file[i] == travik_mcap::kOpChunk) {
            chunkAt = i;
            break;
        }
    }
    ASSERT_GT(chunkAt, 0u);
    Bytes flipped = file;
    flipped[chunkAt + 200] ^= 0x40;
    ReadBack rb = ReadAll(flipped);
    EXPECT_EQ(rb.result.status, ScanResult::kComplete);
    EXPECT_EQ(rb.result.skippedChunks, 1u);
    EXPECT_NE(rb.result.skipped.find("CRC mismatch at offset " + std::to_string(chunkAt)), std::string::npos)
        << rb.result.skipped;
    EXPECT_LT(rb.messages.size(), session.size());

    // A chunk length that claims more than the file holds, in a closed file.
    Bytes huge = file;
    for (int b = 0; b < 8; ++b) huge[chunkAt + 1 + b] = 0x7f;
    rb = ReadAll(huge);
    EXPECT_EQ(rb.result.status, ScanResult::kCorrupt);
    EXPECT_NE(rb.result.error.find("past the end of the file"), std::string::npos) << rb.result.error;

    // Protobuf messages whose data field claims more bytes than follow, or
    // that end inside a varint, are refused by name, with the offset.
    for (const std::string& bad : {std::string("\x32\x05"
                                               "ab",
                                               4),
                                   std::string("\x0a\x80", 2)}) {
        const Bytes withBad = WriteRecording({}, false, 4096, travik_mcap::Layout::kFoxglove, bad);
        travik_mcap::MemorySource src(withBad.data(), withBad.size());
        travik_mcap::Reader reader(src);
        travik_mcap::MessageDecoder decoder;
        std::string error;
        reader.Scan([&](const travik_mcap::Channel& ch, const travik_mcap::Message& m) {
            travik_mcap::Decoded d;
            return decoder.Decode(ch, m, d, error);
        });
        EXPECT_NE(error.find("malformed raw image message (chunk at offset "), std::string::npos) << error;
    }

    const std::string foreign = "P5\n2 2\n255\nabcd";
    rb = ReadAll(Bytes(foreign.begin(), foreign.end()));
    EXPECT_EQ(rb.result.status, ScanResult::kCorrupt);
    EXPECT_EQ(rb.result.error, "not an MCAP file (no MCAP magic at offset 0)");
}

// Attributes come from the file and are hostile: an image's info that
// selects another channel than the image's topic is not taken, sizes whose
// pixel count overflows are opaque bytes, and in the travik layout the
// header, not the topic, picks the channel.
TEST(McapRecording, AnImageKeepsToTheChannelItsAttributesSelect) {
    namespace fg = travik_tool::foxglove;
    const uint64_t t = 1700000000000000000ull;
    const std::string pixels = "abcd";
    auto info = [&](uint64_t time, std::vector<int> attrs, uint64_t tag) {
        fg::ImageInfo i;
        std::copy(attrs.begin(), attrs.end(), i.attrs);
        i.tag = tag;
        i.size = pixels.size();
        std::string out;
        fg::AppendImageInfo(out, time, "channel0", i);
        return out;
    };
    auto raw = [&](uint64_t time) {
        std::string out;
        fg::AppendRawImage(out, time, "channel0", 2, 2, "mono8", 2, pixels);
        return out;
    };
    const Bytes fox = WriteWith(travik_mcap::Layout::kFoxglove, false, 4096,
                                [&](travik_mcap::Writer& w, const travik_mcap::RecordingChannels& ids) {
                                    EXPECT_TRUE(WriteBytes(w, ids.info[0], t, info(t, {2, 1, 2, 2, 3}, 77)));
                                    EXPECT_TRUE(WriteBytes(w, ids.image[0], t, raw(t)));
                                    const std::vector<int> huge{1, 3, INT_MAX, INT_MAX, 1};
                                    EXPECT_TRUE(WriteBytes(w, ids.info[0], t + 1, info(t + 1, huge, 5)));
                                    EXPECT_TRUE(WriteBytes(w, ids.image[0], t + 1, raw(t + 1)));
                                });
    ReadBack rb = ReadAll(fox);
    ASSERT_EQ(rb.messages.size(), 2u);
    ExpectSame(rb.messages, {{0, {1, 1, 2, 2, 1}, 0, pixels}, {0, {1, 3, INT_MAX, INT_MAX, 1}, 5, pixels}}, 2);
    EXPECT_STREQ(travik_tool::ExtensionFor(travik_tool::kFormatRgb, INT_MAX, INT_MAX, 4), ".bin");
    EXPECT_TRUE(travik_fuzz::DriveMcapReader(fox.data(), fox.size(), nullptr));

    const Bytes old =
        WriteWith(travik_mcap::Layout::kTravik, false, 4096,
                  [&](travik_mcap::Writer& w, const travik_mcap::RecordingChannels& ids) {
                      const int attrs[5] = {2, 1, 2, 2, 3};
                      uint8_t head[travik_mcap::kImageHeader];
                      travik_mcap::EncodeImageHeader(attrs, 9, head);
                      EXPECT_TRUE(WriteBytes(w, ids.image[0], t,
                                             std::string(reinterpret_cast<char*>(head), sizeof head) + pixels));
                  });
    rb = ReadAll(old);
    ExpectSame(rb.messages, {{3, {2, 1, 2, 2, 3}, 9, pixels}}, 1);
    EXPECT_TRUE(travik_fuzz::DriveMcapReader(old.data(), old.size(), nullptr));
}

using travik_fuzz::ChannelRecord;
using travik_fuzz::Concat;
using travik_fuzz::CraftedMcap;
using travik_fuzz::MessageRecord;
using travik_fuzz::SchemaRecord;

ScanResult ScanCrafted(const Bytes& file, uint64_t* messages = nullptr) {
    travik_mcap::MemorySource src(file.data(), file.size());
    travik_mcap::Reader reader(src);
    ScanResult r = reader.Scan([](const travik_mcap::Channel&, const travik_mcap::Message&) { return true; });
    if (messages) *messages = r.messages;
    return r;
}

// A chunk past a limit is skipped, with the limit and its offset named.
void ExpectRefused(const Bytes& file, const std::string& what) {
    SCOPED_TRACE(what);
    ScanResult r = ScanCrafted(file);
    EXPECT_EQ(r.status, ScanResult::kComplete) << r.error;
    EXPECT_GE(r.skippedChunks, 1u);
    EXPECT_NE(r.skipped.find(what), std::string::npos) << r.skipped;
    EXPECT_NE(r.skipped.find("at offset "), std::string::npos) << r.skipped;
}

TEST(McapRecording, SchemasChannelsAndMetadataStayWithinTheirLimits) {
    // Names that fill a record to the limit exactly, metadata and channel
    // counts at their limits: all of it reads.
    const size_t nameAtLimit = travik_mcap::kMaxRecordBytes - travik_fuzz::kSchemaRecordFixed;
    std::vector<Bytes> channels;
    for (uint16_t id = 1; id <= travik_mcap::kMaxChannels; ++id) channels.push_back(ChannelRecord(id, 0));
    uint64_t messages = 0;
    ScanResult r =
        ScanCrafted(CraftedMcap({Concat({SchemaRecord(1, nameAtLimit),
                                         ChannelRecord(1, travik_mcap::kMaxMetadataEntries), MessageRecord(1)}),
                                 Concat(channels), MessageRecord(travik_mcap::kMaxChannels)}),
                    &messages);
    EXPECT_EQ(r.status, ScanResult::kComplete) << r.error;
    EXPECT_EQ(messages, 2u);

    // One byte over a record's limit, inside a chunk.
    ExpectRefused(CraftedMcap({SchemaRecord(1, nameAtLimit + 1)}), "schema record of");
    // Records at their limit, many of them, in one chunk or spread over several.
    std::vector<Bytes> bigSchemas;
    for (uint16_t id = 1; id <= travik_mcap::kMaxKeptBytes / travik_mcap::kMaxRecordBytes + 1; ++id)
        bigSchemas.push_back(SchemaRecord(id, nameAtLimit));
    ExpectRefused(CraftedMcap(bigSchemas), "kept");
    ExpectRefused(CraftedMcap({Concat(bigSchemas)}), "kept");
    std::vector<Bytes> schemas;
    for (uint16_t id = 1; id <= travik_mcap::kMaxSchemas + 1; ++id) schemas.push_back(SchemaRecord(id, 1));
    ExpectRefused(CraftedMcap({Concat(schemas)}), "schemas");
    channels.push_back(ChannelRecord(travik_mcap::kMaxChannels + 1, 0));
    ExpectRefused(CraftedMcap({Concat(channels)}), "channels");
    ExpectRefused(CraftedMcap({ChannelRecord(1, travik_mcap::kMaxMetadataEntries + 1)}), "metadata");
    // Many channels, each with metadata at the limit, exceed what is kept.
    std::vector<Bytes> heavy;
    for (uint16_t id = 1; id <= travik_mcap::kMaxKeptBytes / (16 * travik_mcap::kMaxMetadataEntries) + 1; ++id)
        heavy.push_back(ChannelRecord(id, travik_mcap::kMaxMetadataEntries));
    ExpectRefused(CraftedMcap({Concat(heavy)}), "kept");
}

// Bytes that cost nothing until written: anonymous pages, zero until then.
class Pages {
public:
#if defined(_WIN32)
    explicit Pages(size_t size) : m_size(size) {
        m_data = static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    ~Pages() {
        if (m_data) VirtualFree(m_data, 0, MEM_RELEASE);
    }
#else
    explicit Pages(size_t size) : m_size(size) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_data = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    }
    ~Pages() {
        if (m_data) munmap(m_data, m_size);
    }
#endif
    uint8_t* data() const { return m_data; }

private:
    uint8_t* m_data;
    size_t m_size;
};

// What a scan delivers of travik's messages: kind and bytes, in file order,
// with the offset of the chunk that held each.
struct Delivered {
    ScanResult result;
    std::vector<std::pair<uint64_t, std::string>> messages;
};
Delivered Deliver(travik_mcap::Source& source) {
    travik_mcap::Reader reader(source);
    travik_mcap::MessageDecoder decoder;
    Delivered out;
    out.result = reader.Scan([&](const travik_mcap::Channel& ch, const travik_mcap::Message& m) {
        travik_mcap::Decoded d;
        std::string error;
        EXPECT_TRUE(decoder.Decode(ch, m, d, error)) << error;
        if (d.kind != travik_mcap::Decoded::kOther)
            out.messages.emplace_back(m.recordOffset, std::to_string(d.kind) + ":" +
                                                          std::string(reinterpret_cast<const char*>(d.data), d.size));
        return true;
    });
    return out;
}

std::vector<std::string> BytesOf(const std::vector<std::pair<uint64_t, std::string>>& messages) {
    std::vector<std::string> out;
    for (const auto& m : messages) out.push_back(m.second);
    return out;
}

// The offsets of a file's chunk records.
std::vector<size_t> ChunkOffsets(const Bytes& file) {
    std::vector<size_t> at;
    for (size_t i = travik_mcap::kMagicSize; i + travik_mcap::kRecordPrefix <= file.size();
         i += travik_mcap::kRecordPrefix + travik_mcap::Get64(&file[i + 1])) {
        if (file[i] == travik_mcap::kOpChunk) at.push_back(i);
        if (file[i] == travik_mcap::kOpDataEnd) break;
    }
    return at;
}

// Writer and reader keep the same limits. A message too large for any chunk
// the reader takes (here 150 MiB, as a device or a NATS message may send) is
// refused alone: the writer goes on and every other message reads back, the
// image's info message is not left behind without it, and the summary
// counts what was written.
TEST(McapLimits, AMessageOverTheChunkLimitIsLeftOutAndEveryOtherMessageReads) {
    const std::vector<Sent> session = SampleSession();
    const size_t huge = 150u << 20;
    const Pages zeros(huge);
    ASSERT_NE(zeros.data(), nullptr);
    for (bool zstd : {true, false}) {
        SCOPED_TRACE(zstd ? "zstd" : "stored");
        size_t written = 0;
        const Bytes file = WriteWith(
            travik_mcap::Layout::kFoxglove, zstd, 4096,
            [&](travik_mcap::Writer& w, const travik_mcap::RecordingChannels& ids) {
                uint64_t t = 1700000000000000000ull;
                std::string scratch;
                for (size_t i = 0; i < session.size(); ++i) {
                    const Sent& s = session[i];
                    t += 1000;
                    if (i == session.size() / 2) {
                        const int attrs[5] = {1, 1, 16384, 9600, 1};  // gray, 150 MiB
                        EXPECT_FALSE(travik_mcap::WriteImage(w, ids, t, 0, attrs, 1, zeros.data(), huge, scratch));
                        EXPECT_FALSE(w.Failed()) << w.Error();
                        EXPECT_FALSE(w.Write(ids.log, t, t, nullptr, 0, zeros.data(), huge));
                        EXPECT_FALSE(w.Failed()) << w.Error();
                    }
                    const uint8_t* body = reinterpret_cast<const uint8_t*>(s.bytes.data());
                    if (s.channel < 0) {
                        EXPECT_TRUE(travik_mcap::WriteLog(w, ids, t, body, s.bytes.size(), scratch));
                    } else {
                        EXPECT_TRUE(travik_mcap::WriteImage(w, ids, t, s.channel, s.attrs, s.tag, body, s.bytes.size(),
                                                            scratch));
                    }
                }
                written = w.Messages();
            });
        const ReadBack rb = ReadAll(file);
        EXPECT_EQ(rb.result.status, ScanResult::kComplete) << rb.result.error;
        EXPECT_EQ(rb.result.skippedChunks, 0u) << rb.result.skipped;
        ExpectSame(rb.messages, session, session.size());
        EXPECT_EQ(rb.result.messages, written);  // no info message without its image
        travik_mcap::MemorySource src(file.data(), file.size());
        travik_mcap::Reader reader(src);
        travik_mcap::SummaryInfo info;
        std::string error;
        ASSERT_TRUE(reader.ReadSummary(info, error)) << error;
        EXPECT_EQ(info.messages, written);
    }
}

// The largest message that fits reads back, even as data zstd cannot shrink
// (compressed, it would be past the chunk limit; the writer stores it), and
// one byte more is refused.
TEST(McapLimits, TheLargestMessageThatFitsReadsBack) {
    const size_t largest = travik_mcap::kMaxMessageRecord - travik_mcap::kRecordPrefix - travik_mcap::kMessageFixed;
    const Pages noise(largest + 1);
    ASSERT_NE(noise.data(), nullptr);
    uint64_t x = 88172645463325252ull;
    for (size_t i = 0; i + 8 <= largest + 1; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(noise.data() + i, &x, 8);
    }
    const Bytes file =
        WriteWith(travik_mcap::Layout::kTravik, true, 4u << 20,
                  [&](travik_mcap::Writer& w, const travik_mcap::RecordingChannels& ids) {
                      EXPECT_FALSE(w.Write(ids.log, 5, 5, nullptr, 0, noise.data(), largest + 1));
                      EXPECT_FALSE(w.Failed()) << w.Error();
                      EXPECT_TRUE(w.Write(ids.log, 6, 6, nullptr, 0, reinterpret_cast<const uint8_t*>("a"), 1));
                      EXPECT_TRUE(w.Write(ids.log, 7, 7, nullptr, 0, noise.data(), largest)) << w.Error();
                      EXPECT_TRUE(w.Write(ids.log, 8, 8, nullptr, 0, reinterpret_cast<const uint8_t*>("b"), 1));
                  });
    travik_mcap::MemorySource src(file.data(), file.size());
    travik_mcap::Reader reader(src);
    std::vector<size_t> sizes;
    bool same = false;
    const ScanResult r = reader.Scan([&](const travik_mcap::Channel&, const travik_mcap::Message& m) {
        sizes.push_back(m.size);
        if (m.size == largest) same = std::memcmp(m.data, noise.data(), largest) == 0;
        return true;
    });
    EXPECT_EQ(r.status, ScanResult::kComplete) << r.error;
    EXPECT_EQ(r.skippedChunks, 0u) << r.skipped;
    EXPECT_EQ(sizes, (std::vector<size_t>{1, largest, 1}));
    EXPECT_TRUE(same);
    travik_mcap::SummaryInfo info;
    std::string error;
    EXPECT_TRUE(reader.ReadSummary(info, error)) << error;
}

// A broken chunk in the middle costs its own messages only: its length is
// known and inside the file, so the scan skips it, counts it, names it and
// reads on. Bytes flipped inside it (zstd or stored), and a length over the
// chunk limit (never read: the file holds a hole there).
TEST(McapLimits, ABrokenChunkInTheMiddleIsSkippedAndTheRestReads) {
    const std::vector<Sent> session = SampleSession();
    for (bool zstd : {true, false}) {
        SCOPED_TRACE(zstd ? "zstd" : "stored");
        const Bytes file = WriteRecording(session, zstd, 1024);
        const std::vector<size_t> chunks = ChunkOffsets(file);
        ASSERT_GE(chunks.size(), 5u);
        const size_t mid = chunks[chunks.size() / 2];
        travik_mcap::MemorySource wholeSource(file.data(), file.size());
        const Delivered whole = Deliver(wholeSource);
        ASSERT_EQ(whole.result.skippedChunks, 0u);
        std::vector<std::pair<uint64_t, std::string>> rest;
        for (const auto& m : whole.messages)
            if (m.first != mid) rest.push_back(m);
        ASSERT_LT(rest.size(), whole.messages.size());

        Bytes flipped = file;
        flipped[mid + travik_mcap::kRecordPrefix + travik_mcap::kChunkHeaderMax + 20] ^= 0x40;
        travik_mcap::MemorySource flippedSource(flipped.data(), flipped.size());
        const Delivered damaged = Deliver(flippedSource);
        EXPECT_EQ(damaged.result.status, ScanResult::kComplete) << damaged.result.error;
        EXPECT_TRUE(damaged.result.dataEnd);
        EXPECT_EQ(damaged.result.skippedChunks, 1u);
        EXPECT_EQ(damaged.result.chunks, chunks.size() - 1);
        EXPECT_NE(damaged.result.skipped.find("at offset " + std::to_string(mid)), std::string::npos)
            << damaged.result.skipped;
        EXPECT_EQ(damaged.messages, rest);
        EXPECT_NE(travik_mcap::DescribeSkipped(damaged.result).find("1 unreadable chunk skipped"), std::string::npos);

        // A chunk of 128 MiB and a byte, as the writer of earlier versions
        // could leave, put in before the middle one.
        const std::string path = TempPath();
        Bytes prefix;
        prefix.push_back(travik_mcap::kOpChunk);
        travik_mcap::Put64(prefix, travik_mcap::kMaxChunkBytes + 1);
        const auto hole = static_cast<std::streamoff>(travik_mcap::kMaxChunkBytes + 1);
        bool written = false;
        {
            // Seeking past the end leaves a hole that reads as zeros.
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(mid));
            out.write(reinterpret_cast<const char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));
            out.seekp(hole, std::ios::cur);
            out.write(reinterpret_cast<const char*>(file.data() + mid),
                      static_cast<std::streamsize>(file.size() - mid));
            out.close();
            written = static_cast<bool>(out);
        }
        // Removed after the source has closed it (Windows keeps open files).
        struct Remove {
            std::string path;
            ~Remove() { std::remove(path.c_str()); }
        } removeLater{path};
        travik_mcap::FileSource oversized;
        std::string error;
        const bool opened = written && oversized.Open(path, error);
        ASSERT_TRUE(opened) << error;
        const Delivered skipped = Deliver(oversized);
        EXPECT_EQ(skipped.result.status, ScanResult::kComplete) << skipped.result.error;
        EXPECT_EQ(skipped.result.skippedChunks, 1u);
        EXPECT_NE(skipped.result.skipped.find("exceeds the 128 MiB limit at offset " + std::to_string(mid)),
                  std::string::npos)
            << skipped.result.skipped;
        EXPECT_EQ(BytesOf(skipped.messages), BytesOf(whole.messages));
    }
}

std::vector<std::string> Seeds() {
    const std::string dir = std::string(TRAVIK_FUZZ_CORPUS_DIR) + "/mcap_reader";
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(McapRecording, FuzzSeedsKeepTheReadersInvariants) {
    const std::vector<std::string> files = Seeds();
    ASSERT_GE(files.size(), 4u);
    int complete = 0, broken = 0;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        std::ifstream in(f, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        travik_fuzz::McapDriveResult r;
        EXPECT_TRUE(travik_fuzz::DriveMcapReader(bytes.data(), bytes.size(), &r));
        if (r.status == ScanResult::kComplete && r.images > 0 && r.logs > 0 && r.summary) ++complete;
        if (r.status != ScanResult::kComplete) ++broken;
    }
    EXPECT_GE(complete, 2) << "the seeds must hold whole recordings (zstd and stored)";
    EXPECT_GE(broken, 2) << "and cut or damaged ones";
}

}  // namespace
