// SPDX-License-Identifier: LGPL-2.1-or-later
// Commands printed for the user to copy: a path as one shell word.
#ifndef QPORT_SHELL_QUOTE_H
#define QPORT_SHELL_QUOTE_H

#include <string>

namespace qport {

// path as one word for a POSIX shell: as it is when it holds only characters
// that no shell treats specially, else in single quotes.
std::string shell_quoted(const std::string &path);

} // namespace qport

#endif
