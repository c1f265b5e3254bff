# Makes the Windows zip from a built windows preset: the installed tree
# (bin: travik.dll, travik.exe, runtime DLLs; lib: mingw and MSVC import
# libraries, travik.def; include), README-windows.txt and the licences of
# the third-party code linked in.
#
# Run as a script: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DOUT_DIR=...
#   [-DVERSION=...] -P WindowsPackage.cmake
# Writes OUT_DIR/travik-VERSION-win64.zip (VERSION read from the build
# when not given) and prints its path.
foreach(v BUILD_DIR SOURCE_DIR OUT_DIR)
  if(NOT ${v})
    message(FATAL_ERROR "WindowsPackage: ${v} not set")
  endif()
endforeach()
if(NOT VERSION)
  file(STRINGS "${BUILD_DIR}/CMakeCache.txt" _version REGEX "^CMAKE_PROJECT_VERSION:")
  string(REGEX REPLACE "^[^=]*=" "" VERSION "${_version}")
endif()
if(NOT VERSION)
  message(FATAL_ERROR "WindowsPackage: no project version in ${BUILD_DIR}")
endif()

# The third-party code inside, and where Debian keeps the licence of the
# source each was built from.
set(_licences
  "libevent=/usr/share/doc/libevent-2.1-7/copyright"
  "zlib=/usr/share/doc/libz-mingw-w64/copyright"
  "gcc-runtime=/usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright"
  "mingw-w64-runtime=/usr/share/doc/mingw-w64-x86-64-dev/copyright"
  "CLI11=/usr/share/doc/libcli11-dev/copyright")
# What the tool's optional parts link in statically, when the build has them.
file(STRINGS "${BUILD_DIR}/CMakeCache.txt" _parts REGEX "^TRAVIK_(TLS|TOOL_RECORDING|TOOL_WEB|TOOL_VIDEO):BOOL=ON")
if(_parts MATCHES "RECORDING")
  list(APPEND _licences "zstd=/usr/share/doc/libzstd1/copyright")
endif()
if(_parts MATCHES "WEB")
  list(APPEND _licences
    "libjpeg-turbo=/usr/share/doc/libturbojpeg0/copyright"
    "libspng=/usr/share/doc/libspng0/copyright"
    "Boost=/usr/share/doc/libboost-dev/copyright"
    "nlohmann-json=/usr/share/doc/nlohmann-json3-dev/copyright")
endif()
# OpenSSL is in travik.dll (TLS) and travik.exe (https, wss).
if(_parts MATCHES "TLS|WEB")
  list(APPEND _licences "OpenSSL=/usr/share/doc/libssl3/copyright")
endif()
if(_parts MATCHES "VIDEO")
  list(APPEND _licences
    "openh264=/usr/share/doc/libopenh264-dev/copyright"
    "libyuv=/usr/share/doc/libyuv-dev/copyright")
endif()

set(name "travik-${VERSION}-win64")
set(stage "${OUT_DIR}/stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${stage}/${name}" --strip
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "WindowsPackage: install of ${BUILD_DIR} failed")
endif()
# The runtime DLLs are installed as files, so --strip left their debug
# sections; a download does not need them.
file(STRINGS "${BUILD_DIR}/CMakeCache.txt" _strip REGEX "^CMAKE_STRIP:")
string(REGEX REPLACE "^[^=]*=" "" _strip "${_strip}")
if(_strip)
  file(GLOB _dlls "${stage}/${name}/bin/*.dll")
  execute_process(COMMAND "${_strip}" --strip-debug ${_dlls} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "WindowsPackage: ${_strip} failed")
  endif()
endif()
foreach(f bin/travik.dll bin/travik.exe lib/libtravik.dll.a lib/travik.def lib/travik.lib
          include/travik/travik_c.h include/travik/travik.h)
  if(NOT EXISTS "${stage}/${name}/${f}")
    message(FATAL_ERROR "WindowsPackage: ${f} missing from the build (llvm-dlltool for travik.lib?)")
  endif()
endforeach()
file(COPY "${SOURCE_DIR}/docs/windows/README-windows.txt" DESTINATION "${stage}/${name}")
file(MAKE_DIRECTORY "${stage}/${name}/licenses")
foreach(entry ${_licences})
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 what)
  list(GET pair 1 path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "WindowsPackage: licence of ${what} not found at ${path}")
  endif()
  configure_file("${path}" "${stage}/${name}/licenses/${what}.txt" COPYONLY)
endforeach()

set(zip "${OUT_DIR}/${name}.zip")
file(REMOVE "${zip}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${zip}" --format=zip "${name}"
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "WindowsPackage: writing ${zip} failed")
endif()
file(REMOVE_RECURSE "${stage}")
message(STATUS "${zip}")
