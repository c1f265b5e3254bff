// libFuzzer target around one entry function of parser_drivers.h, named by
// TRAVIK_FUZZ_ENTRY at compile time (fuzz/CMakeLists.txt builds one
// executable per entry).
#include <cstdlib>

#include "parser_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!travik_fuzz::TRAVIK_FUZZ_ENTRY(data, size, nullptr)) std::abort();
    return 0;
}
