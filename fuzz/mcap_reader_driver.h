// One input of the MCAP reader's fuzz target, also replayed by the unit
// tests: the bytes as a whole recording, read the way replay, export and
// info read it (scan every chunk, decode travik's messages in either
// layout, name each image's file as export does, check the summary). Returns false when an invariant breaks; the
// sanitizers catch the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/image_file.h"
#include "recording/mcap/recording.h"

namespace travik_fuzz {

struct McapDriveResult {
    travik_mcap::ScanResult::Status status = travik_mcap::ScanResult::kComplete;
    uint64_t messages = 0;
    uint64_t images = 0;
    uint64_t logs = 0;
    bool summary = false;
};

inline bool DriveMcapReader(const uint8_t* data, size_t size, McapDriveResult* out) {
    travik_mcap::MemorySource source(data, size);
    travik_mcap::Reader reader(source);
    McapDriveResult r;
    uint64_t sum = 0;
    bool sound = true;
    travik_mcap::MessageDecoder decoder;
    travik_mcap::ScanResult scan = reader.Scan([&](const travik_mcap::Channel& ch, const travik_mcap::Message& m) {
        travik_mcap::Decoded d;
        std::string error;
        if (!decoder.Decode(ch, m, d, error)) return false;
        ++r.messages;
        if (d.kind == travik_mcap::Decoded::kImage) {
            ++r.images;
            // Every byte a message claims must be readable.
            if (d.size > 0) sum += d.data[0] + d.data[d.size - 1];
            if (d.channel < 0 || d.channel >= travik_mcap::kImageChannels ||
                d.channel != travik::ChannelOf(d.attrs[0], d.attrs[4]))
                sound = false;
            // As export names the file (hostile sizes must not overflow).
            sum += *travik_tool::ExtensionFor(d.attrs[1], d.attrs[2], d.attrs[3], static_cast<long long>(d.size));
        } else if (d.kind == travik_mcap::Decoded::kLog) {
            ++r.logs;
            if (d.size > 0) sum += d.data[d.size - 1];
        }
        return true;
    });
    (void)sum;
    // An error always says where.
    if ((scan.status == travik_mcap::ScanResult::kCorrupt || scan.status == travik_mcap::ScanResult::kTruncated) &&
        scan.error.find("offset") == std::string::npos)
        sound = false;
    travik_mcap::SummaryInfo info;
    std::string error;
    if (reader.ReadSummary(info, error)) {
        r.summary = info.present;
    } else if (error.find("offset") == std::string::npos) {
        sound = false;
    }
    r.status = scan.status;
    if (out) *out = r;
    return sound;
}

}  // namespace travik_fuzz
