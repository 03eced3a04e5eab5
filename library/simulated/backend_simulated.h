// SPDX-License-Identifier: LGPL-2.1-or-later
// Port transfers on the simulated PC. The common case (a port that no
// device decodes, with nothing recorded or traced) is inline: one load of
// the port's owner, and a load of its preset for a read, so that a transfer
// costs little more than the call into the library. Everything else (the
// devices, the record, the trace) is out of line, in sim_*.cpp.
#ifndef QPORT_BACKEND_SIMULATED_H
#define QPORT_BACKEND_SIMULATED_H

#include <atomic>
#include <cstdint>

#include "qport_ext.h"
#include "machine.h"
#include "outputs.h"
#include "transfer_lines.h"

namespace qport::backend {

// What qport_sim_refuse or QPORT_SIM_REFUSE made of access; constant-
// initialised, so the check is one load even in a signal handler.
extern constinit std::atomic<qport_access> simulated_access;

// Set by qport_drop_access(): that thread is refused whatever the simulated
// kernel answers.
extern constinit thread_local bool thread_dropped_access __attribute__((tls_model("initial-exec")));

inline bool thread_may_transfer()
{
    return !thread_dropped_access &&
           simulated_access.load(std::memory_order_relaxed) == QPORT_ACCESS_GRANTED;
}

// Out of line: a transfer of Bytes bytes through the devices, recorded and
// traced as set.
template <unsigned Bytes> [[gnu::noinline]] std::uint32_t read_through_devices(std::uint16_t port);
template <unsigned Bytes>
[[gnu::noinline]] void write_through_devices(std::uint16_t port, std::uint32_t value);
extern template std::uint32_t read_through_devices<1>(std::uint16_t);
extern template std::uint32_t read_through_devices<2>(std::uint16_t);
extern template std::uint32_t read_through_devices<4>(std::uint16_t);
extern template void write_through_devices<1>(std::uint16_t, std::uint32_t);
extern template void write_through_devices<2>(std::uint16_t, std::uint32_t);
extern template void write_through_devices<4>(std::uint16_t, std::uint32_t);

inline bool transfers_noted(const sim::Machine &machine)
{
    return machine.recording.load(std::memory_order_relaxed) != 0 || sim::trace.is_open() ||
           recording_file.is_open();
}

// The devices' path notes every transfer it makes; the slow path makes
// none of its own.
inline void note_slow_transfer(char /*direction*/, unsigned /*width_bits*/, std::uint16_t /*port*/,
                               std::uint32_t /*value*/)
{}

// Whether no device decodes any of the Bytes ports from port: their owners
// OR'd, so one compare decides.
template <unsigned Bytes>
[[gnu::always_inline]] inline bool unowned(const sim::Machine &machine, std::uint16_t port)
{
    std::uint8_t owners = 0;
#pragma GCC unroll 4
    for (unsigned i = 0; i < Bytes; ++i)
        owners |=
            machine.owner[static_cast<std::uint16_t>(port + i)].load(std::memory_order_relaxed);
    return owners == sim::owner_none;
}

template <unsigned Bytes>
[[gnu::always_inline]] inline std::uint32_t simulated_read(std::uint16_t port)
{
    const sim::Machine &machine = *sim::active_machine();
    if (!unowned<Bytes>(machine, port) || transfers_noted(machine)) [[unlikely]]
        return read_through_devices<Bytes>(port);
    // Unbacked ports read all ones, or their preset: stored as value ^ 0xFF.
    std::uint32_t stored = 0;
#pragma GCC unroll 4
    for (unsigned i = 0; i < Bytes; ++i)
        stored |= std::uint32_t{machine.preset[static_cast<std::uint16_t>(port + i)].load(
                      std::memory_order_relaxed)}
                  << (8 * i);
    constexpr std::uint32_t all_ones = 0xFFFFFFFFU >> (32 - 8 * Bytes);
    return stored ^ all_ones;
}

// A write to ports no device decodes goes nowhere.
template <unsigned Bytes>
[[gnu::always_inline]] inline void simulated_write(std::uint16_t port, std::uint32_t value)
{
    const sim::Machine &machine = *sim::active_machine();
    if (!unowned<Bytes>(machine, port) || transfers_noted(machine)) [[unlikely]]
        write_through_devices<Bytes>(port, value);
}

[[gnu::always_inline]] inline std::uint8_t in8(std::uint16_t port)
{
    return static_cast<std::uint8_t>(simulated_read<1>(port));
}
[[gnu::always_inline]] inline std::uint16_t in16(std::uint16_t port)
{
    return static_cast<std::uint16_t>(simulated_read<2>(port));
}
[[gnu::always_inline]] inline std::uint32_t in32(std::uint16_t port)
{
    return simulated_read<4>(port);
}
[[gnu::always_inline]] inline void out8(std::uint16_t port, std::uint8_t value)
{
    simulated_write<1>(port, value);
}
[[gnu::always_inline]] inline void out16(std::uint16_t port, std::uint16_t value)
{
    simulated_write<2>(port, value);
}
[[gnu::always_inline]] inline void out32(std::uint16_t port, std::uint32_t value)
{
    simulated_write<4>(port, value);
}

} // namespace qport::backend

#endif
