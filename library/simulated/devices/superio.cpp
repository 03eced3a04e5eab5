// SPDX-License-Identifier: LGPL-2.1-or-later
// A Winbond W83627HF Super I/O chip with its configuration port at 0x2E and
// data port at 0x2F, as firmware, superiotool and the kernel's drivers
// program it. The configuration registers open only after two consecutive
// writes of 0x87 to 0x2E and close with 0xAA; while open, 0x2E selects a
// register and 0x2F reads and writes it. The logical devices the machine
// has behind the chip (the parallel port lpt1, the keyboard controller kbc,
// the hardware monitor hwmon) move with their enable bits and base
// addresses, as they move the chip's own. See qport_sim.h.
#include <array>
#include <span>
#include <string>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

constexpr std::uint16_t key_and_index_offset = 0; // 0x2E
constexpr std::uint16_t data_offset = 1;          // 0x2F

constexpr std::uint8_t entry_key = 0x87; // written twice in a row
constexpr std::uint8_t exit_key = 0xAA;
constexpr std::uint8_t ldn_select = 0x07;
constexpr std::uint8_t chip_id = 0x52;
// Revision 1, step 7: superiotool names any revision of ID 0x52 whose high
// nibble is not 0xF a W83627HF.
constexpr std::uint8_t chip_revision = 0x17;
constexpr std::uint8_t first_logical_register = 0x30;
constexpr std::size_t logical_register_count = 0x100 - first_logical_register;
constexpr std::size_t logical_device_numbers = 0x0C; // 0x00..0x0B; there is no 0x04

// One register: its value at reset, and the bits a write changes (the
// others always read as at reset).
struct Register {
    std::uint8_t index;
    std::uint8_t at_reset;
    std::uint8_t writable;
};

// Registers every logical device decodes its resources from.
constexpr std::uint8_t enable_register = 0x30;
constexpr std::uint8_t base_high = 0x60;
constexpr std::uint8_t base_low = 0x61;
constexpr std::uint8_t second_base_high = 0x62;
constexpr std::uint8_t second_base_low = 0x63;
constexpr std::uint8_t irq_register = 0x70;
constexpr std::uint8_t second_irq_register = 0x72;
constexpr std::uint8_t dma_register = 0x74;
constexpr std::uint8_t no_dma = 4;

constexpr std::array global_registers{
    Register{0x02, 0x00, 0x00}, // software reset: not modelled, reads 0
    Register{0x20, chip_id, 0x00},
    Register{0x21, chip_revision, 0x00},
    Register{0x22, 0xFF, 0xFF}, // power-down control: every function powered
    Register{0x23, 0x00, 0xFF},
    Register{0x24, 0x00, 0xFF}, // set by strapping pins on a board; none here
    Register{0x25, 0x00, 0xFF},
    // Bit 6 is a strapping pin choosing 0x2E or 0x4E for the configuration
    // port: this chip is strapped for 0x2E.
    Register{0x26, 0x00, 0xBF},
    Register{0x28, 0x00, 0xFF},
    Register{0x29, 0x00, 0xFF},
    Register{0x2A, 0x7C, 0xFF},
    Register{0x2B, 0xC0, 0xFF},
    Register{0x2C, 0x00, 0xFF},
    Register{0x2E, 0x00, 0xFF},
    Register{0x2F, 0x00, 0xFF},
};

