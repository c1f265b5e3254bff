include(CMakePackageConfigHelpers)

# The static archive is for hosts built in the same tree (add_subdirectory);
# its private dependencies have no installed package to name.
if(NOT TRAVIK_BUILD_SHARED)
  message(STATUS "travik: static library, no install rules")
  return()
endif()

install(TARGETS travik EXPORT travikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/travik DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT travikTargets NAMESPACE travik:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/travik)

configure_package_config_file(cmake/travikConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/travikConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/travik)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/travikConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/travikConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/travikConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/travik)

# The .pc file locates itself (${pcfiledir}) so that `cmake --install --prefix
# <dir>` yields a usable file even when <dir> differs from the configure-time
# prefix. Absolute install dirs are taken as they are.
function(travik_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TRAVIK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _travik_pc_up "/r/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/r")
  string(REGEX REPLACE "/$" "" _travik_pc_up "${_travik_pc_up}")
  set(TRAVIK_PC_PREFIX "\${pcfiledir}/${_travik_pc_up}")
endif()
travik_pc_dir(TRAVIK_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
travik_pc_dir(TRAVIK_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(cmake/travik.pc.in ${CMAKE_CURRENT_BINARY_DIR}/travik.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/travik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(WIN32 AND TRAVIK_DEF_FILE)
  install(FILES ${TRAVIK_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(WIN32 AND TRAVIK_MSVC_IMPORT_LIB)
  install(FILES ${TRAVIK_MSVC_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(WIN32 AND TRAVIK_WINDOWS_RUNTIME_DLLS)
  install(FILES ${TRAVIK_WINDOWS_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
