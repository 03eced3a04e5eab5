// Port transfers on the in-memory port space.
#ifndef QPORT_BACKEND_SIMULATED_H
#define QPORT_BACKEND_SIMULATED_H

#include <atomic>
#include <cstdint>

#include "qport_ext.h"

namespace qport::backend {

// What qport_sim_refuse or QPORT_SIM_REFUSE made of access; constant-
// initialised, so the check is one load even in a signal handler.
extern constinit std::atomic<qport_access> simulated_access;

inline bool thread_may_transfer()
{
    return simulated_access.load(std::memory_order_relaxed) == QPORT_ACCESS_GRANTED;
}

std::uint8_t in8(std::uint16_t port);
std::uint16_t in16(std::uint16_t port);
std::uint32_t in32(std::uint16_t port);
void out8(std::uint16_t port, std::uint8_t value);
void out16(std::uint16_t port, std::uint16_t value);
void out32(std::uint16_t port, std::uint32_t value);

} // namespace qport::backend

#endif