// The chip enables its floppy controller, serial ports and keyboard
// controller at power-on; this machine has no floppy or serial ports behind
// the chip, so it starts with them disabled, as firmware leaves what a
// board lacks. The keyboard controller stays enabled at 0x60 and 0x64.
constexpr std::array floppy_registers{
    Register{enable_register, 0x00, 0x01},
    Register{base_high, 0x03, 0x0F},
    Register{base_low, 0xF0, 0xF8},
    Register{irq_register, 0x06, 0x0F},
    Register{dma_register, 0x02, 0x07},
    Register{0xF0, 0x0E, 0xFF},
    Register{0xF1, 0x00, 0xFF},
    Register{0xF2, 0xFF, 0xFF},
    Register{0xF4, 0x00, 0xFF},
    Register{0xF5, 0x00, 0xFF},
};
constexpr std::array parallel_registers{
    Register{enable_register, 0x01, 0x01}, Register{base_high, 0x03, 0x0F},
    Register{base_low, 0x78, 0xFC},        Register{irq_register, 0x07, 0x0F},
    Register{dma_register, no_dma, 0x07},  Register{0xF0, 0x3F, 0xFF},
};
constexpr std::array serial_a_registers{
    Register{enable_register, 0x00, 0x01},
    Register{base_high, 0x03, 0x0F},
    Register{base_low, 0xF8, 0xF8},
    Register{irq_register, 0x04, 0x0F},
    Register{0xF0, 0x00, 0xFF},
};
constexpr std::array serial_b_registers{
    Register{enable_register, 0x00, 0x01},
    Register{base_high, 0x02, 0x0F},
    Register{base_low, 0xF8, 0xF8},
    Register{irq_register, 0x03, 0x0F},
    Register{0xF0, 0x00, 0xFF},
    Register{0xF1, 0x00, 0xFF},
};
constexpr std::array keyboard_registers{
    Register{enable_register, 0x01, 0x01},
    Register{base_high, 0x00, 0x0F},
    Register{base_low, 0x60, 0xFF},
    Register{second_base_high, 0x00, 0x0F},
    Register{second_base_low, 0x64, 0xFF},
    Register{irq_register, 0x01, 0x0F},
    Register{second_irq_register, 0x0C, 0x0F},
    Register{0xF0, 0x80, 0xFF},
};
constexpr std::array consumer_ir_registers{
    Register{enable_register, 0x00, 0x01},
    Register{base_high, 0x00, 0x0F},
    Register{base_low, 0x00, 0xF8},
    Register{irq_register, 0x00, 0x0F},
};
constexpr std::array game_midi_gpio1_registers{
    Register{enable_register, 0x00, 0x01},
    Register{base_high, 0x02, 0x0F},
    Register{base_low, 0x01, 0xFF},
    Register{second_base_high, 0x03, 0x0F},
    Register{second_base_low, 0x30, 0xFE},
    Register{irq_register, 0x09, 0x0F},
    Register{0xF0, 0xFF, 0xFF},
    Register{0xF1, 0x00, 0xFF},
    Register{0xF2, 0x00, 0xFF},
};
constexpr std::array gpio2_registers{
    Register{enable_register, 0x00, 0x01},
    Register{0xF0, 0xFF, 0xFF},
    Register{0xF1, 0x00, 0xFF},
    Register{0xF2, 0x00, 0xFF},
    Register{0xF3, 0x00, 0xFF},
    Register{0xF5, 0x00, 0xFF},
    Register{0xF6, 0x00, 0xFF},
    Register{0xF7, 0x00, 0xFF},
};
constexpr std::array gpio3_registers{
    Register{enable_register, 0x00, 0x01},
    Register{0xF0, 0xFF, 0xFF},
    Register{0xF1, 0x00, 0xFF},
    Register{0xF2, 0x00, 0xFF},
    Register{0xF3, 0x00, 0xFF},
};
constexpr std::array acpi_registers{
    Register{enable_register, 0x00, 0x01},
    Register{irq_register, 0x00, 0x0F},
    Register{0xE0, 0x00, 0xFF},
    Register{0xE1, 0x00, 0xFF},
    Register{0xE2, 0x00, 0xFF},
    Register{0xE3, 0x00, 0xFF},
    Register{0xE4, 0x00, 0xFF},
    Register{0xE5, 0x00, 0xFF},
    Register{0xE6, 0x00, 0xFF},
    Register{0xE7, 0x00, 0xFF},
    Register{0xF0, 0x00, 0xFF},
    Register{0xF1, 0x00, 0xFF},
    Register{0xF3, 0x00, 0xFF},
    Register{0xF4, 0x00, 0xFF},
    Register{0xF6, 0x00, 0xFF},
    Register{0xF7, 0x00, 0xFF},
    Register{0xF9, 0x00, 0xFF},
    Register{0xFE, 0x00, 0xFF},
    Register{0xFF, 0x00, 0xFF},
};
// Enabled at 0x290 as firmware leaves it, where sensors-detect and Linux's
// driver look for it.
constexpr std::array hardware_monitor_registers{
    Register{enable_register, 0x01, 0x01},
    Register{base_high, 0x02, 0x0F},
    Register{base_low, 0x90, 0xF8},
    Register{irq_register, 0x00, 0x0F},
    Register{0xF0, 0x00, 0xFF},
};

