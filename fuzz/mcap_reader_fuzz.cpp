// libFuzzer target: arbitrary bytes as a recording file, read by the MCAP
// reader that replay, export and info use. See mcap_reader_driver.h.
#include <cstdlib>

#include "mcap_reader_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!travik_fuzz::DriveMcapReader(data, size, nullptr)) std::abort();
    return 0;
}
