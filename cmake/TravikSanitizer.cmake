# One switch for sanitized builds, applied per target through the
# travik_sanitizer interface library (never through CMAKE_CXX_FLAGS):
#   ""        none
#   address   AddressSanitizer + UndefinedBehaviorSanitizer
#   thread    ThreadSanitizer
#   fuzzer    address plus libFuzzer coverage (clang; the fuzz targets add
#             the libFuzzer runtime themselves)
set(TRAVIK_SANITIZER "" CACHE STRING "Sanitizer for every travik target: empty, address, thread or fuzzer")
set_property(CACHE TRAVIK_SANITIZER PROPERTY STRINGS "" address thread fuzzer)

set(_travik_asan -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
if(TRAVIK_SANITIZER STREQUAL "")
  set(_travik_san_flags "")
elseif(TRAVIK_SANITIZER STREQUAL "address")
  set(_travik_san_flags ${_travik_asan})
elseif(TRAVIK_SANITIZER STREQUAL "thread")
  set(_travik_san_flags -fsanitize=thread)
elseif(TRAVIK_SANITIZER STREQUAL "fuzzer")
  set(_travik_san_flags ${_travik_asan} -fsanitize=fuzzer-no-link)
else()
  message(FATAL_ERROR "TRAVIK_SANITIZER must be empty, address, thread or fuzzer, not '${TRAVIK_SANITIZER}'")
endif()

# Compiled into and linked with every target of the project that runs code:
# the library's objects and the shared library (privately), travik_internal
# (publicly, so tests, fuzzers and benchmarks built on it follow), the tool
# and the examples.
add_library(travik_sanitizer INTERFACE)
if(_travik_san_flags)
  target_compile_options(travik_sanitizer INTERFACE ${_travik_san_flags})
  target_link_options(travik_sanitizer INTERFACE ${_travik_san_flags})
endif()
