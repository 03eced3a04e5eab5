// SPDX-License-Identifier: LGPL-2.1-or-later
// Writes the parallel port's data register and reads its status register,
// once the kernel is known to grant port access.
#include <cstdio>

#include <qport.h>     // the eleven entry points
#include <qport_ext.h> // access status, messages, notice presenter

int main()
{
    if (qport_access_status() != QPORT_ACCESS_GRANTED) {
        std::fprintf(stderr, "%s\n", qport_access_message()); // why, and the fix
        return 1;
    }
    outportb(0x378, 0x55);             // write the data register
    const int status = inportb(0x379); // -128..127: the byte, sign-extended
    std::printf("data 0x55 written, status 0x%02x\n", status & 0xFF);
    return 0;
}
