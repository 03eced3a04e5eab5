// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated PC's state: one block of atomics that either lives in this
// process (constant-initialised, so nothing is set up lazily) or is mapped
// from a machine file that several processes share. It holds which device
// answers each port, every device's state, and the record of transfers, so
// that every process on a shared machine sees the same devices.
#ifndef QPORT_SIM_MACHINE_H
#define QPORT_SIM_MACHINE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "qport_sim.h"

namespace qport::sim {

constexpr std::size_t port_count = 0x10000;

// Devices a machine holds at most, and the state each may keep.
constexpr std::size_t slot_count = 32;
constexpr std::size_t slot_state_bytes = 4096;

// What the owner table says of a port: no device (it reads its preset, all
// ones unless preset), a device's slot number plus one, or a preset that
// stands in for the device's register.
constexpr std::uint8_t owner_none = 0;
constexpr std::uint8_t owner_preset = 0xFF;
static_assert(slot_count < owner_preset);

constexpr char machine_magic[8] = {'Q', 'P', 'O', 'R', 'T', 'S', 'I', 'M'};
constexpr std::uint32_t machine_version = 3;

// The first bytes of a machine file, read and checked before it is mapped.
struct MachineHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t header_bytes;  // sizeof(MachineHeader), for a future reader
    std::uint64_t machine_bytes; // sizeof(Machine): the file's whole size
    // Which devices and peripherals a slot's type numbers name, and the
    // profiles' layout (layout_fingerprint()): a library built with other
    // devices would read another device's state in a slot.
    std::uint64_t layout;
};

// One recorded transfer. stamp is 2 * ticket + 1 while it is written and
// 2 * ticket + 2 once complete, so a reader can tell a finished record
// from one in progress or one overwritten by a later lap of the ring.
struct RecordSlot {
    std::atomic<std::uint64_t> stamp;
    std::atomic<std::uint64_t> time_ns;
    std::atomic<std::uint64_t> packed; // value | port << 32 | width << 48 | direction << 56
};

// One device of the machine. type, base, count and name are written while
// the machine is built (by a profile) and change afterwards only when the
// device itself is moved (a Super I/O's or a PCI card's decoder); the state
// is the device's own, laid out as its source says (see state_of).
struct DeviceSlot {
    std::atomic<std::uint32_t> type;         // 1 + the device's index in device_types(); 0: free
    std::atomic<std::uint16_t> base;         // its first port
    std::atomic<std::uint16_t> count;        // ports it decodes from base; 0 while disabled
    std::atomic<std::uint16_t> second_base;  // its second range, for a type with one
    std::atomic<std::uint16_t> second_count; // 0 while disabled or for none
    char name[16];                           // "lpt1", NUL-terminated
    alignas(64) unsigned char state[slot_state_bytes];
};

struct Machine {
    MachineHeader header;
    std::atomic<std::uint32_t> profile;   // 1 + its index in profiles(); 0: none built yet
    std::atomic<std::uint32_t> recording; // nonzero: transfers go into records
    // The PC's reset line pulled by programs (reboot_machine): how many
    // times, and the last cause (a ResetCause).
    std::atomic<std::uint32_t> resets;
    std::atomic<std::uint32_t> last_reset_cause;

    std::atomic<std::uint8_t> owner[port_count];
    // What a port without a device reads, as value ^ 0xFF, so that zeroed
    // memory reads all ones: its preset, if it has one.
    std::atomic<std::uint8_t> preset[port_count];

    DeviceSlot slots[slot_count];

    std::atomic<std::uint64_t> next_ticket;
    std::atomic<std::uint64_t> first_kept_ticket;
    RecordSlot records[QPORT_SIM_RECORDS];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::uint16_t>::is_always_lock_free &&
                  std::atomic<std::uint8_t>::is_always_lock_free,
              "a machine shared between processes needs address-free atomics");
static_assert(sizeof(std::atomic<std::uint8_t>) == 1 && sizeof(std::atomic<std::uint64_t>) == 8,
              "the machine file's layout assumes plain-sized atomics");

// A device's state in its slot. State is a struct of lock-free atomics (and
// plain bytes written only while the machine is built) for which all-zero
// memory is a valid value: slots start zeroed, in a new file as in this
// process's own machine.
template <typename State> State &state_of(DeviceSlot &slot)
{
    static_assert(sizeof(State) <= slot_state_bytes, "a device's state must fit its slot");
    static_assert(alignof(State) <= alignof(DeviceSlot), "a device's state must fit its slot");
    return *std::launder(reinterpret_cast<State *>(slot.state));
}

// The machine the transfers act on: this process's own, or a mapped file.
// Never null.
extern constinit std::atomic<Machine *> active_machine_pointer;
inline Machine *active_machine() { return active_machine_pointer.load(std::memory_order_acquire); }

// Maps the machine file at path (creating it, built as the default profile,
// if missing) and makes it the active one; nullptr returns to this process's
// own. On refusal, explains why on standard error, keeps the current machine,
// and returns -1 with errno set.
int use_machine_file(const char *path);
// The path of the active machine file, or nullptr for the process's own.
const char *machine_file_path();
// The slot number of the active machine's slot, for what a process keeps of
// a device beside the machine (the printer's open output file).
inline std::size_t slot_number(const Machine &machine, const DeviceSlot &slot)
{
    return static_cast<std::size_t>(&slot - machine.slots);
}

// Whether something answers port: a device, or a preset standing in for a
// register where none decodes it (a preset of 0xFF reads as nothing does).
inline bool port_answers(const Machine &machine, std::uint16_t port)
{
    return machine.owner[port].load(std::memory_order_relaxed) != owner_none ||
           machine.preset[port].load(std::memory_order_relaxed) != 0;
}

} // namespace qport::sim

#endif
