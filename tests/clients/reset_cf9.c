// SPDX-License-Identifier: LGPL-2.1-or-later
// Linux's reboot=pci, as a program: reads the reset control register at
// 0xCF9, writes it with bit 1 (a hard reset), then with bits 1, 2 and 3,
// as the kernel does for a cold reboot. Run it only under
// qport-run --simulated: on a real PC this resets the machine.
#include <stdio.h>
#include <sys/io.h>
#include <unistd.h>

int main(void)
{
    if (ioperm(0xCF9, 1, 1) != 0) {
        perror("ioperm");
        return 1;
    }
    const unsigned char reboot_code = 0x0E;
    const unsigned char cf9 = (unsigned char)(inb(0xCF9) & ~reboot_code);
    outb((unsigned char)(cf9 | 0x02), 0xCF9);
    usleep(50);
    outb((unsigned char)(cf9 | reboot_code), 0xCF9);
    printf("still running after the reset\n");
    return 0;
}
