// SPDX-License-Identifier: LGPL-2.1-or-later
// What the subjects that check their own answers under qport-run share:
// each check that fails says so on one line and counts, and the subject
// exits with 1 if any did; and the ways a program closes a descriptor
// behind the C library's back, which the preload must notice.
#ifndef QPORT_RUN_SUBJECT_CHECKS_H
#define QPORT_RUN_SUBJECT_CHECKS_H

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

inline int failures = 0;

inline void expect(bool good, const std::string &what)
{
    if (!good) {
        std::printf("FAIL: %s\n", what.c_str());
        ++failures;
    }
}

// Each way, named, of closing descriptor fd without the C library's close().
inline std::vector<std::pair<const char *, std::function<void(int)>>>
ways_to_close_behind_the_back()
{
    return {
        {"a raw close system call", [](int fd) { ::syscall(SYS_close, fd); }},
        {"close_range", [](int fd) { ::close_range(static_cast<unsigned>(fd), ~0U, 0); }},
        {"closefrom", [](int fd) { ::closefrom(fd); }},
        {"fclose of an fdopen", [](int fd) { std::fclose(::fdopen(fd, "r+")); }},
    };
}

#endif
