# libevent (core + pthreads) and the image compressor, all from Debian.
find_package(PkgConfig REQUIRED)
if(WIN32)
  # Cross-built by `./travik.sh deps windows` as a static library; its
  # threading uses Windows primitives and it needs the socket libraries.
  pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET libevent_core>=2.1)
  target_link_libraries(PkgConfig::LIBEVENT INTERFACE ws2_32 iphlpapi advapi32 shell32)
  # The Windows zlib links in statically: one DLL less to ship.
  set(ZLIB_USE_STATIC_LIBS ON)
else()
  pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET libevent_core>=2.1 libevent_pthreads>=2.1)
endif()

# TRAVIK_CODEC is the compressor actually used: "auto" takes libdeflate
# (about three times faster, same stream) when pkg-config finds it.
if(TRAVIK_DEFLATE STREQUAL "auto")
  pkg_check_modules(LIBDEFLATE QUIET IMPORTED_TARGET libdeflate)
  if(LIBDEFLATE_FOUND)
    set(TRAVIK_CODEC "libdeflate")
  else()
    set(TRAVIK_CODEC "zlib")
    message(STATUS "travik: libdeflate not found, images compressed with zlib")
  endif()
else()
  set(TRAVIK_CODEC "${TRAVIK_DEFLATE}")
endif()

if(TRAVIK_CODEC STREQUAL "libdeflate")
  pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
  # zlib too: it finds the block boundaries when a lone large frame is
  # compressed in pieces on several threads, and combines their checksums.
  find_package(ZLIB REQUIRED)
  set(TRAVIK_CODEC_LIBS PkgConfig::LIBDEFLATE ZLIB::ZLIB)
  set(TRAVIK_CODEC_DEFINE TRAVIK_WITH_LIBDEFLATE=1)
  set(TRAVIK_PC_CODEC "libdeflate zlib")
elseif(TRAVIK_CODEC STREQUAL "zlib")
  find_package(ZLIB REQUIRED)
  set(TRAVIK_CODEC_LIBS ZLIB::ZLIB)
  set(TRAVIK_CODEC_DEFINE "")
  set(TRAVIK_PC_CODEC "zlib")
else()
  message(FATAL_ERROR "TRAVIK_DEFLATE must be auto, zlib or libdeflate, not '${TRAVIK_DEFLATE}'")
endif()

find_package(Threads REQUIRED)
