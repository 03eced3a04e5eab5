// SPDX-License-Identifier: LGPL-2.1-or-later
// Internal interfaces shared by the library's sources.
#ifndef QPORT_INTERNAL_H
#define QPORT_INTERNAL_H

#include <cstdint>
#include <optional>
#include <string>

#include "qport_access_decision.h"
#include "qport_ext.h"

#define QPORT_EXPORT __attribute__((visibility("default")))

namespace qport {

// The 16 bits of a port number, whatever the sign of the short that holds it.
inline std::uint16_t port_address(short port) { return static_cast<std::uint16_t>(port); }

// Shows a notice through the installed presenter and returns its answer.
int present_notice(const char *title, const char *text);

// Slow paths of the transfer check, each telling the user once per process
// about a refusal. obtain_thread_access() answers whether the calling thread
// may transfer after all; a transfer past the last port never may.
bool obtain_thread_access();
void tell_past_last_port(unsigned width_bits, std::uint16_t port);
// Lets each of the above tell once more (qport_sim_reset).
void forget_told_notices();

// The parallel port without root (parport_route.cpp). The hardware backend
// widens every refusal by the kernel to QPORT_ACCESS_PARPORT_ONLY when this
// user may open a parallel port's /dev/parportN; the calling thread's
// transfers on that port's registers then go through it (bytes, and on a
// port with EPP up to 4 bytes within its data registers). The transfer hooks
// answer nullopt or false for a transfer they do not route, which the caller
// then refuses as before; a routed transfer that fails gives -1 or is
// dropped, and is told once.
Access widened_by_parport_route(const Access &access);
std::optional<std::uint32_t> read_through_parport_route(std::uint16_t port, unsigned bytes);
bool write_through_parport_route(std::uint16_t port, unsigned bytes, std::uint32_t value);
// The calling thread dropped its access: its transfers no longer take the
// route.
void leave_parport_route();
// What the access message says first when only the parallel port is
// reachable.
std::string parport_access_text();

} // namespace qport

#endif
