// The viewer's receive path: a realistic byte stream cut into chunks of one
// size and fed to ReadCallback, as the transport does after each read. The
// callbacks do nothing, so the figures are the library's own cost:
// reassembly, header checks, inflating and copying each image out.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/synthetic_frames.h"
#include "protocol/frame_writer.h"
#include "travik/travik.h"

namespace {

void Append(std::vector<unsigned char>& stream, const travik::ByteBuffer& frame) {
    stream.insert(stream.end(), frame.data.get(), frame.data.get() + frame.len);
}

// Log frames as a busy device sends them: each pass carries a few dozen
// 100-byte lines.
std::vector<unsigned char> LogStream() {
    std::string line(99, 'x');
    line += '\n';
    std::vector<unsigned char> stream;
    for (int pass = 0; pass < 1000; ++pass) {
        std::string text;
        for (int i = 0; i < 40; ++i) text += line;
        Append(stream, travik::WriteLogFrame(text));
    }
    return stream;
}

// Four-channel 640x480 gray image frames with a log frame between them.
std::vector<unsigned char> ImageStream() {
    const travik_bench::FrameShape shape{640, 480, 1};
    std::vector<unsigned char> stream;
    for (uint32_t pass = 0; pass < 3; ++pass) {
        std::vector<SendImageSt> slots = travik_bench::CameraSlots(shape, 4, pass);
        int result = 0;
        uint64_t micros = 0;
        Append(stream, travik::WriteImageFrame(slots, result, micros));
        Append(stream, travik::WriteLogFrame(std::string(4000, 'y')));
    }
    return stream;
}

std::vector<std::shared_ptr<unsigned char>> Chunks(const std::vector<unsigned char>& stream, size_t chunk,
                                                   std::vector<int>& lens) {
    std::vector<std::shared_ptr<unsigned char>> out;
    for (size_t off = 0; off < stream.size(); off += chunk) {
        size_t n = std::min(chunk, stream.size() - off);
        std::shared_ptr<unsigned char> piece(new unsigned char[n], std::default_delete<unsigned char[]>());
        std::memcpy(piece.get(), stream.data() + off, n);
        out.push_back(piece);
        lens.push_back(static_cast<int>(n));
    }
    return out;
}

template <bool kImages>
void BM_Receive(benchmark::State& state) {
    static const std::vector<unsigned char> stream = kImages ? ImageStream() : LogStream();
    std::vector<int> lens;
    std::vector<std::shared_ptr<unsigned char>> chunks = Chunks(stream, static_cast<size_t>(state.range(0)), lens);
    TravikMgr viewer;
    int64_t delivered = 0;
    viewer.SetLogCb([&](std::string& text) { delivered += static_cast<int64_t>(text.size() > 0); });
    viewer.SetImageCb([&](int, int, int, int, int, std::shared_ptr<unsigned char>&, int len, unsigned long long) {
        delivered += len > 0;
    });
    for (auto _ : state) {
        for (size_t i = 0; i < chunks.size(); ++i) viewer.ReadCallback(1, chunks[i], lens[i]);
    }
    if (delivered == 0) state.SkipWithError("nothing was delivered");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    state.counters["callbacks"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
    viewer.Release();
}

void ChunkSizes(benchmark::internal::Benchmark* b) {
    b->ArgName("chunk");
    for (int64_t chunk = 64; chunk <= (1 << 20); chunk *= 4) b->Arg(chunk);
}

BENCHMARK_TEMPLATE(BM_Receive, false)->Name("BM_ReceiveLogStream")->Apply(ChunkSizes)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Receive, true)->Name("BM_ReceiveImageStream")->Apply(ChunkSizes)->Unit(benchmark::kMillisecond);

}  // namespace
