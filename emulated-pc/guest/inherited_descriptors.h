// SPDX-License-Identifier: LGPL-2.1-or-later
// The check every guest program makes first: that it was started holding
// standard input, output and error only. A descriptor beyond them was left
// open without close-on-exec by whoever started it (/init), and would reach
// every program it runs in turn. Header-only, like kernel_command_line.h,
// for the programs built without the test framework.
#ifndef QPORT_GUEST_INHERITED_DESCRIPTORS_H
#define QPORT_GUEST_INHERITED_DESCRIPTORS_H

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <unistd.h>

namespace guest {

// True when nothing beyond descriptors 0..2 is open; otherwise names each on
// standard error. Called before anything in the program opens a file.
inline bool holds_only_standard_descriptors()
{
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (descriptors == nullptr) {
        std::perror("qport-guest: cannot list /proc/self/fd");
        return false;
    }
    bool only_standard = true;
    while (const dirent *entry = ::readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd <= STDERR_FILENO || fd == ::dirfd(descriptors))
            continue;
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX] = {};
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        std::fprintf(stderr,
                     "qport-guest: descriptor %d (%s) was inherited: the program that started "
                     "this one left it open without close-on-exec\n",
                     fd, length > 0 ? target : "?");
        only_standard = false;
    }
    ::closedir(descriptors);
    return only_standard;
}

} // namespace guest

#endif
