// SPDX-License-Identifier: LGPL-2.1-or-later
#include "exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qportio {

int usage_error(const char *text)
{
    std::fprintf(stderr, "qportio: %s\nTry 'qportio --help' for more information.\n", text);
    return exit_usage;
}

int finish_output()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qportio: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return exit_output_failed;
    }
    return exit_done;
}

} // namespace qportio
