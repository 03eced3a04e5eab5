// SPDX-License-Identifier: LGPL-2.1-or-later
// PCI configuration mechanism #1 at 0xCF8-0xCFF and bus 0 behind it: the
// i440FX host bridge, function 0 of the PIIX3 ISA bridge and a MosChip
// MCS9865 parallel-port card whose I/O BAR 0 places lpt2; and inside the
// range, the PIIX3's reset control register at 0xCF9, whose RCPU bit
// rising resets the PC (reboot_machine). See qport_sim.h.
#include <array>
#include <initializer_list>
#include <string>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

constexpr std::uint16_t address_offset = 0;       // 0xCF8
constexpr std::uint16_t reset_control_offset = 1; // 0xCF9, the PIIX3's byte register
constexpr std::uint16_t data_offset = 4;          // 0xCFC
constexpr std::uint16_t last_offset = 7;

constexpr std::uint32_t address_enable = 0x80000000U;
constexpr std::size_t config_bytes = 256;

// Header registers this file names.
constexpr std::uint8_t command_register = 0x04;
constexpr std::uint8_t bar0_register = 0x10;
constexpr std::uint8_t bar1_register = 0x14;
constexpr std::uint16_t command_io_space = 0x0001;
constexpr std::uint32_t io_bar_flags = 0x3; // bit 0: I/O space; bit 1 reserved
constexpr std::uint32_t io_space_end = 0x10000;

// One register, or part of one, in a function's description.
struct Field {
    std::uint8_t offset;
    std::uint8_t width; // bytes
    std::uint32_t value;
    std::uint32_t writable = 0; // bits a write changes; the rest read value
};

// What a function's configuration space holds at reset and which of its
// bits a write changes. Bytes no field names read 0 and ignore writes.
struct Function {
    std::uint8_t device; // on bus 0
    std::uint8_t number;
    std::string_view summary;
    std::array<std::uint8_t, config_bytes> value;
    std::array<std::uint8_t, config_bytes> writable;
};

constexpr Function function(std::uint8_t device, std::uint8_t number, std::string_view summary,
                            std::initializer_list<Field> fields)
{
    Function described{device, number, summary, {}, {}};
    for (const Field &field : fields) {
        for (unsigned i = 0; i < field.width; ++i) {
            described.value.at(field.offset + i) =
                static_cast<std::uint8_t>(field.value >> (8 * i));
            described.writable.at(field.offset + i) =
                static_cast<std::uint8_t>(field.writable >> (8 * i));
        }
    }
    return described;
}

constexpr std::uint16_t lpt2_window = 8;   // the ports BAR 0 asks for
constexpr std::uint32_t ecp_base = 0xD000; // BAR 1, where firmware put it
constexpr std::uint32_t io_bar_8_ports = 0xFFFFFFF8U;
constexpr std::uint32_t memory_bar_4k = 0xFFFFF000U;

// The functions of bus 0. Identity, class and capability bits are what the
// chips report; the card's values are those of an MCS9865 parallel
// function, as lspci shows real ones.
constexpr std::array functions{
    function(0, 0, "host bridge: Intel 440FX - 82441FX PMC [Natoma]",
             {
                 {0x00, 2, 0x8086},
                 {0x02, 2, 0x1237},
                 {0x04, 2, 0x0006, 0x0140}, // memory and bus master always on
                 {0x06, 2, 0x0280},         // medium DEVSEL, fast back-to-back
                 {0x08, 1, 0x02},
                 {0x09, 3, 0x060000},
                 {0x0D, 1, 0x00, 0xF8},
             }),
    function(1, 0, "ISA bridge: Intel 82371SB PIIX3 ISA [Natoma/Triton II]",
             {
                 {0x00, 2, 0x8086},
                 {0x02, 2, 0x7000},
                 {0x04, 2, 0x0007, 0x0008}, // special cycles may be enabled
                 {0x06, 2, 0x0200},
                 {0x08, 1, 0x00},
                 {0x09, 3, 0x060100},
                 {0x0E, 1, 0x80}, // the chip's other functions are not modelled
             }),
    function(3, 0, "parallel port: MosChip PCI 9865 Multi-I/O Controller, BAR 0 is lpt2",
             {
                 {0x00, 2, 0x9710},
                 {0x02, 2, 0x9865},
                 {0x04, 2, 0x0007, 0x0147}, // I/O, memory, bus master, PERR, SERR
                 {0x06, 2, 0x0290},         // capability list, fast b2b, medium DEVSEL
                 {0x08, 1, 0x00},
                 {0x09, 3, 0x070103}, // parallel controller, IEEE 1284
                 {0x0D, 1, 0x20, 0xFF},
                 {bar0_register, 4, 0x0001, io_bar_8_ports}, // placed at reset from lpt2
                 {bar1_register, 4, ecp_base | 0x1, io_bar_8_ports},
                 {0x18, 4, 0xFEBF1000, memory_bar_4k},
                 {0x20, 4, 0xFEBF0000, memory_bar_4k},
                 {0x2C, 2, 0xA000},
                 {0x2E, 2, 0x2000},
                 {0x34, 1, 0x48},
                 {0x3C, 1, 0x0B, 0xFF}, // interrupt line: IRQ 11
                 {0x3D, 1, 0x01},       // pin INTA#
                 // Power management, version 2: D1, D2, PME from every state.
                 {0x48, 1, 0x01},
                 {0x49, 1, 0x00},
                 {0x4A, 2, 0xFFC2},
                 {0x4C, 2, 0x2000, 0x0103}, // power state and PME enable
             }),
};
constexpr std::size_t card = 2;
constexpr std::uint8_t power_control_register = 0x4C;

