# libevent (core + pthreads) and the image compressor, all from Debian.
find_package(PkgConfig REQUIRED)
if(WIN32)
  # Cross-built by `./travik.sh deps windows` as a static library; its
  # threading uses Windows primitives and it needs the socket libraries.
  pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET libevent_core>=2.1)
  target_link_libraries(PkgConfig::LIBEVENT INTERFACE ws2_32 iphlpapi advapi32 shell32)
  # The Windows zlib and OpenSSL link in statically: no DLLs to ship (the
  # static OpenSSL brings its socket and certificate store libraries).
  set(ZLIB_USE_STATIC_LIBS ON)
  set(OPENSSL_USE_STATIC_LIBS ON)
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

# TLS on the device link: libevent's OpenSSL bufferevents over OpenSSL 3.
# On by default when both are found (for Windows: in the cross-built prefix).
set(_travik_tls_default OFF)
pkg_check_modules(LIBEVENT_OPENSSL QUIET IMPORTED_TARGET libevent_openssl>=2.1)
find_package(OpenSSL 3 QUIET)
if(LIBEVENT_OPENSSL_FOUND AND OPENSSL_FOUND)
  set(_travik_tls_default ON)
endif()
option(TRAVIK_TLS "TLS (with client certificates) on the device link" ${_travik_tls_default})
if(TRAVIK_TLS)
  pkg_check_modules(LIBEVENT_OPENSSL REQUIRED IMPORTED_TARGET libevent_openssl>=2.1)
  find_package(OpenSSL 3 REQUIRED)
  set(TRAVIK_TLS_LIBS PkgConfig::LIBEVENT_OPENSSL OpenSSL::SSL OpenSSL::Crypto)
  set(TRAVIK_PC_TLS_REQUIRES "libssl libcrypto")
  set(TRAVIK_PC_TLS_LIBS "-levent_openssl")
else()
  set(TRAVIK_TLS_LIBS "")
  set(TRAVIK_PC_TLS_REQUIRES "")
  set(TRAVIK_PC_TLS_LIBS "")
  message(STATUS "travik: built without TLS")
endif()

find_package(Threads REQUIRED)
