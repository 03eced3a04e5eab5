// SPDX-License-Identifier: LGPL-2.1-or-later
// An access decision, as the library and its parallel port route pass it on.
#ifndef QPORT_ACCESS_DECISION_H
#define QPORT_ACCESS_DECISION_H

#include "qport_ext.h"

// What a refused transfer does, as every notice says it: a literal, so that
// notices join it to their own words at compile time.
#define QPORT_REFUSED_TRANSFER_OUTCOME "reads return -1 (all bits set) and writes are dropped."

namespace qport {

// An access decision: the cause, and the errno of the request behind it.
struct Access {
    qport_access cause = QPORT_ACCESS_GRANTED;
    int error = 0;
    // Why the kernel refused direct access, when cause is
    // QPORT_ACCESS_PARPORT_ONLY.
    qport_access refused_cause = QPORT_ACCESS_GRANTED;

    // Direct access to the ports, which the parallel port route is not.
    qport_access direct_cause() const
    {
        return cause == QPORT_ACCESS_PARPORT_ONLY ? refused_cause : cause;
    }
};

} // namespace qport

#endif
