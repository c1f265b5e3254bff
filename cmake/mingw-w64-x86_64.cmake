# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads
# flavour, for std::thread). The libraries built by `./travik.sh deps windows`
# live in TRAVIK_WINDOWS_PREFIX; executables run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TRAVIK_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TRAVIK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRAVIK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TRAVIK_MINGW}-windres)

if(NOT TRAVIK_WINDOWS_PREFIX)
  if(DEFINED ENV{TRAVIK_WINDOWS_PREFIX})
    set(TRAVIK_WINDOWS_PREFIX "$ENV{TRAVIK_WINDOWS_PREFIX}")
  else()
    set(TRAVIK_WINDOWS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/prefix")
  endif()
endif()
get_filename_component(TRAVIK_WINDOWS_PREFIX "${TRAVIK_WINDOWS_PREFIX}" ABSOLUTE)
# try_compile projects re-read this file; keep the prefix visible to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TRAVIK_WINDOWS_PREFIX)

# Appended: a consumer may add the prefix of an installed travik.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${TRAVIK_MINGW} ${TRAVIK_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the Windows .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${TRAVIK_WINDOWS_PREFIX}/lib/pkgconfig:/usr/${TRAVIK_MINGW}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Tests run through wine; its loader is not on PATH on Debian.
find_program(TRAVIK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TRAVIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRAVIK_WINE})
endif()
