/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Asks, before any transfer, whether the kernel grants port access, and when
 * it does not, tells the user why and what to do, instead of letting the
 * first transfer show the library's notice. Written in C: qport_ext.h is
 * usable from C, qport.h (the transfers) from C++ only.
 *   handle_refusal    exit status: 0 granted; 1 refused, and the user can
 *                     fix it (privilege, container); 2 refused by this
 *                     machine (lockdown, kernel, processor) */
#include <stdio.h>
#include <string.h>

#include <qport_ext.h>

int main(void)
{
    const enum qport_access cause = qport_access_status();
    const int error = qport_access_errno();

    printf("%s build: port access %s", qport_backend(),
           cause == QPORT_ACCESS_GRANTED ? "granted\n" : "refused");
    if (cause == QPORT_ACCESS_GRANTED)
        return 0;
    printf(" (%s)\n", error != 0 ? strerror(error) : "no request made");
    /* The library's own words: the cause, and the fix for this program. */
    printf("%s\n", qport_access_message());

    switch (cause) {
    case QPORT_ACCESS_NO_PRIVILEGE:
    case QPORT_ACCESS_USER_NAMESPACE:
        return 1;
    default:
        return 2;
    }
}
