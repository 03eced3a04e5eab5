// SPDX-License-Identifier: LGPL-2.1-or-later
// What qport_access_message() says: why port access was refused and how to
// get it, composed from facts the caller gathers, so that the text for each
// cause can be tried on the host.
#ifndef QPORT_ACCESS_TEXTS_H
#define QPORT_ACCESS_TEXTS_H

#include <string>

#include "internal.h"

namespace qport {

inline constexpr const char *refused_outcome =
    "No port transfer was made: " QPORT_REFUSED_TRANSFER_OUTCOME;

struct AccessFacts {
    std::string backend;       // "hardware" or "simulated"
    std::string lockdown_mode; // "integrity", for a lockdown; "" when unknown
    // Where the installed documentation says how to give a program port
    // access, and whom to let run it first.
    std::string documentation;
    // For QPORT_ACCESS_PARPORT_ONLY: what is reachable (partial_access_text).
    std::string reachable;
};

// For the route, what is reachable comes first, then why the kernel refused
// direct access and how to get it.
std::string access_message(const Access &access, const AccessFacts &facts);

} // namespace qport

#endif
