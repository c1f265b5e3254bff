include(CMakePackageConfigHelpers)

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

configure_file(cmake/travik.pc.in ${CMAKE_CURRENT_BINARY_DIR}/travik.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/travik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
