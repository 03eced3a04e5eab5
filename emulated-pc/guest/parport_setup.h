// SPDX-License-Identifier: LGPL-2.1-or-later
// The parport phase's machine: Debian's parport, parport_pc and ppdev
// modules loaded, and /dev/parport0 given to group lp as udev would.
#ifndef QPORT_GUEST_PARPORT_SETUP_H
#define QPORT_GUEST_PARPORT_SETUP_H

#include <string>

#include <sys/types.h>

namespace guest {

// Debian's group lp.
constexpr gid_t lp_group = 7;

// Loads the modules from /lib/modules/qport, makes /dev/parport0 root:lp
// 0660 and names the groups in /etc/group. "" when done, else what failed.
std::string prepare_parallel_port();

} // namespace guest

#endif
