// SPDX-License-Identifier: LGPL-2.1-or-later
// Port transfers on the in-memory port space. The common case (a port with
// no device behind it, the data latch, nothing recorded or traced) is inline,
// so that a transfer costs little more than the call into the library; the
// status and control registers, the devices and the record are out of line.
#ifndef QPORT_BACKEND_SIMULATED_H
#define QPORT_BACKEND_SIMULATED_H

#include <atomic>
#include <cstdint>

#include "qport_ext.h"
#include "sim_machine.h"
#include "sim_output.h"

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

// Out of line, in backend_simulated.cpp. A read made as a transfer may move
// a device on (the printer's acknowledgement); a peek does not.
std::uint8_t read_status_or_control(sim::Machine &machine, std::uint16_t port, bool transfer);
void write_control(sim::Machine &machine, std::uint8_t value);
[[gnu::cold]] void note_transfer(sim::Machine &machine, char direction, unsigned width_bits,
                                 std::uint16_t port, std::uint32_t value);

inline std::uint8_t read_byte(sim::Machine &machine, std::uint16_t port, bool transfer)
{
    const std::uint8_t stored = machine.stored[port].load(std::memory_order_relaxed);
    if (port == sim::data_port)
        return stored; // its reset value is 0
    if (static_cast<std::uint16_t>(port - sim::status_port) < 2) [[unlikely]]
        return read_status_or_control(machine, port, transfer);
    return static_cast<std::uint8_t>(stored ^ 0xFF); // unbacked or preset
}

// Only the data latch and the control register take writes; the status
// register, unbacked ports and preset ports are read-only.
inline void write_byte(sim::Machine &machine, std::uint16_t port, std::uint8_t value)
{
    if (port == sim::data_port)
        machine.stored[port].store(value, std::memory_order_relaxed);
    else if (port == sim::control_port) [[unlikely]]
        write_control(machine, value);
}

inline bool transfers_noted(const sim::Machine &machine)
{
    return machine.recording.load(std::memory_order_relaxed) != 0 || sim::trace.is_open();
}

// Wide transfers act on consecutive ports, lowest first.
template <unsigned Bytes> [[gnu::noinline]] std::uint32_t read_ports_in_full(std::uint16_t port)
{
    sim::Machine &machine = *sim::active_machine();
    std::uint32_t value = 0;
    for (unsigned i = 0; i < Bytes; ++i)
        value |= std::uint32_t{read_byte(machine, static_cast<std::uint16_t>(port + i), true)}
                 << (8 * i);
    if (transfers_noted(machine)) [[unlikely]]
        note_transfer(machine, 'i', Bytes * 8, port, value);
    return value;
}

template <unsigned Bytes>
[[gnu::noinline]] void write_ports_in_full(std::uint16_t port, std::uint32_t value)
{
    sim::Machine &machine = *sim::active_machine();
    for (unsigned i = 0; i < Bytes; ++i)
        write_byte(machine, static_cast<std::uint16_t>(port + i),
                   static_cast<std::uint8_t>(value >> (8 * i)));
    if (transfers_noted(machine)) [[unlikely]]
        note_transfer(machine, 'o', Bytes * 8, port, value);
}

// A byte at a port without side effects, with nothing noted, is a load or a
// store and nothing else: no stack frame, no call.
[[gnu::always_inline]] inline bool plain_byte_transfer(const sim::Machine &machine,
                                                       std::uint16_t port)
{
    return static_cast<std::uint16_t>(port - sim::status_port) >= 2 && !transfers_noted(machine);
}

[[gnu::always_inline]] inline std::uint8_t in8(std::uint16_t port)
{
    sim::Machine &machine = *sim::active_machine();
    if (plain_byte_transfer(machine, port)) [[likely]]
        return read_byte(machine, port, true);
    return static_cast<std::uint8_t>(read_ports_in_full<1>(port));
}
[[gnu::always_inline]] inline void out8(std::uint16_t port, std::uint8_t value)
{
    sim::Machine &machine = *sim::active_machine();
    if (plain_byte_transfer(machine, port)) [[likely]]
        write_byte(machine, port, value);
    else
        write_ports_in_full<1>(port, value);
}
inline std::uint16_t in16(std::uint16_t port)
{
    return static_cast<std::uint16_t>(read_ports_in_full<2>(port));
}
inline std::uint32_t in32(std::uint16_t port) { return read_ports_in_full<4>(port); }
inline void out16(std::uint16_t port, std::uint16_t value) { write_ports_in_full<2>(port, value); }
inline void out32(std::uint16_t port, std::uint32_t value) { write_ports_in_full<4>(port, value); }

} // namespace qport::backend

#endif
