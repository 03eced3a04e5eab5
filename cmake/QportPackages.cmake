# SPDX-License-Identifier: LGPL-2.1-or-later
# Debian packages from `cpack -G DEB`, split as Debian splits a library:
#   libqport1    the shared library, both builds: the hardware one where the
#                loader finds it and the simulated one in <libdir>/qport/simulated,
#                so that every installed program can be tried without access
#   libqport-dev headers (qport_sim.h too), the .so links, the CMake package
#                and the pkg-config files
#   qportio      the command-line tool
#   quorrel      the window program, its desktop entry, metadata and icon
#   qport-panel  the simulated PC's front panel, likewise
# packaging/build-debian-packages configures, builds and packs them with
# Debian's hardening flags and the /usr prefix that Debian's multiarch
# library directory needs.
# The project has no mail domain of its own; .invalid is the one reserved for
# that, and is still a domain, as the packages' Maintainer must name.
set(QPORT_PACKAGE_CONTACT "qport maintainers <maintainers@qport.invalid>"
  CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME qport)
set(CPACK_PACKAGE_VENDOR qport)
set(CPACK_PACKAGE_CONTACT "${QPORT_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_SOURCE qport)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development qportio)
if(QPORT_QUORREL)
  list(APPEND CPACK_COMPONENTS_ALL quorrel)
endif()
if(TARGET qport-panel)
  list(APPEND CPACK_COMPONENTS_ALL panel)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on system libraries from dpkg-shlibdeps, and between the
# packages from the component dependencies below, at this exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Where dpkg-shlibdeps finds libqport.so.1, which is in no installed package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${QPORT_HARDWARE_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Each package's description: its own summary line, then the text. CPack
# would put the project's summary before each; the file read when cpack runs
# takes it away, and gives the library package its dependencies (below).
configure_file(cmake/cpack-project-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/debian/cpack-project-config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/cpack-project-config.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libqport1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The shlibs file, written here since CPack's would list libqport.so.1 twice
# (both builds carry that SONAME): programs built against this version need
# it or a later one.
configure_file(cmake/libqport1.shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs @ONLY)
# dpkg runs ldconfig once for all packages through this trigger, and the
# package has no maintainer scripts at all. CPack would write a postinst and
# a postrm calling ldconfig into a package whose shared objects it scans for
# dpkg-shlibdeps; it scans none of this one's, whose dependencies
# cmake/cpack-project-config.cmake.in computes instead.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs
  ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "library for direct access to the PC's I/O ports
The shared library libqport.so.1, which reads and writes the PC's I/O
ports at 8, 16 and 32 bits and tells why when the kernel refuses access.
It also carries the simulated build, an in-memory printer port at 0x378.
Any program runs against it with LD_LIBRARY_PATH set to
${CPACK_PACKAGING_INSTALL_PREFIX}/${QPORT_INSTALL_SIMULATED_LIBDIR}")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libqport-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "development files for libqport, direct access to I/O ports
Development files: the headers qport.h, qport_ext.h and qport_sim.h, the
CMake package (find_package(qport) gives qport::qport and
qport::qport_simulated) and the pkg-config files qport.pc and
qport-simulated.pc.")

set(CPACK_DEBIAN_QPORTIO_PACKAGE_NAME qportio)
set(CPACK_DEBIAN_QPORTIO_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_QPORTIO_DEPENDS runtime)
set(CPACK_COMPONENT_QPORTIO_DESCRIPTION
  "command-line tools for the PC's I/O ports: qportio and qport-run
qportio, a command-line tool for scripts that reads or writes ports at 8, 16
or 32 bits, lists the parallel ports and shows or resets a shared simulated
machine. Values in decimal or hex; distinct exit statuses for bad arguments
and for refused port access, whose cause goes to standard error.
.
qport-run, which runs an unmodified program that uses port instructions
(inb/outb, ioperm, iopl) on the simulated PC, or on the real ports with
only the ports it asks for.")

set(CPACK_DEBIAN_QUORREL_PACKAGE_NAME quorrel)
set(CPACK_DEBIAN_QUORREL_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_QUORREL_DEPENDS runtime)
set(CPACK_COMPONENT_QUORREL_DESCRIPTION
  "GUI program that tries direct I/O port access
Quorrel, a window program that tries port access: at the press of a button
it runs a fixed sequence of reads and writes on the printer port 0x378 and
shows the values read.")

set(CPACK_DEBIAN_PANEL_PACKAGE_NAME qport-panel)
set(CPACK_DEBIAN_PANEL_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_PANEL_DEPENDS runtime)
set(CPACK_COMPONENT_PANEL_DESCRIPTION
  "front panel of the simulated PC of libqport
qport-panel, a window that follows the simulated PC of libqport's simulated
build live: the parallel port's pins as lamps and switches, its registers,
the LCD, printer, loopback plug or JTAG target on it, the clock, POST code,
Super I/O chip and PCI functions, and the last port transfers.")

include(${PROJECT_SOURCE_DIR}/python/package.cmake)

# Every package carries the copyright file and the Debian changelog, in
# /usr/share/doc/<package>, and its lintian overrides. This loop must come
# after the last component is added to CPACK_COMPONENTS_ALL. EXCLUDE_FROM_ALL keeps them out of a plain
# `cmake --install`, which has no package to name the directory after.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} component_upper)
  set(package ${CPACK_DEBIAN_${component_upper}_PACKAGE_NAME})
  if(NOT package)
    message(FATAL_ERROR "component ${component} has no CPACK_DEBIAN_${component_upper}_PACKAGE_NAME")
  endif()
  set(package_doc_dir ${CMAKE_CURRENT_BINARY_DIR}/debian/${package})
  configure_file(packaging/changelog.Debian.in ${package_doc_dir}/changelog.Debian @ONLY)
  # -n: no name or time stamp in the archive, so the package is reproducible.
  execute_process(COMMAND gzip -9nf ${package_doc_dir}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
  install(FILES packaging/copyright ${package_doc_dir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  # What lintian reports and is so by design, with the reasons: the overrides
  # for every package, then those of the package alone.
  file(READ packaging/all.lintian-overrides overrides)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${package}.lintian-overrides)
    file(READ packaging/${package}.lintian-overrides package_overrides)
    string(APPEND overrides "${package_overrides}")
  endif()
  file(WRITE ${package_doc_dir}/lintian-overrides "${overrides}")
  install(FILES ${package_doc_dir}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
