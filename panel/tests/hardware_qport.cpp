// SPDX-License-Identifier: LGPL-2.1-or-later
// Stands in for the hardware build of libqport.so.1 as the panel sees it: a
// backend named "hardware" and no qport_sim_* functions. It executes no
// port instruction, so the refusal can be tested on any host, as root too.
#include "qport_ext.h"

const char *qport_backend(void) { return "hardware"; }
