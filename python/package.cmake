# SPDX-License-Identifier: LGPL-2.1-or-later
# The Debian package python3-qport, included by cmake/QportPackages.cmake
# when the module is built: the package qport, its compiled module _qport and
# that one's stubs, for the one Python version _qport was built for.
if(TARGET qport_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qport)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${QPORT_PYTHON_DEPENDS}")
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "Python bindings for direct I/O port access
The Python package qport: the library's entry points (qport.inportb(port),
qport.outport(port, value), ...), its access status and notices, and the
simulated port space's controls, with type stubs.")
endif()
