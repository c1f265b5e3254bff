# travik_tool_library(NAME SOURCES...): the static library of one folder of
# tools/. Its headers are included by their path under tools/, as in
# "cli/options.h". The include root it exports holds only a link to its own
# folder, so a target sees the headers of the libraries it links and no
# others; a dependency missing from target_link_libraries fails to compile.
function(travik_tool_library name)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tools ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${CMAKE_CURRENT_BINARY_DIR}/include)
  get_filename_component(parent ${root}/${rel} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${rel} SYMBOLIC)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${root})
  target_link_libraries(${name} PUBLIC travik_sanitizer PRIVATE travik_warnings)
  # The Python module and the shared test helpers may link them.
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()
