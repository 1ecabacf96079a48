# What `cmake --install` adds beside the library and its headers: the CMake
# package (kelp::kelp) and the pkg-config file. The reference installs from docs/.
include(CMakePackageConfigHelpers)

set(KELP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelp)

# The licence and the change log go with the documentation.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/NEWS.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT kelpTargets
  NAMESPACE kelp::
  FILE kelpTargets.cmake
  DESTINATION ${KELP_CMAKE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/kelpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kelpConfig.cmake
  INSTALL_DESTINATION ${KELP_CMAKE_DIR})
# The soname carries the major version: 1.x users take any 1.y >= x.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/kelpConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelpConfig.cmake ${PROJECT_BINARY_DIR}/kelpConfigVersion.cmake
  DESTINATION ${KELP_CMAKE_DIR})

# kelp.pc is written at install time, so that `cmake --install --prefix DIR`
# gets DIR in it rather than the prefix the build was configured with.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(KELP_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(KELP_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(KELP_PC_FILE ${PROJECT_BINARY_DIR}/kelp.pc)
install(CODE "
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  set(PROJECT_DESCRIPTION [[${PROJECT_DESCRIPTION}]])
  set(KELP_PC_LIBDIR [[${KELP_PC_LIBDIR}]])
  set(KELP_PC_INCLUDEDIR [[${KELP_PC_INCLUDEDIR}]])
  set(KELP_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/kelp.pc.in]] [[${KELP_PC_FILE}]] @ONLY)
")
install(FILES ${KELP_PC_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
