// Writes the seed corpus: small streams built with the protocol writers, each
// prefixed with a chunking plan (see receive_path_driver.h).
//   corpus_gen <corpus dir>   (writes <dir>/receive_path/* and <dir>/command/*)
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/frame_writer.h"
#include "protocol/wire.h"

using namespace travik;

namespace {

using Bytes = std::vector<unsigned char>;

void Append(Bytes& out, const ByteBuffer& b) { out.insert(out.end(), b.data.get(), b.data.get() + b.len); }

void AppendI32(Bytes& out, int32_t v) {
    unsigned char b[4];
    PutI32(b, v);
    out.insert(out.end(), b, b + 4);
}

void AppendHeader(Bytes& out, int32_t type, int32_t compressed, int32_t dataLen, int32_t rawLen) {
    AppendI32(out, type);
    AppendI32(out, compressed);
    AppendI32(out, dataLen);
    AppendI32(out, rawLen);
}

SendImageSt Slot(int attr1, int attr5, int len, unsigned long long tag) {
    SendImageSt s;
    s.attr1 = attr1;
    s.attr2 = 7;
    s.attr3 = 640;
    s.attr4 = 480;
    s.attr5 = attr5;
    s.imageLen = len;
    s.tag = tag;
    s.data = AllocBytes(static_cast<size_t>(len > 0 ? len : 1));
    for (int i = 0; i < len; ++i) s.data.get()[i] = static_cast<unsigned char>(i * 13 + tag);
    return s;
}

Bytes ImageFrame(const std::vector<SendImageSt>& slots) {
    int rc = 0;
    uint64_t micros = 0;
    Bytes out;
    Append(out, WriteImageFrame(slots, rc, micros));
    return out;
}

Bytes RawImageFrame(const std::vector<SendImageSt>& slots) {
    int rawLen = 0;
    std::shared_ptr<unsigned char> records = WriteImageRecords(slots, rawLen);
    Bytes out;
    AppendHeader(out, MSG_IMAGE, 0, rawLen, 0);
    out.insert(out.end(), records.get(), records.get() + rawLen);
    return out;
}

Bytes Cmd(int log, int image, int c0, int c1, int c2, int c3, int interval, int cmdType = CMD_SET_SEND_STATE) {
    CmdSt c;
    c.cmdType = cmdType;
    c.logSwitch = log;
    c.imageSwitch = image;
    c.imageSwitches[0] = c0;
    c.imageSwitches[1] = c1;
    c.imageSwitches[2] = c2;
    c.imageSwitches[3] = c3;
    c.sendInterval = interval;
    Bytes out;
    Append(out, WriteCommandFrame(c));
    return out;
}

Bytes Log(const std::string& text) {
    Bytes out;
    Append(out, WriteLogFrame(text));
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bool WriteSeed(const std::string& path, const Bytes& cuts, const Bytes& stream) {
    Bytes file;
    file.push_back(static_cast<unsigned char>(cuts.size()));
    file.insert(file.end(), cuts.begin(), cuts.end());
    file.insert(file.end(), stream.begin(), stream.end());
    if (file.size() >= 4096) {
        std::fprintf(stderr, "%s: seed too large (%zu bytes)\n", path.c_str(), file.size());
        return false;
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string rp = std::string(argv[1]) + "/receive_path/";
    const std::string cm = std::string(argv[1]) + "/command/";
    bool ok = true;

    // Viewer streams. The first five hold only sound headers.
    ok &= WriteSeed(rp + "logs", {15, 3, 200}, Cat({Log("hello"), Log("a"), Log("line two\nline three")}));
    ok &= WriteSeed(rp + "compressed_images", {40, 1},
                    ImageFrame({Slot(0, 0, 120, 1), Slot(1, 3, 64, 2), Slot(2, 1, 0, 3), Slot(2, 3, 33, 4)}));
    ok &= WriteSeed(rp + "raw_images_and_cmd", {16, 17},
                    Cat({RawImageFrame({Slot(5, 0, 20, 9), Slot(6, 3, 3, 10)}), Cmd(1, 0, 0, 2, 0, 0, 1)}));
    Bytes emptyImage;
    AppendHeader(emptyImage, MSG_IMAGE, 0, 0, 0);
    Bytes partial = Log(std::string(300, 'x'));
    partial.resize(120);
    ok &= WriteSeed(rp + "empty_frame_and_tail", {}, Cat({emptyImage, Log("after empty"), emptyImage, partial}));
    ok &= WriteSeed(rp + "mixed", {2, 250, 31, 7},
                    Cat({Log("start"), ImageFrame({Slot(0, 0, 300, 77)}), Cmd(0, 0, 0, 0, 0, 0, 0),
                         RawImageFrame({Slot(3, 3, 1, 5)}), Log("end")}));

    // Content faults: each frame is skipped, the stream stays in step.
    Bytes noNul;
    AppendHeader(noNul, MSG_LOG, 0, 4, 0);
    noNul.insert(noNul.end(), {'a', 'b', 'c', 'd'});
    Bytes lyingRaw = ImageFrame({Slot(0, 0, 50, 1)});
    PutI32(lyingRaw.data() + 12, GetI32(lyingRaw.data() + 12) + 10);
    Bytes shortCmd;
    AppendHeader(shortCmd, MSG_CMD, 0, 16, 0);
    shortCmd.resize(shortCmd.size() + 16, 1);
    ok &= WriteSeed(rp + "content_faults", {60}, Cat({noNul, lyingRaw, shortCmd, Log("still here")}));

    // A bad header after a good frame: the rest of that chunk is dropped.
    Bytes badType;
    AppendHeader(badType, 4, 0, 8, 0);
    badType.resize(badType.size() + 8, 0);
    ok &= WriteSeed(rp + "bad_type", {30, 60}, Cat({Log("before"), badType, Log("after")}));

    // Device command streams.
    ok &= WriteSeed(cm + "one", {}, Cmd(1, 2, 1, 2, 0, 3, 500));
    ok &= WriteSeed(cm + "three_split", {5, 20, 47},
                    Cat({Cmd(1, 0, 0, 0, 0, 0, 0), Cmd(0, 1, 2, 2, 2, 2, 1), Cmd(2, 2, 1, 0, 0, 1, 100)}));
    ok &=
        WriteSeed(cm + "ignored", {11},
                  Cat({Cmd(1, 1, 1, 1, 1, 1, 50, 2), shortCmd, Cmd(7, -1, 3, 4, 5, 6, -5), Cmd(0, 0, 0, 0, 0, 0, 0)}));
    ok &= WriteSeed(cm + "with_log", {48}, Cat({Log("viewers do not send logs"), Cmd(1, 0, 0, 0, 0, 0, 9)}));
    return ok ? 0 : 1;
}
