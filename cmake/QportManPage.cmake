# SPDX-License-Identifier: LGPL-2.1-or-later
# qport_install_man_page(PAGE COMPONENT): installs the roff page PAGE (a path
# beside the CMakeLists that calls it, named NAME.SECTION) compressed, as
# Debian wants it and man reads it, and tests that groff renders it without
# a single warning.
include_guard(GLOBAL)
include(GNUInstallDirs)

function(qport_install_man_page page component)
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page})
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[1-9]$" section ${name})
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  # Compressed while configuring, and again whenever the page changes.
  # -n: no name or time stamp in it, so that packages are reproducible.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  execute_process(COMMAND gzip -9n INPUT_FILE ${source} OUTPUT_FILE ${compressed}
    COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
  if(BUILD_TESTING)
    add_test(NAME man_page_${name} COMMAND groff -man -Tutf8 -ww -z ${source})
    set_tests_properties(man_page_${name} PROPERTIES FAIL_REGULAR_EXPRESSION ".")
  endif()
endfunction()