struct LogicalDevice {
    std::uint8_t number;
    std::string_view name;
    // The machine's device this one decodes, or "" where the machine has
    // nothing behind it.
    std::string_view machine_device;
    std::span<const Register> registers;
};

constexpr std::uint8_t parallel_port_ldn = 0x01;

constexpr std::array logical_devices{
    LogicalDevice{0x00, "floppy controller", "", floppy_registers},
    LogicalDevice{parallel_port_ldn, "parallel port", "lpt1", parallel_registers},
    LogicalDevice{0x02, "serial port A", "", serial_a_registers},
    LogicalDevice{0x03, "serial port B", "", serial_b_registers},
    LogicalDevice{0x05, "keyboard controller", "kbc", keyboard_registers},
    LogicalDevice{0x06, "consumer IR", "", consumer_ir_registers},
    LogicalDevice{0x07, "game port, MIDI port and GPIO 1", "", game_midi_gpio1_registers},
    LogicalDevice{0x08, "GPIO 2 and watchdog", "", gpio2_registers},
    LogicalDevice{0x09, "GPIO 3", "", gpio3_registers},
    LogicalDevice{0x0A, "ACPI", "", acpi_registers},
    LogicalDevice{0x0B, "hardware monitor", "hwmon", hardware_monitor_registers},
};

const LogicalDevice *find_logical_device(std::uint8_t number)
{
    for (const LogicalDevice &device : logical_devices) {
        if (device.number == number)
            return &device;
    }
    return nullptr;
}

const Register *find_register(std::span<const Register> registers, std::uint8_t index)
{
    for (const Register &candidate : registers) {
        if (candidate.index == index)
            return &candidate;
    }
    return nullptr;
}

// The configuration port's state, packed so that each transition is one
// compare-and-swap: whether the last write to 0x2E was the first half of
// the entry key, whether the registers are open, the index, and the
// selected logical device.
struct Control {
    bool half_key = false;
    bool open = false;
    std::uint8_t index = 0;
    std::uint8_t ldn = 0;
};

constexpr std::uint32_t half_key_bit = 1U << 0;
constexpr std::uint32_t open_bit = 1U << 1;
constexpr unsigned index_shift = 8;
constexpr unsigned ldn_shift = 16;

std::uint32_t pack(const Control &control)
{
    return (control.half_key ? half_key_bit : 0U) | (control.open ? open_bit : 0U) |
           std::uint32_t{control.index} << index_shift | std::uint32_t{control.ldn} << ldn_shift;
}

Control unpack(std::uint32_t packed)
{
    return {(packed & half_key_bit) != 0, (packed & open_bit) != 0,
            static_cast<std::uint8_t>(packed >> index_shift),
            static_cast<std::uint8_t>(packed >> ldn_shift)};
}

// Registers are kept as their difference from their value at reset, so
// that zeroed memory is the chip at reset.
struct SuperIoState {
    std::atomic<std::uint32_t> control;
    std::atomic<std::uint8_t> global_changes[first_logical_register];
    std::atomic<std::uint8_t> logical_changes[logical_device_numbers][logical_register_count];
};

