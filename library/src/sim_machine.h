// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated PC's state: one block of atomics that either lives in this
// process (constant-initialised, so nothing is set up lazily) or is mapped
// from a machine file that several processes share. All-zero memory is a
// machine at reset, so a new file needs no initialisation beyond its header.
#ifndef QPORT_SIM_MACHINE_H
#define QPORT_SIM_MACHINE_H

#include <atomic>
#include <cstdint>

#include "qport_sim.h"

namespace qport::sim {

constexpr std::uint16_t data_port = 0x378;
constexpr std::uint16_t status_port = 0x379;
constexpr std::uint16_t control_port = 0x37A;
constexpr std::uint8_t control_unused_bits = 0xE0;
constexpr std::uint8_t status_reserved_bits = 0x07;

// Status register bits (register values, not line levels).
constexpr std::uint8_t status_not_busy = 0x80; // the BUSY line inverted
constexpr std::uint8_t status_not_ack = 0x40;
constexpr std::uint8_t status_paper_out = 0x20;
constexpr std::uint8_t status_select = 0x10;
constexpr std::uint8_t status_not_error = 0x08;
// Control register bits.
constexpr std::uint8_t control_strobe = 0x01; // 1 drives nStrobe low
constexpr std::uint8_t control_auto_feed = 0x02;
constexpr std::uint8_t control_not_init = 0x04; // 0 drives nInit low
constexpr std::uint8_t control_select_in = 0x08;

// What each port reads at reset. Ports store value ^ reset_value, so that
// zeroed memory is the reset state.
constexpr std::uint8_t reset_value(std::uint16_t port)
{
    switch (port) {
    case data_port:
        return 0x00;
    case status_port:
        return 0x7F; // no printer: BUSY asserted, every other line high
    case control_port:
        return 0x0C; // nInit high, SELECT IN asserted
    default:
        return 0xFF;
    }
}

// Where the printer is in the compatibility-mode handshake.
enum PrinterPhase : std::uint8_t {
    printer_ready = 0,        // BUSY low, nAck high
    printer_busy = 1,         // nStrobe seen: byte latched, BUSY high
    printer_acknowledging = 2 // strobe released, byte taken: nAck pulsed low
};

constexpr char machine_magic[8] = {'Q', 'P', 'O', 'R', 'T', 'S', 'I', 'M'};
constexpr std::uint32_t machine_version = 1;
constexpr std::size_t printer_output_capacity = 256;

// The first bytes of a machine file, read and checked before it is mapped.
struct MachineHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t header_bytes;  // sizeof(MachineHeader), for a future reader
    std::uint64_t machine_bytes; // sizeof(Machine): the file's whole size
};

// One recorded transfer. stamp is 2 * ticket + 1 while it is written and
// 2 * ticket + 2 once complete, so a reader can tell a finished record
// from one in progress or one overwritten by a later lap of the ring.
struct RecordSlot {
    std::atomic<std::uint64_t> stamp;
    std::atomic<std::uint64_t> time_ns;
    std::atomic<std::uint64_t> packed; // value | port << 32 | width << 48 | direction << 56
};

struct Machine {
    MachineHeader header;
    std::atomic<std::uint32_t> device;    // enum qport_sim_device
    std::atomic<std::uint32_t> recording; // nonzero: transfers go into records
    // Where the printer appends what it takes; read by each process when it
    // starts using the machine. "" for nowhere.
    char printer_output[printer_output_capacity];

    std::atomic<std::uint8_t> stored[0x10000];  // value ^ reset_value(port)
    std::atomic<std::uint8_t> presets[0x10000]; // 1: preset as a read-only register

    std::atomic<std::uint8_t> printer_phase;
    std::atomic<std::uint8_t> printer_latched;
    std::atomic<std::uint64_t> printed_bytes;

    std::atomic<std::uint64_t> next_ticket;
    std::atomic<std::uint64_t> first_kept_ticket;
    RecordSlot records[QPORT_SIM_RECORDS];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::uint8_t>::is_always_lock_free,
              "a machine shared between processes needs address-free atomics");
static_assert(sizeof(std::atomic<std::uint8_t>) == 1 && sizeof(std::atomic<std::uint64_t>) == 8,
              "the machine file's layout assumes plain-sized atomics");

// The machine the transfers act on: this process's own, or a mapped file.
// Never null.
extern constinit std::atomic<Machine *> active_machine_pointer;
inline Machine *active_machine() { return active_machine_pointer.load(std::memory_order_acquire); }

// Maps the machine file at path (creating it if missing) and makes it the
// active one; nullptr returns to this process's own. On refusal, explains
// why on standard error, keeps the current machine, and returns -1 with
// errno set.
int use_machine_file(const char *path);
// The path of the active machine file, or nullptr for the process's own.
const char *machine_file_path();

} // namespace qport::sim

#endif
