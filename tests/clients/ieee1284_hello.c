/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A libieee1284 program, built by libieee1284.sh: finds the ports, says
 * what it found, and prints "hello" on the first one in compatibility
 * mode. Exits with 1 at the first call that fails. */
#include <stdio.h>
#include <stdlib.h>

#include <ieee1284.h>

static void check(int result, const char *what)
{
    if (result < 0) {
        printf("%s failed: %d\n", what, result);
        exit(1);
    }
}

int main(void)
{
    struct parport_list list;
    check(ieee1284_find_ports(&list, 0), "ieee1284_find_ports");
    printf("ports: %d\n", list.portc);
    for (int at = 0; at < list.portc; ++at)
        printf("port %s base 0x%lx\n", list.portv[at]->name, list.portv[at]->base_addr);
    if (list.portc == 0)
        return 1;
    struct parport *port = list.portv[0];
    int capabilities = 0;
    check(ieee1284_open(port, F1284_EXCL, &capabilities), "ieee1284_open");
    printf("filename %s\n", port->filename != NULL ? port->filename : "(none)");
    printf("capabilities%s%s%s\n", (capabilities & CAP1284_RAW) != 0 ? " raw" : "",
           (capabilities & CAP1284_EPP) != 0 ? " epp" : "",
           (capabilities & CAP1284_ECP) != 0 ? " ecp" : "");
    check(ieee1284_claim(port), "ieee1284_claim");
    ssize_t written = ieee1284_compat_write(port, 0, "hello", 5);
    printf("written %zd\n", written);
    ieee1284_release(port);
    ieee1284_close(port);
    ieee1284_free_ports(&list);
    return written == 5 ? 0 : 1;
}