struct PciState {
    // CONFIG_ADDRESS, a byte per port, so that each byte of a 32-bit write
    // lands on its own.
    std::array<std::atomic<std::uint8_t>, 4> address;
    // The writable bits of each function's configuration space; its other
    // bits come from its description.
    std::array<std::array<std::atomic<std::uint8_t>, config_bytes>, functions.size()> config;
    // lpt2's slot number plus one, which the card's BAR 0 moves; 0: none.
    std::atomic<std::uint8_t> card_port;
    // 0xCF9: bit 1 chooses a hard reset, bit 2 (RCPU) rising resets.
    std::atomic<std::uint8_t> reset_control;
};

std::uint32_t address_of(const PciState &state)
{
    std::uint32_t address = 0;
    for (unsigned i = 0; i < state.address.size(); ++i)
        address |= std::uint32_t{state.address[i].load(relaxed)} << (8 * i);
    return address;
}

std::uint8_t config_byte(const PciState &state, std::size_t index, std::size_t offset)
{
    const Function &described = functions[index];
    const std::uint8_t writable = described.writable[offset];
    return static_cast<std::uint8_t>((described.value[offset] & ~writable) |
                                     (state.config[index][offset].load(relaxed) & writable));
}

std::uint32_t config_value(const PciState &state, std::size_t index, std::size_t offset,
                           unsigned width)
{
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value |= std::uint32_t{config_byte(state, index, offset + i)} << (8 * i);
    return value;
}

void store_config(PciState &state, std::size_t index, std::size_t offset, unsigned width,
                  std::uint32_t value)
{
    for (unsigned i = 0; i < width; ++i)
        state.config[index][offset + i].store(static_cast<std::uint8_t>(value >> (8 * i)), relaxed);
}

// The function and register a data port reaches, by the latched address.
struct Target {
    std::size_t index = functions.size(); // none: no function answers
    std::size_t offset = 0;
};

Target target_of(const PciState &state, std::uint16_t port_offset)
{
    const std::uint32_t address = address_of(state);
    const unsigned bus = (address >> 16) & 0xFFU;
    const unsigned device = (address >> 11) & 0x1FU;
    const unsigned number = (address >> 8) & 0x7U;
    if ((address & address_enable) == 0 || bus != 0)
        return {};
    for (std::size_t index = 0; index < functions.size(); ++index) {
        if (functions[index].device == device && functions[index].number == number)
            return {index, (address & 0xFCU) + (port_offset - data_offset)};
    }
    return {};
}

// Only a 32-bit transfer that begins at 0xCF8 reaches the address
// register; narrower ones pass to the bus as ordinary I/O.
bool reaches_address_register(const PortAccess &access)
{
    return access.width == 4 && access.offset == address_offset + access.byte;
}

// Places lpt2 where the card decodes it now: at BAR 0 while the command
// register enables I/O space and the function is in D0; nowhere while it
// does not, or while BAR 0 lies beyond the 64K of I/O space (as while
// software sizes it with all ones).
void place_card_port(Machine &machine, const PciState &state)
{
    const std::uint8_t number = state.card_port.load(relaxed);
    if (number == 0 || number > slot_count)
        return;
    DeviceSlot &port = machine.slots[number - 1];
    const DeviceType *type = type_of(port);
    if (type == nullptr)
        return;
    const std::uint32_t base = config_value(state, card, bar0_register, 4) & ~io_bar_flags;
    const bool decodes = (config_value(state, card, command_register, 2) & command_io_space) != 0 &&
                         (config_value(state, card, power_control_register, 2) & 0x3U) == 0 &&
                         base <= io_space_end - lpt2_window;
    if (decodes)
        move_device(machine, port, static_cast<std::uint16_t>(base), type->port_count);
    else
        move_device(machine, port, 0, 0);
}

