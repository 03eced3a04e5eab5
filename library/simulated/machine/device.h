// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated PC's devices: the contract every device keeps, written once,
// the registry of device types, and the machine's operations on them.
//
// A device decodes a range of ports from its base, and may decode a second
// range elsewhere (a keyboard controller's 0x60 and 0x64). Each transfer reaches it
// one byte at a time, lowest port first, told which byte of how wide a
// transfer it is. Its state lives in its slot of the machine (a mapped file
// when shared), so every process sees one device. Every transition must be
// lock-free and async-signal-safe (a transfer may come from a signal handler
// or from a child forked while another thread was in the middle of one):
// atomics on the device's state, no locks, no allocation, no stdio.
#ifndef QPORT_SIM_DEVICE_H
#define QPORT_SIM_DEVICE_H

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "machine.h"

namespace qport::sim {

struct MemoryNeed;

// One byte of a transfer as the device sees it.
struct PortAccess {
    // The port, from the device's base; a port of its second range comes
    // after the first range's: port_count + (port - second base).
    std::uint16_t offset;
    std::uint8_t width; // bytes in the whole transfer: 1, 2 or 4
    std::uint8_t byte;  // this byte's place in it, 0 for the lowest port
    bool peek;          // a read that only looks, moving nothing on
};

// A device's readable state, as key and value texts: what qportio show,
// Python and the panel display. Not on the transfer path.
class Properties {
public:
    virtual void add(std::string_view key, std::string_view value) = 0;

protected:
    ~Properties() = default;
};

// What a device keeps of its own in its slot (or a peripheral in its port's
// slot): the size of its state and a version that its source bumps whenever
// the layout changes in a way the size does not show (a field's meaning,
// order or type). Both go into the machine file's fingerprint, so a shared
// machine laid out by another build is refused rather than misread.
struct StateLayout {
    std::uint32_t size;
    std::uint32_t version;
};
template <typename State> constexpr StateLayout state_layout(std::uint32_t version)
{
    return {sizeof(State), version};
}
// A device or peripheral that keeps nothing in the machine.
constexpr StateLayout no_state{0, 0};

// What a device does. Only read, write and reset are required; the rest
// may be null. Errors from set are errno values: ENOENT for a key the
// device does not have, EINVAL for a value it does not take.
struct DeviceType {
    std::string_view name;    // "rtc", as profiles and users name it
    std::string_view summary; // one line: what the device is
    std::uint16_t port_count; // ports it decodes from its base
    StateLayout state;
    // Ports of its second range (0: none), decoded from a second base.
    std::uint16_t second_port_count = 0;
    std::uint8_t (*read)(Machine &machine, DeviceSlot &slot, const PortAccess &access);
    void (*write)(Machine &machine, DeviceSlot &slot, const PortAccess &access, std::uint8_t value);
    // To its state at power-on. Its state is all zeros the first time, and
    // afterwards keeps what the device keeps across a reset (its
    // configuration, battery-backed memory).
    void (*reset)(Machine &machine, DeviceSlot &slot);
    // After the PC's reset line (reboot_machine), where this differs from
    // reset: what the device leaves of the world outside the PC (a
    // peripheral on its connector) stays as it is. Null: as reset.
    void (*reboot)(Machine &machine, DeviceSlot &slot) = nullptr;
    void (*describe)(Machine &machine, DeviceSlot &slot, Properties &properties) = nullptr;
    int (*set)(Machine &machine, DeviceSlot &slot, std::string_view key,
               std::string_view value) = nullptr;
    // A preset of one of its ports: true if the device took the value as
    // written; otherwise (or when null) the preset stands in for the port
    // as a read-only register until the machine is reset.
    bool (*preset)(Machine &machine, DeviceSlot &slot, std::uint16_t offset,
                   std::uint8_t value) = nullptr;
    // The memory the device keeps beside its slot, if it keeps one now
    // (see device_memory.h): false for none.
    bool (*memory)(Machine &machine, DeviceSlot &slot, MemoryNeed &need) = nullptr;
};

// Every device type there is, in the order qportio and Python list them.
std::span<const DeviceType *const> device_types();
// The type in a slot, or null for a free slot.
const DeviceType *type_of(const DeviceSlot &slot);

// A device of a profile: its name on the machine, its type and base.
struct ProfileDevice {
    std::string_view name;
    const DeviceType *type;
    std::uint16_t base;
    std::uint16_t second_base = 0; // for a type with a second range
};

struct Profile {
    std::string_view name;
    std::string_view summary;
    std::span<const ProfileDevice> devices;
};

// The machines there are to build: "pc" (the default) and "bare".
std::span<const Profile> profiles();
const Profile *find_profile(std::string_view name);
const Profile &default_profile();
// The profile the machine was built as, or null for one not built yet.
const Profile *profile_of(const Machine &machine);
// "pc, bare": for messages that list what may be chosen.
std::string profile_names();
// A hash of the device types' and peripherals' names, port counts and state
// layouts in their order, and of the profiles: what a machine file's slots
// mean to this library (the first form, over this build's own lists).
std::uint64_t layout_fingerprint();
struct PeripheralType;
std::uint64_t layout_fingerprint(std::span<const DeviceType *const> types,
                                 std::span<const PeripheralType *const> peripherals,
                                 std::span<const Profile> profiles);

// Builds machine as profile: its devices at their bases, each at reset,
// ports unpreset. Not async-signal-safe; the caller keeps other
// configuration changes out.
void build_machine(Machine &machine, const Profile &profile);
// Every device back to reset, presets gone; the profile is kept.
void reset_machine(Machine &machine);

// What pulled the PC's reset line.
enum class ResetCause : std::uint32_t {
    none = 0,
    keyboard_controller_pulse,       // 0xFE to 0x64
    keyboard_controller_output_port, // output port bit 0 cleared with 0xD1
    reset_control_soft,              // 0xCF9 with bit 2 rising, bit 1 clear
    reset_control_hard,              // 0xCF9 with bits 2 (rising) and 1
};
std::string_view reset_cause_text(ResetCause cause);
// The PC's reset line, pulled by a program: its own devices back to
// power-on (each one's reboot), what lies outside the PC kept (peripherals,
// battery-backed and other non-volatile memory, presets of unbacked
// ports), the count of resets and the cause kept in the machine, and one
// line on standard error. Lock-free and async-signal-safe: called from
// within a transfer.
void reboot_machine(Machine &machine, ResetCause cause);

// The device slot named name ("lpt1"), or null.
DeviceSlot *find_slot(Machine &machine, std::string_view name);

// Makes the slot decode count ports from base (0 for none), in its first
// range or (range 1) its second: the ports it leaves read as unbacked,
// those it takes answer through it, except ports another device decodes,
// which that device keeps. Lock-free: a device may move itself from within
// a transfer (a Super I/O chip's decoder).
void move_device(Machine &machine, DeviceSlot &slot, std::uint16_t base, std::uint16_t count,
                 unsigned range = 0);

// A byte transfer on any port, through the device that decodes it.
std::uint8_t read_port(Machine &machine, std::uint16_t port, std::uint8_t width, std::uint8_t byte,
                       bool peek);
void write_port(Machine &machine, std::uint16_t port, std::uint8_t width, std::uint8_t byte,
                std::uint8_t value);
void preset_port(Machine &machine, std::uint16_t port, std::uint8_t value);

// Text helpers for describe() and set(): "0x378", "0x00ec"; a number in
// decimal or 0x hex, as a whole text.
std::string hex_text(std::uint32_t value, unsigned digits);
std::string decimal_text(std::uint64_t value);
bool parse_number(std::string_view text, std::uint32_t &value);
// A value set() refuses: one line on standard error, "qport: DEVICE
// KEY=VALUE refused: it takes RANGE", for the caller's user; then EINVAL.
int refuse_setting(std::string_view device, std::string_view key, std::string_view value,
                   std::string_view range);

} // namespace qport::sim

#endif
