// SPDX-License-Identifier: LGPL-2.1-or-later
// The hardware backend's side of the parallel port route (parport_route.cpp):
// the backend contract's route functions, in backend.h, make the transfers.
#ifndef QPORT_PARPORT_ROUTE_H
#define QPORT_PARPORT_ROUTE_H

#include "internal.h"

namespace qport {

// The access of the calling thread once the route is counted: every refusal
// by the kernel becomes QPORT_ACCESS_PARPORT_ONLY when this user may open a
// parallel port's /dev/parportN; the thread's transfers on that port's
// registers then go through it (bytes, and on a port with EPP up to 4 bytes
// within its data registers).
Access widened_by_parport_route(const Access &access);
// The calling thread dropped its access: its transfers no longer take the
// route.
void leave_parport_route();

} // namespace qport

#endif
