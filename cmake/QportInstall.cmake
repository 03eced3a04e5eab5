# SPDX-License-Identifier: LGPL-2.1-or-later
# What `cmake --install` puts in place besides the targets' own rules: the
# CMake package, the pkg-config files, the documentation and the places the
# installed programs find the library from; and the build tree's own
# pkg-config files.
include(CMakePackageConfigHelpers)

# find_package(qport) gives qport::qport and qport::qport_simulated.
install(EXPORT qportTargets
  NAMESPACE qport::
  DESTINATION ${QPORT_INSTALL_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(cmake/qportConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qportConfig.cmake
  INSTALL_DESTINATION ${QPORT_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qportConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/qportConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qportConfigVersion.cmake
  DESTINATION ${QPORT_INSTALL_CMAKEDIR}
  COMPONENT development)

# qport.pc and qport-simulated.pc name absolute directories, so they are
# written while installing, for the prefix actually installed to:
# `cmake --install --prefix` and CPack both choose it only then.
configure_file(cmake/install-pkgconfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/install-pkgconfig.cmake @ONLY)
install(SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/install-pkgconfig.cmake COMPONENT development)

# qport-uninstalled.pc and qport-simulated-uninstalled.pc, for the build
# tree itself: pkg-config takes them for qport and qport-simulated when
# PKG_CONFIG_PATH names build/pkgconfig, so that a program builds against
# this build before (or without) any install.
function(qport_write_uninstalled_pc_files)
  set(prefix ${CMAKE_BINARY_DIR})
  set(libdir ${QPORT_HARDWARE_DIR})
  set(simulated_libdir ${QPORT_SIMULATED_DIR})
  set(includedir ${PROJECT_SOURCE_DIR}/library/include)
  set(version ${PROJECT_VERSION})
  set(description ${PROJECT_DESCRIPTION})
  foreach(name qport qport-simulated)
    configure_file(cmake/${name}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${name}-uninstalled.pc @ONLY)
  endforeach()
endfunction()
qport_write_uninstalled_pc_files()

# The documentation, with the library: its refusal notices point to
# real-access.md there. The Debian build names its package's own directory.
file(GLOB qport_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${qport_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

foreach(program qportio Quorrel)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "${QPORT_PROGRAM_INSTALL_RPATH}")
  endif()
endforeach()


# `cmake --build build --target uninstall` (with sudo where the install
# needed it) removes what the last `cmake --install` of this build put in
# place, as install_manifest.txt lists it.
configure_file(cmake/uninstall.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/qport_uninstall.cmake @ONLY)
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -P ${CMAKE_CURRENT_BINARY_DIR}/qport_uninstall.cmake
  COMMENT "Removing the files listed in ${CMAKE_BINARY_DIR}/install_manifest.txt"
  VERBATIM)
