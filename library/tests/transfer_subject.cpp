// SPDX-License-Identifier: LGPL-2.1-or-later
// A program on the simulated build, for tests that need the library loaded
// into a process of their own (with its environment and descriptors set up
// for the case): it writes 0x55 to the data latch 20 times, then prints what
// the latch reads. Exit status 0, or 1 if that could not be printed.
//   transfer_subject [wait] [look] [exec]
//   wait  first read one byte from standard input
//   look  first ask qport_sim.h which machine it acts on
//   exec  then become a shell that lists its open descriptors
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "qport.h"
#include "qport_sim.h"

int main(int argc, char **argv)
{
    bool wait = false;
    bool look = false;
    bool exec = false;
    for (int i = 1; i < argc; ++i) {
        wait = wait || std::strcmp(argv[i], "wait") == 0;
        look = look || std::strcmp(argv[i], "look") == 0;
        exec = exec || std::strcmp(argv[i], "exec") == 0;
    }
    if (look)
        std::printf("%s\n", qport_sim_machine_path() != nullptr ? "shared" : "own");
    if (wait) {
        char byte = 0;
        if (::read(STDIN_FILENO, &byte, 1) != 1)
            return 1;
    }
    for (int i = 0; i < 20; ++i)
        outportb(0x378, 0x55);
    const bool printed = std::printf("%d\n", inportb(0x378)) > 0 && std::fflush(stdout) == 0;
    if (exec)
        ::execl("/bin/sh", "sh", "-c", "ls -l /proc/$$/fd", static_cast<char *>(nullptr));
    return printed ? 0 : 1;
}
