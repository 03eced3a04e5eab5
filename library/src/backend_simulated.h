// SPDX-License-Identifier: LGPL-2.1-or-later
// Port transfers on the in-memory port space. The common case (a port with
// no device behind it, the data latch, nothing recorded or traced) is inline,
// so that a transfer costs little more than the call into the library; the
// status and control registers, the devices and the record are out of line.
#ifndef QPORT_BACKEND_SIMULATED_H
#define QPORT_BACKEND_SIMULATED_H

#include <array>
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
// With no device on the parallel port nothing moves on a read, and every
// port reads its stored value (the control register with its unused bits
// set): a wide transfer with nothing noted is then its bytes' loads or
// stores, inline.
[[gnu::always_inline]] inline bool plain_wide_transfer(const sim::Machine &machine)
{
    return machine.device.load(std::memory_order_relaxed) == QPORT_SIM_DEVICE_NONE &&
           !transfers_noted(machine);
}

// What turns the stored bytes of a wide transfer's ports into the values
// they read, for each start from first_of_window to the control register:
// each port is stored as value ^ reset value, and the control register reads
// its unused bits as ones. A transfer that starts anywhere else touches
// unbacked ports only.
constexpr std::uint16_t first_of_window = sim::data_port - 3;
constexpr unsigned window_starts = sim::control_port - first_of_window + 1;
struct ReadMask {
    std::uint32_t flip;
    std::uint32_t set;
};
template <unsigned Bytes>
constexpr std::array<ReadMask, window_starts> read_masks = [] {
    std::array<ReadMask, window_starts> masks{};
    for (unsigned start = 0; start < window_starts; ++start) {
        for (unsigned i = 0; i < Bytes; ++i) {
            const auto port = static_cast<std::uint16_t>(first_of_window + start + i);
            masks[start].flip |= std::uint32_t{sim::reset_value(port)} << (8 * i);
            if (port == sim::control_port)
                masks[start].set |= std::uint32_t{sim::control_unused_bits} << (8 * i);
        }
    }
    return masks;
}();

template <unsigned Bytes> [[gnu::always_inline]] inline std::uint32_t read_wide(std::uint16_t port)
{
    const sim::Machine &machine = *sim::active_machine();
    if (!plain_wide_transfer(machine)) [[unlikely]]
        return read_ports_in_full<Bytes>(port);
    std::uint32_t stored = 0;
#pragma GCC unroll 4
    for (unsigned i = 0; i < Bytes; ++i)
        stored |= std::uint32_t{machine.stored[static_cast<std::uint16_t>(port + i)].load(
                      std::memory_order_relaxed)}
                  << (8 * i);
    constexpr std::uint32_t all_ones = 0xFFFFFFFFU >> (32 - 8 * Bytes);
    const auto offset = static_cast<std::uint16_t>(port - first_of_window);
    if (offset >= window_starts) [[likely]] // clear of the parallel port's registers
        return stored ^ all_ones;
    const ReadMask &mask = read_masks<Bytes>[offset];
    return (stored ^ mask.flip) | mask.set;
}

template <unsigned Bytes>
[[gnu::always_inline]] inline void write_wide(std::uint16_t port, std::uint32_t value)
{
    sim::Machine &machine = *sim::active_machine();
    if (!plain_wide_transfer(machine)) [[unlikely]] {
        write_ports_in_full<Bytes>(port, value);
        return;
    }
    // Only the data latch and the control register take writes.
    const auto to_data = static_cast<std::uint16_t>(sim::data_port - port);
    if (to_data < Bytes)
        machine.stored[sim::data_port].store(static_cast<std::uint8_t>(value >> (8 * to_data)),
                                             std::memory_order_relaxed);
    const auto to_control = static_cast<std::uint16_t>(sim::control_port - port);
    if (to_control < Bytes)
        machine.stored[sim::control_port].store(
            static_cast<std::uint8_t>((static_cast<std::uint8_t>(value >> (8 * to_control)) &
                                       static_cast<std::uint8_t>(~sim::control_unused_bits)) ^
                                      sim::reset_value(sim::control_port)),
            std::memory_order_relaxed);
}

inline std::uint16_t in16(std::uint16_t port)
{
    return static_cast<std::uint16_t>(read_wide<2>(port));
}
inline std::uint32_t in32(std::uint16_t port) { return read_wide<4>(port); }
inline void out16(std::uint16_t port, std::uint16_t value) { write_wide<2>(port, value); }
inline void out32(std::uint16_t port, std::uint32_t value) { write_wide<4>(port, value); }

} // namespace qport::backend

#endif
