# SPDX-License-Identifier: LGPL-2.1-or-later
# Where the Python module goes under an install prefix, for the interpreter
# it is built for: QPORT_PYTHON_VERSION_NAME (python3.X) and
# QPORT_DEBIAN_PYTHON (true for Debian's python3, which looks in
# dist-packages). Included while configuring and while installing, since
# `cmake --install --prefix` and CPack choose the prefix only then.
#
# Debian's python3 looks in lib/python3/dist-packages under /usr and in
# lib/python3.X/dist-packages under /usr/local. Any other prefix gets the
# interpreter's own lib/python3.X/site-packages: where ~/.local (the user
# site) and a virtual environment keep their modules, and what PYTHONPATH
# can name.
function(qport_python_install_dir variable prefix)
  cmake_path(SET prefix NORMALIZE "${prefix}")
  string(REGEX REPLACE "(.)/$" "\\1" prefix "${prefix}")
  if(QPORT_DEBIAN_PYTHON AND prefix STREQUAL "/usr")
    set(${variable} lib/python3/dist-packages PARENT_SCOPE)
  elseif(QPORT_DEBIAN_PYTHON AND prefix STREQUAL "/usr/local")
    set(${variable} lib/${QPORT_PYTHON_VERSION_NAME}/dist-packages PARENT_SCOPE)
  else()
    set(${variable} lib/${QPORT_PYTHON_VERSION_NAME}/site-packages PARENT_SCOPE)
  endif()
endfunction()
