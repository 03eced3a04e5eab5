// SPDX-License-Identifier: LGPL-2.1-or-later
// The machine's devices: building it as a profile, resetting it, moving a
// device, and every transfer that is not the inline fast path, through the
// device that decodes the port.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

std::uint8_t owner_number(const Machine &machine, const DeviceSlot &slot)
{
    return static_cast<std::uint8_t>(slot_number(machine, slot) + 1);
}

// A slot's range: its first (0) or its second (1).
struct RangeOf {
    std::atomic<std::uint16_t> &base;
    std::atomic<std::uint16_t> &count;
};
RangeOf range_of(DeviceSlot &slot, unsigned range)
{
    return range == 0 ? RangeOf{slot.base, slot.count}
                      : RangeOf{slot.second_base, slot.second_count};
}
constexpr unsigned range_count = 2;

// Gives each port of a slot's range that from owns to to.
void change_owner(Machine &machine, DeviceSlot &slot, unsigned range, std::uint8_t from,
                  std::uint8_t to)
{
    const RangeOf ports = range_of(slot, range);
    const std::uint32_t base = ports.base.load(relaxed);
    const std::uint32_t end = std::min<std::uint32_t>(base + ports.count.load(relaxed), port_count);
    for (std::uint32_t port = base; port < end; ++port) {
        std::uint8_t expected = from;
        machine.owner[port].compare_exchange_strong(expected, to);
    }
}

// Takes the ports of a slot's range that no other device decodes.
void claim_ports(Machine &machine, DeviceSlot &slot, unsigned range)
{
    change_owner(machine, slot, range, owner_none, owner_number(machine, slot));
}

void claim_ports(Machine &machine, DeviceSlot &slot)
{
    for (unsigned range = 0; range < range_count; ++range)
        claim_ports(machine, slot, range);
}

void release_ports(Machine &machine, DeviceSlot &slot, unsigned range)
{
    change_owner(machine, slot, range, owner_number(machine, slot), owner_none);
}

// The device decoding a port, and the port's offset in its range.
struct Decoder {
    DeviceSlot *slot = nullptr; // null: no device decodes the port
    const DeviceType *type = nullptr;
    std::uint16_t offset = 0;
};

Decoder decoder_of(Machine &machine, std::uint16_t port)
{
    const std::uint8_t owner = machine.owner[port].load(relaxed);
    // The table is in the machine file, which holds any byte: a number
    // past the slots decodes nothing.
    if (owner == owner_none || owner > slot_count)
        return {};
    DeviceSlot &slot = machine.slots[owner - 1];
    const DeviceType *type = type_of(slot);
    if (type == nullptr)
        return {};
    // A device of a fixed size decodes no more than its registers, whatever
    // count the machine file holds.
    const auto offset = static_cast<std::uint16_t>(port - slot.base.load(relaxed));
    if (offset < slot.count.load(relaxed) && (type->port_count == 0 || offset < type->port_count))
        return {&slot, type, offset};
    const auto second_offset = static_cast<std::uint16_t>(port - slot.second_base.load(relaxed));
    if (second_offset < slot.second_count.load(relaxed) && second_offset < type->second_port_count)
        return {&slot, type, static_cast<std::uint16_t>(type->port_count + second_offset)};
    // A device moved by another thread between the loads.
    return {};
}

std::uint8_t unbacked_value(const Machine &machine, std::uint16_t port)
{
    return static_cast<std::uint8_t>(machine.preset[port].load(relaxed) ^ 0xFF);
}

void clear_ports(Machine &machine)
{
    for (std::size_t port = 0; port < port_count; ++port) {
        machine.owner[port].store(owner_none, relaxed);
        machine.preset[port].store(0, relaxed);
    }
}

} // namespace

const DeviceType *type_of(const DeviceSlot &slot)
{
    const std::uint32_t type = slot.type.load(std::memory_order_acquire);
    const auto types = device_types();
    return type == 0 || type > types.size() ? nullptr : types[type - 1];
}

const Profile *profile_of(const Machine &machine)
{
    const std::uint32_t profile = machine.profile.load(std::memory_order_acquire);
    const auto all = profiles();
    return profile == 0 || profile > all.size() ? nullptr : &all[profile - 1];
}

