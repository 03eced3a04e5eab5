// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio ports: the machine's parallel ports, as the kernel knows them.
#ifndef QPORTIO_PARALLEL_PORTS_H
#define QPORTIO_PARALLEL_PORTS_H

#include <string>

namespace qportio {

// The listing for the system under root ("" for the running one): the
// parport driver's ports with their registers, holder and whether this user
// may open their device, then the PCI parallel-port cards with their I/O
// ranges, bound to a driver or not.
std::string describe_parallel_ports(const std::string &root);

} // namespace qportio

#endif
