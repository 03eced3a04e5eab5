// SPDX-License-Identifier: LGPL-2.1-or-later
#include <string_view>

#include "shell_quote.h"

namespace qport {

std::string shell_quoted(const std::string &path)
{
    constexpr std::string_view plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789@%+=:,./-_";
    if (!path.empty() && path.find_first_not_of(plain) == std::string::npos)
        return path;
    std::string quoted = "'";
    for (const char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace qport
