# travik_host_headers(TARGET HEADER): an INTERFACE target for a header-only
# library of the build machine, for the cross build (header-only and
# system-neutral, so the host's copy serves). It is seen through a folder of
# its own holding only a link to the library's top directory (the first
# component of HEADER), so that no other host header shadows the target's.
function(travik_host_headers target header)
  if(TARGET ${target})
    return()
  endif()
  string(REGEX REPLACE "/.*" "" top "${header}")
  find_path(TRAVIK_HOST_${top}_DIR ${header} NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/host_include/${top})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${TRAVIK_HOST_${top}_DIR}/${top} ${dir}/${top} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} INTERFACE ${dir})
endfunction()
