// SPDX-License-Identifier: LGPL-2.1-or-later
// Port transfers on the in-memory port space.
#ifndef QPORT_BACKEND_SIMULATED_H
#define QPORT_BACKEND_SIMULATED_H

#include <cstdint>

namespace qport::backend {

bool thread_may_transfer();

std::uint8_t in8(std::uint16_t port);
std::uint16_t in16(std::uint16_t port);
std::uint32_t in32(std::uint16_t port);
void out8(std::uint16_t port, std::uint8_t value);
void out16(std::uint16_t port, std::uint16_t value);
void out32(std::uint16_t port, std::uint32_t value);

} // namespace qport::backend

#endif
