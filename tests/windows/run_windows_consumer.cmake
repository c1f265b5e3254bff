# Installs the Windows build into a scratch prefix, builds an outside host
# against it with the same cross toolchain (find_package), copies the
# installed DLLs beside it and runs it under wine as a device while an
# independent Linux viewer (interop_viewer.py) validates its stream; then
# the reverse, a viewer under wine reading an independent Linux device.
#
# Inputs (-D): BUILD_DIR, WORK_DIR, SOURCE_DIR, TOOLCHAIN, WINDOWS_PREFIX,
# GENERATOR, EMULATOR, PYTHON.
set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

function(run step)
  message(STATUS "windows consumer: ${step}")
  execute_process(COMMAND ${ARGN} TIMEOUT 240 RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "windows consumer: '${step}' failed (${rc})")
  endif()
endfunction()

run("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
foreach(f bin/travik.dll lib/libtravik.dll.a include/travik/travik.h include/travik/travik_c.h)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "windows consumer: ${f} not installed")
  endif()
endforeach()
run("configure host" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/consumer" -B "${WORK_DIR}/build" -G "${GENERATOR}"
  "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" "-DTRAVIK_WINDOWS_PREFIX=${WINDOWS_PREFIX}"
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_FIND_ROOT_PATH=${prefix}" -DCMAKE_BUILD_TYPE=Release)
run("build host" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
file(GLOB dlls "${prefix}/bin/*.dll")
file(COPY ${dlls} DESTINATION "${WORK_DIR}/build")

# Both at once: execute_process runs its commands as one pipeline.
set(port_file "${WORK_DIR}/port")
execute_process(
  COMMAND ${EMULATOR} "${WORK_DIR}/build/host.exe" device "${port_file}"
  COMMAND "${PYTHON}" "${SOURCE_DIR}/interop_viewer.py" "${port_file}"
  TIMEOUT 200 RESULTS_VARIABLE results)
message(STATUS "windows consumer: device, viewer exit codes: ${results}")
if(NOT results STREQUAL "0;0")
  message(FATAL_ERROR "windows consumer: device under wine or Linux viewer failed")
endif()

# The other way round: the host as a viewer under wine, an independent Linux
# device (interop_device.py) sending hand-built frames.
set(port_file "${WORK_DIR}/port2")
execute_process(
  COMMAND "${PYTHON}" "${SOURCE_DIR}/interop_device.py" "${port_file}"
  COMMAND ${EMULATOR} "${WORK_DIR}/build/host.exe" view "${port_file}"
  TIMEOUT 200 RESULTS_VARIABLE results)
message(STATUS "windows consumer: Linux device, viewer exit codes: ${results}")
if(NOT results STREQUAL "0;0")
  message(FATAL_ERROR "windows consumer: Linux device or viewer under wine failed")
endif()