void build_machine(Machine &machine, const Profile &profile)
{
    machine.profile.store(0, std::memory_order_release);
    clear_ports(machine);
    machine.resets.store(0);
    machine.last_reset_cause.store(0);
    for (DeviceSlot &slot : machine.slots) {
        slot.type.store(0, std::memory_order_release);
        slot.count.store(0, relaxed);
        slot.base.store(0, relaxed);
        slot.second_count.store(0, relaxed);
        slot.second_base.store(0, relaxed);
        std::memset(slot.name, 0, sizeof slot.name);
        std::memset(slot.state, 0, sizeof slot.state);
    }
    const auto types = device_types();
    std::size_t next = 0;
    for (const ProfileDevice &device : profile.devices) {
        DeviceSlot &slot = machine.slots[next++];
        std::size_t index = 0;
        while (types[index] != device.type)
            ++index;
        device.name.copy(slot.name, sizeof slot.name - 1);
        slot.base.store(device.base, relaxed);
        slot.count.store(device.type->port_count, relaxed);
        slot.second_base.store(device.second_base, relaxed);
        slot.second_count.store(device.type->second_port_count, relaxed);
        device.type->reset(machine, slot);
        slot.type.store(static_cast<std::uint32_t>(index + 1), std::memory_order_release);
    }
    for (DeviceSlot &slot : machine.slots) {
        if (type_of(slot) != nullptr)
            claim_ports(machine, slot);
    }
    machine.profile.store(static_cast<std::uint32_t>(&profile - profiles().data() + 1),
                          std::memory_order_release);
}

namespace {

// Every device back where the profile put it, then through step (its reset
// or reboot), which puts its own decoder's registers back to match.
void restart_devices(Machine &machine, void (*step)(Machine &, DeviceSlot &, const DeviceType &))
{
    const Profile *profile = profile_of(machine);
    for (DeviceSlot &slot : machine.slots) {
        const DeviceType *type = type_of(slot);
        if (type == nullptr)
            continue;
        if (profile != nullptr) {
            for (const ProfileDevice &device : profile->devices) {
                // The name in the file may lack its terminator.
                if (device.name ==
                    std::string_view(slot.name, ::strnlen(slot.name, sizeof slot.name))) {
                    slot.base.store(device.base, relaxed);
                    slot.count.store(type->port_count, relaxed);
                    slot.second_base.store(device.second_base, relaxed);
                    slot.second_count.store(type->second_port_count, relaxed);
                }
            }
        }
        step(machine, slot, *type);
    }
    for (DeviceSlot &slot : machine.slots) {
        if (type_of(slot) != nullptr)
            claim_ports(machine, slot);
    }
}

// Ports decoded by a device go back to it; unbacked ports keep their presets.
void release_device_ports(Machine &machine)
{
    for (std::size_t port = 0; port < port_count; ++port) {
        if (machine.owner[port].exchange(owner_none, relaxed) != owner_none)
            machine.preset[port].store(0, relaxed);
    }
}

// write(2) alone: the reboot comes from within a transfer, perhaps in a
// signal handler.
void tell_reboot(ResetCause cause, std::uint32_t count)
{
    char line[160];
    std::size_t length = 0;
    const auto append = [&line, &length](std::string_view text) {
        const std::size_t taken = std::min(text.size(), sizeof line - length);
        std::memcpy(line + length, text.data(), taken);
        length += taken;
    };
    char digits[12];
    std::size_t digit_count = 0;
    do {
        digits[sizeof digits - 1 - digit_count++] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count != 0 && digit_count < sizeof digits);
    append("qport: the simulated PC was reset (");
    append(reset_cause_text(cause));
    append("), reset ");
    append(std::string_view(digits + sizeof digits - digit_count, digit_count));
    append("; the program goes on\n");
    const ssize_t written = ::write(STDERR_FILENO, line, length);
    static_cast<void>(written);
}

} // namespace

void reset_machine(Machine &machine)
{
    clear_ports(machine);
    machine.resets.store(0);
    machine.last_reset_cause.store(0);
    restart_devices(
        machine, [](Machine &m, DeviceSlot &slot, const DeviceType &type) { type.reset(m, slot); });
}

