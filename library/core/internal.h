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

} // namespace qport

#endif
