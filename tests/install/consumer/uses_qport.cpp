// SPDX-License-Identifier: LGPL-2.1-or-later
// Writes and reads back the printer port's data latch. Linked to the
// hardware build, run with the simulated one swapped in.
#include <cstdio>
#include <cstring>

#include "qport.h"
#include "qport_ext.h"

int main()
{
    // A host test must never reach real ports: stop unless the swap worked.
    if (std::strcmp(qport_backend(), "simulated") != 0) {
        std::fprintf(stderr, "refusing to run on the %s build\n", qport_backend());
        return 1;
    }
    outportb(0x378, 0x5A);
    std::printf("%s %d\n", qport_backend(), inportb(0x378));
    return 0;
}
