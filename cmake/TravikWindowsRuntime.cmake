# The mingw-w64 runtime DLLs (C++ library, unwinder, threads) that travik.dll
# and every program built here load: copied beside the programs so that they
# run under wine or on Windows as built, and installed with them.
set(TRAVIK_WINDOWS_RUNTIME_DLLS "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${path}" AND EXISTS "${path}")
    get_filename_component(path "${path}" REALPATH)
    list(APPEND TRAVIK_WINDOWS_RUNTIME_DLLS "${path}")
  else()
    message(WARNING "${dll} not found; programs need it on their PATH")
  endif()
endforeach()
file(COPY ${TRAVIK_WINDOWS_RUNTIME_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