constexpr std::uint8_t reset_control_hard = 0x02;
constexpr std::uint8_t reset_control_cpu = 0x04;
// Bits 0 and 3 and up are reserved: they read 0.
constexpr std::uint8_t reset_control_writable = reset_control_hard | reset_control_cpu;

void write_reset_control(Machine &machine, PciState &state, std::uint8_t value)
{
    const auto kept = static_cast<std::uint8_t>(value & reset_control_writable);
    const std::uint8_t before = state.reset_control.exchange(kept);
    if ((before & reset_control_cpu) == 0 && (kept & reset_control_cpu) != 0)
        reboot_machine(machine, (kept & reset_control_hard) != 0 ? ResetCause::reset_control_hard
                                                                 : ResetCause::reset_control_soft);
}

std::uint8_t read(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access)
{
    const auto &state = state_of<PciState>(slot);
    if (access.offset < data_offset) {
        if (reaches_address_register(access))
            return state.address[access.byte].load(relaxed);
        return access.offset == reset_control_offset ? state.reset_control.load(relaxed) : 0xFF;
    }
    const Target target = target_of(state, access.offset);
    if (target.index == functions.size())
        return 0xFF;
    return config_byte(state, target.index, target.offset);
}

void write(Machine &machine, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    auto &state = state_of<PciState>(slot);
    if (access.offset < data_offset) {
        // Narrower writes reach no register here but 0xCF9.
        if (reaches_address_register(access))
            state.address[access.byte].store(value, relaxed);
        else if (access.offset == reset_control_offset)
            write_reset_control(machine, state, value);
        return;
    }
    const Target target = target_of(state, access.offset);
    if (target.index == functions.size())
        return;
    const std::uint8_t writable = functions[target.index].writable[target.offset];
    if (writable != 0)
        state.config[target.index][target.offset].store(value & writable, relaxed);
    // The card decodes by its registers once the whole transfer is in, not
    // by a BAR that is only partly written.
    const bool last_byte = access.byte + 1 == access.width || access.offset == last_offset;
    if (target.index == card && last_byte)
        place_card_port(machine, state);
}

void reset(Machine &machine, DeviceSlot &slot)
{
    auto &state = state_of<PciState>(slot);
    for (auto &byte : state.address)
        byte.store(0, relaxed);
    state.reset_control.store(0, relaxed);
    for (std::size_t index = 0; index < functions.size(); ++index) {
        for (std::size_t offset = 0; offset < config_bytes; ++offset)
            state.config[index][offset].store(
                static_cast<std::uint8_t>(functions[index].value[offset] &
                                          functions[index].writable[offset]),
                relaxed);
    }
    // Firmware gave BAR 0 the ports where the profile puts lpt2, which the
    // profile lists before this device.
    DeviceSlot *port = find_slot(machine, "lpt2");
    state.card_port.store(
        port == nullptr ? 0 : static_cast<std::uint8_t>(slot_number(machine, *port) + 1), relaxed);
    if (port != nullptr)
        store_config(state, card, bar0_register, 4, port->base.load(relaxed) | 0x1U);
}

std::string io_bar_text(const PciState &state, std::uint8_t offset)
{
    const std::uint32_t bar = config_value(state, card, offset, 4);
    return hex_text(bar, 8) + ": I/O at " + hex_text(bar & ~io_bar_flags, 4);
}

void describe(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    const auto &state = state_of<PciState>(slot);
    properties.add("address", hex_text(address_of(state), 8));
    for (std::size_t index = 0; index < functions.size(); ++index) {
        const Function &described = functions[index];
        const std::string location =
            "00:" + hex_text(described.device, 2).substr(2) + "." + decimal_text(described.number);
        properties.add(location, hex_text(config_value(state, index, 0, 2), 4).substr(2) + ":" +
                                     hex_text(config_value(state, index, 2, 2), 4).substr(2) + " " +
                                     std::string(described.summary));
    }
    properties.add("command", hex_text(config_value(state, card, command_register, 2), 4));
    properties.add("bar0", io_bar_text(state, bar0_register) + ", lpt2");
    properties.add("bar1", io_bar_text(state, bar1_register) + ", ECP registers (not modelled)");
    properties.add("interrupt-line", decimal_text(config_value(state, card, 0x3C, 1)));
}

} // namespace

extern const DeviceType pci_device{
    .name = "pci-conf1",
    .summary =
        "PCI configuration mechanism #1: a host bridge, an ISA bridge and a parallel-port card",
    .port_count = 8,
    .state = state_layout<PciState>(2),
    .read = read,
    .write = write,
    .reset = reset,
    .describe = describe,
};

} // namespace qport::sim
