// SPDX-License-Identifier: LGPL-2.1-or-later
// Whether qport-run's library can enter a program: the checks the launcher
// makes before it executes anything.
#ifndef QPORT_RUN_PROGRAM_CHECK_H
#define QPORT_RUN_PROGRAM_CHECK_H

#include <string>

namespace qport_run {

// The C library's x86-64 loader, the only one the preload is built for.
constexpr const char *standard_loader = "/lib64/ld-linux-x86-64.so.2";

// Why the program at path cannot run with the preload in effect, as a text
// for the user that starts with what is wrong ("is statically linked: ..."),
// or "" when it can. A script is judged by its interpreter, through up to
// four levels as the kernel follows them.
std::string why_not_enterable(const std::string &path);

// Where execvp() would find name: name itself when it holds a slash, else
// the first executable regular file of that name on PATH. "" when none.
std::string find_program(const std::string &name);

} // namespace qport_run

#endif
