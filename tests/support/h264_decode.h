// openh264's own decoder, for tests that check what travik sends or writes
// as H.264 decodes: one access unit at a time, or a whole Annex B stream
// cut into access units (one slice per picture, as travik's encoder makes).
// Thread: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ISVCDecoder;

namespace travik_test {

class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // True when a picture came out; its size in `width` x `height`, its
    // luma rows in `luma` and the whole picture as packed I420 (Y, then U
    // and V of (width+1)/2 x (height+1)/2) in `i420`.
    bool Decode(const uint8_t* unit, size_t len, int& width, int& height, std::vector<uint8_t>* luma = nullptr,
                std::vector<uint8_t>* i420 = nullptr);

private:
    ISVCDecoder* m_decoder = nullptr;
};

// An Annex B stream cut before each SPS and before each slice that follows
// a slice: the access units of a one-slice-per-picture stream, in order.
std::vector<std::string> SplitAccessUnits(const std::string& stream);

}  // namespace travik_test
