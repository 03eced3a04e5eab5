// SPDX-License-Identifier: LGPL-2.1-or-later
// Uses the simulated build's own control of the port space; linked to that
// build, it must find it without any library path set.
#include <cstdio>
#include <cstring>

#include "qport.h"
#include "qport_sim.h"

int main()
{
    if (std::strcmp(qport_backend(), "simulated") != 0) {
        std::fprintf(stderr, "refusing to run on the %s build\n", qport_backend());
        return 1;
    }
    qport_sim_preset(0x379, 0x42);
    std::printf("%s %d\n", qport_backend(), inportb(0x379));
    return 0;
}