// A register of the chip, or nowhere for one it does not implement (it
// reads all ones and ignores writes).
struct RegisterPlace {
    const Register *definition = nullptr;
    std::atomic<std::uint8_t> *changes = nullptr;
    const LogicalDevice *device = nullptr; // null for a global register
};

RegisterPlace place_of(SuperIoState &state, std::uint8_t ldn, std::uint8_t index)
{
    if (index < first_logical_register) {
        const Register *definition = find_register(global_registers, index);
        return {definition, &state.global_changes[index], nullptr};
    }
    const LogicalDevice *device = find_logical_device(ldn);
    if (device == nullptr)
        return {};
    return {find_register(device->registers, index),
            &state.logical_changes[ldn][index - first_logical_register], device};
}

std::uint8_t read_register(SuperIoState &state, std::uint8_t ldn, std::uint8_t index)
{
    const RegisterPlace place = place_of(state, ldn, index);
    if (place.definition == nullptr)
        return 0xFF;
    return static_cast<std::uint8_t>(place.definition->at_reset ^ place.changes->load(relaxed));
}

// Where a logical device decodes: its base and whether it is enabled.
struct Decoding {
    std::uint16_t base;
    bool enabled;
    bool operator==(const Decoding &) const = default;
};

Decoding decoding_of(SuperIoState &state, std::uint8_t ldn)
{
    return {static_cast<std::uint16_t>(read_register(state, ldn, base_high) << 8 |
                                       read_register(state, ldn, base_low)),
            (read_register(state, ldn, enable_register) & 0x01) != 0};
}

// Moves the machine's device behind a logical device to where the chip's
// registers now decode it: count 0 while disabled or at base 0. Another
// process may reprogram the device meanwhile; the move is repeated until
// it matches the registers it was made from.
void decode_machine_device(Machine &machine, SuperIoState &state, const LogicalDevice &device)
{
    if (device.machine_device.empty())
        return;
    DeviceSlot *slot = find_slot(machine, device.machine_device);
    const DeviceType *type = slot == nullptr ? nullptr : type_of(*slot);
    if (type == nullptr)
        return;
    const bool two_ranges = type->second_port_count != 0;
    for (;;) {
        const Decoding decoding = decoding_of(state, device.number);
        const auto second_base =
            static_cast<std::uint16_t>(read_register(state, device.number, second_base_high) << 8 |
                                       read_register(state, device.number, second_base_low));
        const bool decodes = decoding.enabled && decoding.base != 0;
        move_device(machine, *slot, decoding.base, decodes ? type->port_count : 0);
        if (two_ranges)
            move_device(machine, *slot, second_base,
                        decoding.enabled && second_base != 0 ? type->second_port_count : 0, 1);
        if (decoding_of(state, device.number) == decoding)
            return;
    }
}

void write_register(Machine &machine, SuperIoState &state, std::uint8_t ldn, std::uint8_t index,
                    std::uint8_t value)
{
    const RegisterPlace place = place_of(state, ldn, index);
    if (place.definition == nullptr)
        return;
    const Register &definition = *place.definition;
    place.changes->store(
        static_cast<std::uint8_t>((value ^ definition.at_reset) & definition.writable), relaxed);
    if (place.device != nullptr &&
        (index == enable_register || index == base_high || index == base_low ||
         index == second_base_high || index == second_base_low))
        decode_machine_device(machine, state, *place.device);
}

// A write to 0x2E: while closed, a step of the entry key (any other byte
// starts it again); while open, the index, or the exit key.
std::uint32_t after_key_or_index(std::uint32_t packed, std::uint8_t value)
{
    Control control = unpack(packed);
    if (control.open) {
        if (value == exit_key)
            control.open = false;
        else
            control.index = value;
    } else if (value == entry_key) {
        control.open = control.half_key;
        control.half_key = !control.half_key;
    } else {
        control.half_key = false;
    }
    return pack(control);
}

