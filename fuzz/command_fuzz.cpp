// libFuzzer target: arbitrary bytes as a viewer's command stream arriving at
// a device. See receive_path_driver.h for the input layout.
#include <cstdlib>

#include "receive_path_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    travik_fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!travik_fuzz::DriveCommandStream(data, size, nullptr)) std::abort();
    return 0;
}
