// SPDX-License-Identifier: LGPL-2.1-or-later
// An access decision, as the library and its parallel port route pass it on.
#ifndef QPORT_ACCESS_DECISION_H
#define QPORT_ACCESS_DECISION_H

#include "qport_ext.h"

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
