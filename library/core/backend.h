// SPDX-License-Identifier: LGPL-2.1-or-later
// The contract between the library and its backend, written once. Each
// build links exactly one backend: backend_hardware (the processor's port
// instructions, asking the kernel for permission) or backend_simulated (an
// in-memory port space). The transfer check and the six transfers are
// inline, in the backend's header, so that a transfer is the check and one
// instruction or one load; everything else is out of line, in its source.
#ifndef QPORT_BACKEND_H
#define QPORT_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "internal.h"

namespace qport::backend {

// The calling thread's access, asking for it if this thread has not asked
// yet. Never executes a port instruction.
Access thread_access();
// Gives up the calling thread's access for good; async-signal-safe. 0, or
// -1 with errno set.
int drop_thread_access();
// The kernel's lockdown mode ("integrity", "confidentiality") that explains
// a lockdown refusal, or "" when it is off, unknown or beside the point.
std::string lockdown_mode();
// "hardware" or "simulated", as qport_backend() gives it.
const char *name();

// The parallel port route: where the kernel refuses direct access, the
// hardware build makes the calling thread's transfers on a parallel port's
// registers through its /dev/parportN (parport_route.cpp); the simulated
// build has no route, its ports being all in memory. A transfer of bytes
// (1, 2 or 4) at port through the route: nullopt or false when the thread's
// transfer takes none, which the caller then refuses as before; a routed
// transfer that fails gives -1 or is dropped, and is told once.
std::optional<std::uint32_t> read_through_route(std::uint16_t port, unsigned bytes);
bool write_through_route(std::uint16_t port, unsigned bytes, std::uint32_t value);
// What the access message says first when only the parallel port is
// reachable.
std::string route_access_text();
// The routes as qport_parport_routes() lists them (all of them counted,
// at most capacity copied), and whether one makes a transfer of bytes at
// port.
std::size_t list_routes(qport_parport_route *out, std::size_t capacity);
bool route_reaches(std::uint16_t port, unsigned bytes);

} // namespace qport::backend

#if defined(QPORT_HARDWARE)
#include "backend_hardware.h"
#elif defined(QPORT_SIMULATED)
#include "backend_simulated.h"
#else
#error "define QPORT_HARDWARE or QPORT_SIMULATED"
#endif

namespace qport::backend {

// Inline in the backend's header:
//   thread_may_transfer()  whether the calling thread may transfer now,
//                          without asking: async-signal-safe, no system
//                          call. False sends the transfer to the slow path,
//                          which asks thread_access().
//   in8/in16/in32, out8/out16/out32
//                          one transfer of that width at a port, in the
//                          port space's own byte order (lowest byte at the
//                          port); called only once the check said yes.
//   note_slow_transfer(direction, width_bits, port, value)
//                          a transfer the slow path made (a routed one, or
//                          one after the check said no and access was
//                          then granted): the hardware build records it
//                          when QPORT_RECORD asks; the simulated build's
//                          devices have noted it already, so it does
//                          nothing.
static_assert(std::is_same_v<decltype(&thread_may_transfer), bool (*)()>);
static_assert(std::is_same_v<decltype(&in8), std::uint8_t (*)(std::uint16_t)>);
static_assert(std::is_same_v<decltype(&in16), std::uint16_t (*)(std::uint16_t)>);
static_assert(std::is_same_v<decltype(&in32), std::uint32_t (*)(std::uint16_t)>);
static_assert(std::is_same_v<decltype(&out8), void (*)(std::uint16_t, std::uint8_t)>);
static_assert(std::is_same_v<decltype(&out16), void (*)(std::uint16_t, std::uint16_t)>);
static_assert(std::is_same_v<decltype(&out32), void (*)(std::uint16_t, std::uint32_t)>);
static_assert(std::is_same_v<decltype(&note_slow_transfer),
                             void (*)(char, unsigned, std::uint16_t, std::uint32_t)>);

} // namespace qport::backend

#endif
