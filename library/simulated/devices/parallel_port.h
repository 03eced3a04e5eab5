// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated parallel port: a controller at its base (data, status and
// control registers) with a peripheral on its 25-pin connector. The
// controller keeps the registers; the peripheral sees the lines the port
// drives and drives the status lines. Every peripheral keeps this contract.
#ifndef QPORT_SIM_PARALLEL_PORT_H
#define QPORT_SIM_PARALLEL_PORT_H

#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "qport_sim.h"
#include "device.h"
#include "device_memory.h"
#include "outputs.h"

namespace qport::sim {

// Status register bits (register values, not line levels).
constexpr std::uint8_t status_not_busy = 0x80; // the Busy line inverted
constexpr std::uint8_t status_not_ack = 0x40;
constexpr std::uint8_t status_paper_out = 0x20;
constexpr std::uint8_t status_select = 0x10;
constexpr std::uint8_t status_not_error = 0x08;
constexpr std::uint8_t status_reserved_bits = 0x07; // read as ones
// Control register bits.
constexpr std::uint8_t control_strobe = 0x01;      // 1 drives nStrobe low
constexpr std::uint8_t control_auto_feed = 0x02;   // 1 drives nAutoFeed low
constexpr std::uint8_t control_not_init = 0x04;    // 0 drives nInit low
constexpr std::uint8_t control_select_in = 0x08;   // 1 drives nSelectIn low
constexpr std::uint8_t control_unused_bits = 0xE0; // read as ones
constexpr std::uint8_t control_at_reset = 0x0C;    // nInit high, SELECT IN set

constexpr std::size_t printer_output_capacity = 256;
constexpr std::size_t peripheral_state_bytes = 3072;

// The controller's state in its slot.
struct ParallelPortState {
    std::atomic<std::uint8_t> data;
    std::atomic<std::uint8_t> control;     // bits 0..4 as written
    std::atomic<std::uint32_t> peripheral; // enum qport_sim_device
    // Where a printer on this port appends what it takes; "" for nowhere.
    // Read by each process when it starts using the machine.
    char printer_output[printer_output_capacity];
    alignas(64) unsigned char peripheral_state[peripheral_state_bytes];
};

// The registers as the port drives its lines from them.
struct PortLines {
    std::uint8_t data;
    std::uint8_t control;
};

// What a peripheral is handed: the port it sits on.
struct ParallelPort {
    Machine &machine;
    DeviceSlot &slot;
    ParallelPortState &state;

    // The peripheral's own state, all zeros when it is put on the port.
    template <typename State> State &peripheral() const
    {
        static_assert(sizeof(State) <= peripheral_state_bytes, "a peripheral's state must fit");
        return *std::launder(reinterpret_cast<State *>(state.peripheral_state));
    }
    // This process's file for what a printer on this port prints.
    Output &paper() const;
};

// What a peripheral does. lines_changed and status are required. status
// gives bits 3..7 of the status register as the peripheral drives the
// lines; peek is true for a look that must move nothing on.
struct PeripheralType {
    qport_sim_device device; // its value in the public enum
    std::string_view name;
    std::string_view summary;
    StateLayout state; // within the port's peripheral_state
    void (*lines_changed)(const ParallelPort &port, PortLines before, PortLines now);
    std::uint8_t (*status)(const ParallelPort &port, PortLines now, bool peek);
    void (*reset)(const ParallelPort &port) = nullptr;
    void (*describe)(const ParallelPort &port, Properties &properties) = nullptr;
    // 0, ENOENT for a key the peripheral lacks, EINVAL for a value it does
    // not take.
    int (*set)(const ParallelPort &port, std::string_view key, std::string_view value) = nullptr;
    // The memory the peripheral keeps beside the machine (a flash chip's
    // contents), named after the port's slot: false for none.
    bool (*memory)(const ParallelPort &port, MemoryNeed &need) = nullptr;
    // What a setting may be, for the line that refuses a value: "rayer,
    // xilinx, ..."; empty when there is nothing to list.
    std::string (*choices)(std::string_view key) = nullptr;
    // The keys set takes ("size, wiring"), for the line that refuses one
    // the peripheral lacks.
    std::string_view keys = {};
};

// Every peripheral there is, in the order of enum qport_sim_device.
std::span<const PeripheralType *const> peripheral_types();

// Puts the peripheral named in choice ("lcd" or "lcd:size=16x2,wiring=winamp")
// on the port, at reset with those settings. 0, or an errno: ENOENT for an
// unknown peripheral, EINVAL for a setting it does not take (it is then on
// the port with the settings before that one). Each process on a shared
// machine that names the peripheral in its environment would otherwise plug
// a new one in, wiping what a program drove onto it (an LCD's text).
enum class Plugging : std::uint8_t {
    fresh,            // always a new one, at reset
    unless_plugged_in // leave the one there if it is the same, named without settings
};
// On EINVAL, *refused (when given) says which setting and what it may be:
// "wiring=foo (wiring can be rayer, xilinx, ...)", "colour=red (lcd has no
// setting colour; it takes size, wiring)".
int set_peripheral(Machine &machine, DeviceSlot &slot, std::string_view choice,
                   Plugging plugging = Plugging::fresh, std::string *refused = nullptr);
// "none, loopback, printer, ...": for messages listing what may be chosen.
std::string peripheral_names();

// The port's printer output: stored in the machine, and opened here.
// 0, or -1 with errno set.
int set_printer_output(Machine &machine, DeviceSlot &slot, const char *path);
// Opens, in this process, the printer outputs the machine's ports name;
// says in one line on standard error each one it cannot open.
void open_printer_outputs(Machine &machine);
void tell_cannot_print(const char *path, int error);
// Bytes the printer on the port has taken since its reset; 0 without one.
std::uint64_t printed_bytes(const ParallelPort &port);
ParallelPort parallel_port(Machine &machine, DeviceSlot &slot);

} // namespace qport::sim

#endif
