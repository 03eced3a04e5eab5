// SPDX-License-Identifier: LGPL-2.1-or-later
// The transfer primitives of the backend this build is made with.
#ifndef QPORT_BACKEND_H
#define QPORT_BACKEND_H

#if defined(QPORT_HARDWARE)
#include "backend_hardware.h"
#elif defined(QPORT_SIMULATED)
#include "backend_simulated.h"
#else
#error "define QPORT_HARDWARE or QPORT_SIMULATED"
#endif

#endif