std::string_view reset_cause_text(ResetCause cause)
{
    switch (cause) {
    case ResetCause::none:
        return "none";
    case ResetCause::keyboard_controller_pulse:
        return "keyboard controller: 0xfe to 0x64";
    case ResetCause::keyboard_controller_output_port:
        return "keyboard controller: output port bit 0 cleared";
    case ResetCause::reset_control_soft:
        return "0xcf9: soft reset";
    case ResetCause::reset_control_hard:
        return "0xcf9: hard reset";
    }
    return "unknown";
}

void reboot_machine(Machine &machine, ResetCause cause)
{
    const std::uint32_t count = machine.resets.fetch_add(1) + 1;
    machine.last_reset_cause.store(static_cast<std::uint32_t>(cause));
    release_device_ports(machine);
    restart_devices(machine, [](Machine &m, DeviceSlot &slot, const DeviceType &type) {
        (type.reboot != nullptr ? type.reboot : type.reset)(m, slot);
    });
    tell_reboot(cause, count);
}

DeviceSlot *find_slot(Machine &machine, std::string_view name)
{
    for (DeviceSlot &slot : machine.slots) {
        if (type_of(slot) != nullptr &&
            std::string_view(slot.name, ::strnlen(slot.name, sizeof slot.name)) == name)
            return &slot;
    }
    return nullptr;
}

void move_device(Machine &machine, DeviceSlot &slot, std::uint16_t base, std::uint16_t count,
                 unsigned range)
{
    const RangeOf ports = range_of(slot, range);
    if (ports.base.load(relaxed) == base && ports.count.load(relaxed) == count)
        return;
    release_ports(machine, slot, range);
    ports.base.store(base, relaxed);
    ports.count.store(count, relaxed);
    // Both ranges: the other may overlap the ports just released.
    claim_ports(machine, slot);
}

std::uint8_t read_port(Machine &machine, std::uint16_t port, std::uint8_t width, std::uint8_t byte,
                       bool peek)
{
    const Decoder decoder = decoder_of(machine, port);
    if (decoder.slot == nullptr)
        return unbacked_value(machine, port);
    return decoder.type->read(machine, *decoder.slot,
                              PortAccess{decoder.offset, width, byte, peek});
}

void write_port(Machine &machine, std::uint16_t port, std::uint8_t width, std::uint8_t byte,
                std::uint8_t value)
{
    const Decoder decoder = decoder_of(machine, port);
    if (decoder.slot != nullptr)
        decoder.type->write(machine, *decoder.slot, PortAccess{decoder.offset, width, byte, false},
                            value);
}

void preset_port(Machine &machine, std::uint16_t port, std::uint8_t value)
{
    const Decoder decoder = decoder_of(machine, port);
    if (decoder.slot != nullptr && decoder.type->preset != nullptr &&
        decoder.type->preset(machine, *decoder.slot, decoder.offset, value))
        return;
    machine.preset[port].store(static_cast<std::uint8_t>(value ^ 0xFF), relaxed);
    if (decoder.slot != nullptr)
        machine.owner[port].store(owner_preset, relaxed);
}

std::string hex_text(std::uint32_t value, unsigned digits)
{
    std::string text = "0x";
    for (unsigned i = digits; i > 0; --i)
        text += "0123456789abcdef"[(value >> (4 * (i - 1))) & 0xFU];
    return text;
}

// By hand: the standard library's number conversions would export their
// tables from the library.
std::string decimal_text(std::uint64_t value)
{
    std::string text;
    do {
        text.insert(text.begin(), static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    return text;
}

int refuse_setting(std::string_view device, std::string_view key, std::string_view value,
                   std::string_view range)
{
    std::string line = "qport: ";
    line += device;
    line += " ";
    line += key;
    line += "=";
    line += value;
    line += " refused: it takes ";
    line += range;
    line += "\n";
    const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    static_cast<void>(written);
    return EINVAL;
}

bool parse_number(std::string_view text, std::uint32_t &value)
{
    std::uint32_t base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    std::uint64_t number = 0;
    for (const char c : text) {
        std::uint32_t digit = 16;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        if (digit >= base)
            return false;
        number = number * base + digit;
        if (number > 0xFFFFFFFFU)
            return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

} // namespace qport::sim
