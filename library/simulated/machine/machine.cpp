// SPDX-License-Identifier: LGPL-2.1-or-later
// The machine's devices: building it as a profile, resetting it, moving a
// device, and every transfer that is not the inline fast path, through the
// device that decodes the port.
#include <algorithm>
#include <cstring>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

std::uint8_t owner_number(const Machine &machine, const DeviceSlot &slot)
{
    return static_cast<std::uint8_t>(slot_number(machine, slot) + 1);
}

// Gives each port of slot's range that owner `from` holds to owner `to`.
void hand_over_ports(Machine &machine, const DeviceSlot &slot, std::uint8_t from, std::uint8_t to)
{
    const std::uint32_t base = slot.base.load(relaxed);
    const std::uint32_t end = std::min<std::uint32_t>(base + slot.count.load(relaxed), port_count);
    for (std::uint32_t port = base; port < end; ++port) {
        std::uint8_t expected = from;
        machine.owner[port].compare_exchange_strong(expected, to);
    }
}

// Takes the ports of slot that no other device decodes.
void claim_ports(Machine &machine, DeviceSlot &slot)
{
    hand_over_ports(machine, slot, owner_none, owner_number(machine, slot));
}

void release_ports(Machine &machine, DeviceSlot &slot)
{
    hand_over_ports(machine, slot, owner_number(machine, slot), owner_none);
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
    if (owner == owner_none || owner == owner_preset)
        return {};
    DeviceSlot &slot = machine.slots[owner - 1];
    const auto offset = static_cast<std::uint16_t>(port - slot.base.load(relaxed));
    const DeviceType *type = type_of(slot);
    // A device moved by another thread between the loads.
    if (offset >= slot.count.load(relaxed) || type == nullptr)
        return {};
    return {&slot, type, offset};
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
    for (DeviceSlot &slot : machine.slots) {
        slot.type.store(0, std::memory_order_release);
        slot.count.store(0, relaxed);
        slot.base.store(0, relaxed);
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

void reset_machine(Machine &machine)
{
    clear_ports(machine);
    const Profile *profile = profile_of(machine);
    for (DeviceSlot &slot : machine.slots) {
        const DeviceType *type = type_of(slot);
        if (type == nullptr)
            continue;
        // Back where the profile put it, before its reset puts its own
        // decoder's registers back to match.
        if (profile != nullptr) {
            for (const ProfileDevice &device : profile->devices) {
                if (device.name == slot.name) {
                    slot.base.store(device.base, relaxed);
                    slot.count.store(type->port_count, relaxed);
                }
            }
        }
        type->reset(machine, slot);
    }
    for (DeviceSlot &slot : machine.slots) {
        if (type_of(slot) != nullptr)
            claim_ports(machine, slot);
    }
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

void move_device(Machine &machine, DeviceSlot &slot, std::uint16_t base, std::uint16_t count)
{
    if (slot.base.load(relaxed) == base && slot.count.load(relaxed) == count)
        return;
    release_ports(machine, slot);
    slot.base.store(base, relaxed);
    slot.count.store(count, relaxed);
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
