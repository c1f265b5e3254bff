# libevent (core + pthreads) and the image compressor, all from Debian.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET libevent_core>=2.1 libevent_pthreads>=2.1)

if(TRAVIK_DEFLATE STREQUAL "libdeflate")
  pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
  set(TRAVIK_CODEC_LIBS PkgConfig::LIBDEFLATE)
  set(TRAVIK_CODEC_DEFINE TRAVIK_WITH_LIBDEFLATE=1)
  set(TRAVIK_PC_CODEC "libdeflate")
elseif(TRAVIK_DEFLATE STREQUAL "zlib")
  find_package(ZLIB REQUIRED)
  set(TRAVIK_CODEC_LIBS ZLIB::ZLIB)
  set(TRAVIK_CODEC_DEFINE "")
  set(TRAVIK_PC_CODEC "zlib")
else()
  message(FATAL_ERROR "TRAVIK_DEFLATE must be zlib or libdeflate, not '${TRAVIK_DEFLATE}'")
endif()

find_package(Threads REQUIRED)
