# Installs the built tree into a scratch prefix and proves that an outside
# program can use it, once through the CMake package and once through
# pkg-config. Any failing step stops the script with an error, which fails
# the ctest case.
#
# Inputs (-D): BUILD_DIR, WORK_DIR, HOST_SOURCE, CXX, GENERATOR,
# MAKE_PROGRAM, PKG_CONFIG, CONFIG (may be empty).
foreach(var BUILD_DIR WORK_DIR HOST_SOURCE CXX GENERATOR PKG_CONFIG)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "run_consumer.cmake needs -D${var}=...")
  endif()
endforeach()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

function(run step)
  message(STATUS "consumer: ${step}")
  execute_process(COMMAND ${ARGN} TIMEOUT 240 RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "consumer: '${step}' failed (${rc})")
  endif()
endfunction()

set(config_args "")
if(NOT "${CONFIG}" STREQUAL "")
  set(config_args --config "${CONFIG}")
endif()

run("install into ${prefix}" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

# 1. CMake package: find_package(travik) + travik::travik.
set(generator_args -G "${GENERATOR}")
if(NOT "${MAKE_PROGRAM}" STREQUAL "")
  list(APPEND generator_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
run("configure host with find_package"
  "${CMAKE_COMMAND}" -S "${HOST_SOURCE}" -B "${WORK_DIR}/host-build" ${generator_args}
  "-DCMAKE_CXX_COMPILER=${CXX}"
  -DCMAKE_BUILD_TYPE=Release
  "-DCMAKE_PREFIX_PATH=${prefix}"
  "-DTRAVIK_EXPECTED_PREFIX=${prefix}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
run("build host" "${CMAKE_COMMAND}" --build "${WORK_DIR}/host-build")
run("run host (CMake package)" "${WORK_DIR}/host-build/host")

# 2. pkg-config: travik.pc must point into the prefix it was installed to.
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${prefix}/lib/pkgconfig:${prefix}/lib64/pkgconfig"
          "${PKG_CONFIG}" --cflags --libs travik
  RESULT_VARIABLE rc OUTPUT_VARIABLE pc_flags ERROR_VARIABLE pc_err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer: pkg-config --cflags --libs travik failed: ${pc_err}")
endif()
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${prefix}/lib/pkgconfig:${prefix}/lib64/pkgconfig"
          "${PKG_CONFIG}" --variable=libdir travik
  RESULT_VARIABLE rc OUTPUT_VARIABLE pc_libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR "${pc_libdir}" STREQUAL "")
  message(FATAL_ERROR "consumer: pkg-config --variable=libdir travik failed")
endif()
message(STATUS "consumer: pkg-config flags: ${pc_flags}")

file(REAL_PATH "${prefix}" real_prefix)
file(REAL_PATH "${pc_libdir}" real_libdir)
if(NOT EXISTS "${real_libdir}/libtravik.so")
  message(FATAL_ERROR "consumer: travik.pc libdir ${pc_libdir} holds no libtravik.so")
endif()
string(FIND "${real_libdir}/" "${real_prefix}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "consumer: travik.pc libdir ${real_libdir} lies outside ${real_prefix}")
endif()
separate_arguments(pc_args UNIX_COMMAND "${pc_flags}")
set(include_ok FALSE)
foreach(arg IN LISTS pc_args)
  if(arg MATCHES "^-I(.+)$")
    file(REAL_PATH "${CMAKE_MATCH_1}" inc)
    if(EXISTS "${inc}/travik/travik.h")
      set(include_ok TRUE)
    endif()
  endif()
endforeach()
if(NOT include_ok)
  message(FATAL_ERROR "consumer: pkg-config --cflags names no directory holding travik/travik.h")
endif()

run("compile host with pkg-config flags"
  "${CXX}" -std=c++17 "${HOST_SOURCE}/main.cpp" -o "${WORK_DIR}/host-pc" ${pc_args} "-Wl,-rpath,${real_libdir}")
run("run host (pkg-config)" "${WORK_DIR}/host-pc")

message(STATUS "consumer: all steps passed")
