// Cost of building each kind of frame the device writes. Image frames are
// built from camera-like synthetic frames, so the compressor works as hard
// as it does on real images; the figures are raw bytes in per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/synthetic_frames.h"
#include "protocol/codec.h"
#include "protocol/frame_writer.h"

using travik_bench::FrameShape;

namespace {

// A pass's worth of log text: `bytes` of 100-byte lines.
std::string LogText(int bytes) {
    std::string line(99, 'x');
    line += '\n';
    std::string text;
    while (static_cast<int>(text.size()) < bytes) text += line;
    text.resize(static_cast<size_t>(bytes));
    return text;
}

void BM_WriteLogFrame(benchmark::State& state) {
    const std::string text = LogText(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        travik::ByteBuffer frame = travik::WriteLogFrame(text);
        benchmark::DoNotOptimize(frame.data.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_WriteLogFrame)->Arg(100)->Arg(64 << 10)->Arg(1 << 20);

void BM_WriteCommandFrame(benchmark::State& state) {
    travik::CmdSt cmd;
    cmd.logSwitch = travik::SWITCH_ON;
    cmd.sendInterval = 1;
    for (auto _ : state) {
        travik::ByteBuffer frame = travik::WriteCommandFrame(cmd);
        benchmark::DoNotOptimize(frame.data.get());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_WriteCommandFrame);

// Slots as the send thread takes them: `channels` fresh images of `shape`.

// Args: shape index into StandardShapes(), number of fresh channels.
void BM_WriteImageFrame(benchmark::State& state) {
    const FrameShape shape = travik_bench::StandardShapes()[static_cast<size_t>(state.range(0))];
    const int channels = static_cast<int>(state.range(1));
    // A few distinct passes, so that no two consecutive frames are equal.
    std::vector<std::vector<SendImageSt>> passes;
    for (uint32_t seed = 1; seed <= 3; ++seed) passes.push_back(travik_bench::CameraSlots(shape, channels, seed));
    int64_t rawBytes = 0;
    int64_t wireBytes = 0;
    size_t next = 0;
    for (auto _ : state) {
        int result = 0;
        uint64_t micros = 0;
        travik::ByteBuffer frame = travik::WriteImageFrame(passes[next], result, micros);
        if (result != 0 || !frame.data) {
            state.SkipWithError("WriteImageFrame failed");
            break;
        }
        next = (next + 1) % passes.size();
        rawBytes += static_cast<int64_t>(channels) * static_cast<int64_t>(travik_bench::RecordBytes(shape));
        wireBytes += frame.len;
    }
    state.SetBytesProcessed(rawBytes);
    state.counters["ratio"] = wireBytes > 0 ? static_cast<double>(rawBytes) / static_cast<double>(wireBytes) : 0.0;
    state.SetLabel(shape.Name() + " x" + std::to_string(channels) + " " + travik::CodecName());
}
BENCHMARK(BM_WriteImageFrame)
    ->ArgNames({"shape", "channels"})
    ->Args({0, 1})
    ->Args({0, 4})
    ->Args({1, 4})
    ->Args({2, 4})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The compressor alone on the same record sequences, into one reused
// buffer: what WriteImageFrame costs beyond this is its own overhead
// (building the record sequence, allocating the frame).
void BM_CompressRecordsOnly(benchmark::State& state) {
    const FrameShape shape = travik_bench::StandardShapes()[static_cast<size_t>(state.range(0))];
    const int channels = static_cast<int>(state.range(1));
    std::vector<std::shared_ptr<unsigned char>> records;
    int rawLen = 0;
    for (uint32_t seed = 1; seed <= 3; ++seed)
        records.push_back(travik::WriteImageRecords(travik_bench::CameraSlots(shape, channels, seed), rawLen));
    std::vector<unsigned char> out(travik::CompressCapacity(static_cast<uint32_t>(rawLen)));
    int64_t rawBytes = 0;
    size_t next = 0;
    for (auto _ : state) {
        uint32_t len = static_cast<uint32_t>(out.size());
        if (travik::CompressLevel6(out.data(), len, records[next].get(), static_cast<uint32_t>(rawLen)) != 0) {
            state.SkipWithError("CompressLevel6 failed");
            break;
        }
        next = (next + 1) % records.size();
        rawBytes += static_cast<int64_t>(channels) * static_cast<int64_t>(travik_bench::RecordBytes(shape));
    }
    state.SetBytesProcessed(rawBytes);
    state.SetLabel(shape.Name() + " x" + std::to_string(channels) + " " + travik::CodecName());
}
BENCHMARK(BM_CompressRecordsOnly)
    ->ArgNames({"shape", "channels"})
    ->Args({0, 1})
    ->Args({0, 4})
    ->Args({1, 4})
    ->Args({2, 4})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
