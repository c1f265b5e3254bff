// Entry functions shared by the libFuzzer targets and the corpus replay test.
//
// Input layout: byte 0 gives the number of cut bytes (mod 16) that follow it;
// the rest is the byte stream. The stream is fed to the receive path in
// chunks whose sizes come from the cut bytes, once per connection with two
// different chunkings, interleaved, and once more as a single chunk. The
// receive path must act on a stream the same way whatever its chunking as
// long as every frame header in it is sound; that is the oracle checked
// here, on top of the sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travik_fuzz {

struct DriveResult {
    // Every frame header in the stream was sound, so the oracle applied.
    bool wellFormed = false;
    // Log and image callbacks (or, for the command stream, command frames)
    // seen for the single-chunk feed.
    uint64_t deliveries = 0;
};

// Viewer side: log and image frames into a manager with callbacks. Returns
// false when the chunkings disagree or pending bytes are unaccounted for.
bool DriveReceivePath(const uint8_t* data, size_t size, DriveResult* result);

// Device side: the stream as a viewer's command stream, into managers
// without callbacks; the final send switches are compared with a model that
// applies the stream's command frames. Also decodes the raw input as a
// command body. Returns false on a mismatch.
bool DriveCommandStream(const uint8_t* data, size_t size, DriveResult* result);

// Sends standard output to /dev/null: applied commands print their effects.
void SilenceStdout();

}  // namespace travik_fuzz