std::uint8_t read(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access)
{
    auto &state = state_of<SuperIoState>(slot);
    // 0x2E is write-only, and 0x2F answers only while the registers are open.
    const Control control = unpack(state.control.load());
    if (access.offset != data_offset || !control.open)
        return 0xFF;
    if (control.index == ldn_select)
        return control.ldn;
    return read_register(state, control.ldn, control.index);
}

void write(Machine &machine, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    auto &state = state_of<SuperIoState>(slot);
    std::uint32_t packed = state.control.load();
    if (access.offset == key_and_index_offset) {
        while (!state.control.compare_exchange_weak(packed, after_key_or_index(packed, value))) {
        }
        return;
    }
    Control control = unpack(packed);
    if (!control.open)
        return;
    if (control.index != ldn_select) {
        write_register(machine, state, control.ldn, control.index, value);
        return;
    }
    // The selection changes only if the registers are still open at the
    // same index.
    for (;;) {
        Control selected = control;
        selected.ldn = value;
        if (state.control.compare_exchange_weak(packed, pack(selected)))
            return;
        control = unpack(packed);
        if (!control.open || control.index != ldn_select)
            return;
    }
}

// To power-on: closed, every register at reset. The machine's reset has
// put lpt1 back at 0x378, where the parallel port's registers decode it.
void reset(Machine & /*machine*/, DeviceSlot &slot)
{
    auto &state = state_of<SuperIoState>(slot);
    state.control.store(0);
    for (auto &changes : state.global_changes)
        changes.store(0, relaxed);
    for (auto &device : state.logical_changes) {
        for (auto &changes : device)
            changes.store(0, relaxed);
    }
}

// "parallel port, enabled, base 0x378, irq 7"
std::string summary_of(SuperIoState &state, const LogicalDevice &device)
{
    const auto has = [&device](std::uint8_t index) {
        return find_register(device.registers, index) != nullptr;
    };
    const auto value = [&state, &device](std::uint8_t index) {
        return read_register(state, device.number, index);
    };
    std::string text(device.name);
    text += (value(enable_register) & 0x01) != 0 ? ", enabled" : ", disabled";
    if (has(base_high)) {
        const Decoding decoding = decoding_of(state, device.number);
        text += ", base " + hex_text(decoding.base, 3);
    }
    if (has(second_base_high))
        text += " and " + hex_text(static_cast<std::uint32_t>(value(second_base_high) << 8 |
                                                              value(second_base_low)),
                                   3);
    if (has(irq_register) && value(irq_register) != 0)
        text += ", irq " + decimal_text(value(irq_register));
    if (has(second_irq_register) && value(second_irq_register) != 0)
        text += " and " + decimal_text(value(second_irq_register));
    if (has(dma_register) && value(dma_register) < no_dma)
        text += ", dma " + decimal_text(value(dma_register));
    if (device.machine_device.empty())
        text += " (not simulated)";
    return text;
}

void describe(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    auto &state = state_of<SuperIoState>(slot);
    const Control control = unpack(state.control.load());
    properties.add("chip", "W83627HF");
    properties.add("id", hex_text(chip_id, 2));
    properties.add("revision", hex_text(chip_revision, 2));
    properties.add("configuration", control.open ? "open" : "closed");
    properties.add("selected-ldn", hex_text(control.ldn, 2));
    for (const LogicalDevice &device : logical_devices) {
        const std::string key = "ldn" + hex_text(device.number, 1).substr(2);
        properties.add(key, summary_of(state, device));
    }
}

} // namespace

extern const DeviceType superio_device{
    .name = "w83627hf",
    .summary =
        "a Winbond W83627HF Super I/O chip: configuration registers behind the 0x87 0x87 key",
    .port_count = 2,
    .state = state_layout<SuperIoState>(1),
    .read = read,
    .write = write,
    .reset = reset,
    .describe = describe,
};

} // namespace qport::sim
