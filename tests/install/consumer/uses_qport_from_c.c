/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The extension API from C: which build is loaded and whether access is
 * granted. Makes no transfer. */
#include <stdio.h>

#include "qport_ext.h"

int main(void)
{
    printf("%s %s\n", qport_backend(),
           qport_access_status() == QPORT_ACCESS_GRANTED ? "granted" : "refused");
    return 0;
}
