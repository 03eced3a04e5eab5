// SPDX-License-Identifier: LGPL-2.1-or-later
// The W83627HF's keyboard controller (its logical device 5), an i8042 with a
// keyboard on its first port: data at 0x60, status and commands at 0x64, as
// firmware leaves it (self-tested, translating, the system flag set). The
// controller takes each byte at once, so its input buffer never reads full;
// answers queue in its output buffer until the host reads them, and a byte
// written while an answer is unread is still taken (kbdrate never reads
// the keyboard's acknowledgements). Pulsing the reset line (0xFE, or any
// 0xF0-0xFF with bit 0 clear) or clearing bit 0 of the output port resets
// the PC (reboot_machine). See qport_sim.h.
#include <array>
#include <string>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The data port is the first range's only port, the status and command
// port the second's.
constexpr std::uint16_t data_offset = 0;
constexpr std::uint16_t command_offset = 1;

// Status register bits.
constexpr std::uint8_t output_full = 0x01;
constexpr std::uint8_t system_flag = 0x04;
constexpr std::uint8_t last_was_command = 0x08;
constexpr std::uint8_t not_inhibited = 0x10; // the keyboard lock is open

// Command byte bits, and the byte firmware leaves: translation, system flag
// and the keyboard's interrupt on.
constexpr std::uint8_t command_byte_system = 0x04;
constexpr std::uint8_t command_byte_keyboard_disabled = 0x10;
constexpr std::uint8_t command_byte_at_boot = 0x45;
// Output port: bit 0 holds the CPU out of reset, bit 1 the A20 gate.
constexpr std::uint8_t output_port_at_boot = 0xCF;
constexpr std::uint8_t output_port_reset_line = 0x01;

// The keyboard's answers.
constexpr std::uint8_t acknowledge = 0xFA;
constexpr std::uint8_t resend = 0xFE;
constexpr std::uint8_t self_test_passed = 0xAA;
// Typematic byte after a keyboard reset: 10.9 characters/s after 500 ms.
constexpr std::uint8_t typematic_default = 0x2B;

// The controller's link to the host, one word so that each byte written
// is one compare-and-swap: up to four queued answers, the controller
// command awaiting its data byte, the keyboard command awaiting its, and
// whether the last write was to the command port.
constexpr std::size_t queue_capacity = 4;
struct Link {
    std::array<std::uint8_t, queue_capacity> queue{};
    std::uint8_t queued = 0;
    std::uint8_t controller_waiting = 0; // 0x60..0x7F, 0xD1, 0xD2; 0: none
    std::uint8_t keyboard_waiting = 0;   // 0xED, 0xF3; 0: none
    bool command_last = false;

    void answer(std::uint8_t byte)
    {
        // A full buffer loses the newest, as a keyboard's overrun does.
        if (queued < queue_capacity)
            queue[queued++] = byte;
    }
    std::uint8_t take()
    {
        const std::uint8_t byte = queue[0];
        for (std::size_t i = 1; i < queue_capacity; ++i)
            queue[i - 1] = queue[i];
        queue[queue_capacity - 1] = 0;
        --queued;
        return byte;
    }
};

std::uint64_t pack(const Link &link)
{
    std::uint64_t packed = 0;
    for (std::size_t i = 0; i < queue_capacity; ++i)
        packed |= std::uint64_t{link.queue[i]} << (8 * i);
    return packed | std::uint64_t{link.queued} << 32 |
           std::uint64_t{link.controller_waiting} << 40 |
           std::uint64_t{link.keyboard_waiting} << 48 | std::uint64_t{link.command_last} << 56;
}

Link unpack(std::uint64_t packed)
{
    Link link;
    for (std::size_t i = 0; i < queue_capacity; ++i)
        link.queue[i] = static_cast<std::uint8_t>(packed >> (8 * i));
    link.queued = static_cast<std::uint8_t>((packed >> 32) & 0x7);
    link.controller_waiting = static_cast<std::uint8_t>(packed >> 40);
    link.keyboard_waiting = static_cast<std::uint8_t>(packed >> 48);
    link.command_last = ((packed >> 56) & 1) != 0;
    return link;
}

constexpr std::size_t ram_bytes = 32; // byte 0 is the command byte

struct KeyboardControllerState {
    std::atomic<std::uint64_t> link;
    std::atomic<std::uint8_t> ram[ram_bytes];
    std::atomic<std::uint8_t> output_port;
    std::atomic<std::uint8_t> leds;      // bit 0 scroll lock, 1 num lock, 2 caps lock
    std::atomic<std::uint8_t> typematic; // bits 0-4 rate, 5-6 delay
    std::atomic<std::uint8_t> scanning;  // nonzero: the keyboard sends keys
};

// What a write does besides the link: registers to store once its
// transition is made, and whether it pulls the reset line.
struct Effects {
    int ram_index = -1;
    std::uint8_t ram_value = 0;
    int output_port = -1;
    int leds = -1;
    int typematic = -1;
    int scanning = -1;
    ResetCause reset = ResetCause::none;
};

std::uint8_t command_byte(KeyboardControllerState &state) { return state.ram[0].load(relaxed); }

void controller_command(KeyboardControllerState &state, Link &link, Effects &effects,
                        std::uint8_t command)
{
    link.controller_waiting = 0;
    if (command >= 0x20 && command <= 0x3F) {
        link.answer(state.ram[command & 0x1F].load(relaxed));
    } else if ((command >= 0x60 && command <= 0x7F) || command == 0xD1 || command == 0xD2) {
        link.controller_waiting = command;
    } else if (command == 0xAA) {
        link.answer(0x55);
    } else if (command == 0xAB) {
        link.answer(0x00); // keyboard clock and data lines fine
    } else if (command == 0xAD || command == 0xAE) {
        effects.ram_index = 0;
        effects.ram_value =
            command == 0xAD
                ? static_cast<std::uint8_t>(command_byte(state) | command_byte_keyboard_disabled)
                : static_cast<std::uint8_t>(command_byte(state) & ~command_byte_keyboard_disabled);
    } else if (command == 0xD0) {
        link.answer(state.output_port.load(relaxed));
    } else if (command >= 0xF0 && (command & output_port_reset_line) == 0) {
        // Pulses the output port's low lines that the command's low bits
        // clear: bit 0 is the CPU's reset.
        effects.reset = ResetCause::keyboard_controller_pulse;
    }
    // Any other command: the chip ignores it.
}

void controller_data(Link &link, Effects &effects, std::uint8_t command, std::uint8_t value)
{
    link.controller_waiting = 0;
    if (command == 0xD1) {
        effects.output_port = value;
        if ((value & output_port_reset_line) == 0)
            effects.reset = ResetCause::keyboard_controller_output_port;
    } else if (command == 0xD2) {
        link.answer(value); // as if the keyboard had sent it
    } else {
        effects.ram_index = command & 0x1F;
        effects.ram_value = value;
    }
}

void keyboard_byte(Link &link, Effects &effects, std::uint8_t value)
{
    if (link.keyboard_waiting == 0xED) {
        link.keyboard_waiting = 0;
        effects.leds = value & 0x07;
        link.answer(acknowledge);
        return;
    }
    if (link.keyboard_waiting == 0xF3) {
        link.keyboard_waiting = 0;
        effects.typematic = value & 0x7F;
        link.answer(acknowledge);
        return;
    }
    switch (value) {
    case 0xED:
    case 0xF3:
        link.keyboard_waiting = value;
        link.answer(acknowledge);
        break;
    case 0xEE:
        link.answer(0xEE);
        break;
    case 0xF2: // identify: an MF2 keyboard, translated
        link.answer(acknowledge);
        link.answer(0xAB);
        link.answer(0x41);
        break;
    case 0xF4:
    case 0xF5:
        effects.scanning = value == 0xF4 ? 1 : 0;
        link.answer(acknowledge);
        break;
    case 0xF6:
        effects.typematic = typematic_default;
        effects.scanning = 1;
        link.answer(acknowledge);
        break;
    case 0xFF:
        effects.leds = 0;
        effects.typematic = typematic_default;
        effects.scanning = 1;
        link.answer(acknowledge);
        link.answer(self_test_passed);
        break;
    default:
        link.answer(resend); // a command the keyboard does not know
        break;
    }
}

std::uint8_t read(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access)
{
    auto &state = state_of<KeyboardControllerState>(slot);
    std::uint64_t packed = state.link.load();
    if (access.offset != data_offset) {
        const Link link = unpack(packed);
        std::uint8_t status = not_inhibited;
        if (link.queued != 0)
            status |= output_full;
        if ((command_byte(state) & command_byte_system) != 0)
            status |= system_flag;
        if (link.command_last)
            status |= last_was_command;
        return status;
    }
    for (;;) {
        Link link = unpack(packed);
        // An empty buffer reads its last byte again: what stays on the bus.
        if (link.queued == 0)
            return link.queue[0];
        if (access.peek)
            return link.queue[0];
        const std::uint8_t byte = link.take();
        if (link.queued == 0)
            link.queue[0] = byte;
        if (state.link.compare_exchange_weak(packed, pack(link)))
            return byte;
    }
}

void write(Machine &machine, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    auto &state = state_of<KeyboardControllerState>(slot);
    std::uint64_t packed = state.link.load();
    Effects effects;
    for (;;) {
        Link link = unpack(packed);
        effects = Effects{};
        link.command_last = access.offset == command_offset;
        if (access.offset == command_offset)
            controller_command(state, link, effects, value);
        else if (link.controller_waiting != 0)
            controller_data(link, effects, link.controller_waiting, value);
        else
            keyboard_byte(link, effects, value);
        if (state.link.compare_exchange_weak(packed, pack(link)))
            break;
    }
    if (effects.ram_index >= 0)
        state.ram[effects.ram_index].store(effects.ram_value, relaxed);
    if (effects.output_port >= 0)
        state.output_port.store(static_cast<std::uint8_t>(effects.output_port), relaxed);
    if (effects.leds >= 0)
        state.leds.store(static_cast<std::uint8_t>(effects.leds), relaxed);
    if (effects.typematic >= 0)
        state.typematic.store(static_cast<std::uint8_t>(effects.typematic), relaxed);
    if (effects.scanning >= 0)
        state.scanning.store(static_cast<std::uint8_t>(effects.scanning), relaxed);
    if (effects.reset != ResetCause::none)
        reboot_machine(machine, effects.reset);
}

// As firmware leaves it: self-tested, the keyboard reset and scanning.
void reset(Machine & /*machine*/, DeviceSlot &slot)
{
    auto &state = state_of<KeyboardControllerState>(slot);
    state.link.store(0);
    for (auto &byte : state.ram)
        byte.store(0, relaxed);
    state.ram[0].store(command_byte_at_boot, relaxed);
    state.output_port.store(output_port_at_boot, relaxed);
    state.leds.store(0, relaxed);
    state.typematic.store(typematic_default, relaxed);
    state.scanning.store(1, relaxed);
}

// The repeat rates the typematic byte chooses, in tenths of a character per
// second: (8 + bits 0-2) * 2^(bits 3-4) * 4.17 ms between characters.
constexpr std::array<unsigned, 32> typematic_tenths{
    300, 267, 240, 218, 200, 185, 171, 160, 150, 133, 120, 109, 100, 92, 86, 80,
    75,  67,  60,  55,  50,  46,  43,  40,  37,  33,  30,  27,  25,  23, 21, 20,
};

std::string tenths_text(unsigned tenths)
{
    return decimal_text(tenths / 10) + "." + decimal_text(tenths % 10);
}

void describe(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    auto &state = state_of<KeyboardControllerState>(slot);
    const Link link = unpack(state.link.load());
    const std::uint8_t command = command_byte(state);
    properties.add("chip", "i8042 (W83627HF logical device 5)");
    properties.add("command-byte", hex_text(command, 2));
    properties.add("output-port", hex_text(state.output_port.load(relaxed), 2));
    std::string queued;
    for (std::size_t i = 0; i < link.queued; ++i)
        queued += (queued.empty() ? "" : " ") + hex_text(link.queue[i], 2);
    properties.add("output-buffer", queued.empty() ? std::string("empty") : queued);
    properties.add("keyboard", (command & command_byte_keyboard_disabled) != 0 ? "disabled"
                               : state.scanning.load(relaxed) != 0             ? "enabled, scanning"
                                                                   : "enabled, not scanning");
    const std::uint8_t leds = state.leds.load(relaxed);
    std::string lit;
    constexpr std::array<std::string_view, 3> led_names{"scroll-lock", "num-lock", "caps-lock"};
    for (std::size_t bit = 0; bit < led_names.size(); ++bit) {
        if ((leds & (1U << bit)) != 0)
            lit += (lit.empty() ? "" : ", ") + std::string(led_names[bit]);
    }
    properties.add("leds", lit.empty() ? std::string("none lit") : lit);
    const std::uint8_t typematic = state.typematic.load(relaxed);
    properties.add("typematic-rate",
                   tenths_text(typematic_tenths[typematic & 0x1F]) + " characters/s");
    properties.add("typematic-delay",
                   decimal_text(std::uint64_t{250} * (((typematic >> 5) & 0x3U) + 1)) + " ms");
}

} // namespace

extern const DeviceType keyboard_controller_device{
    .name = "i8042",
    .summary = "the keyboard controller with its keyboard: data at 0x60, status and commands at "
               "0x64",
    .port_count = 1,
    .state = state_layout<KeyboardControllerState>(1),
    .second_port_count = 1,
    .read = read,
    .write = write,
    .reset = reset,
    .describe = describe,
};

} // namespace qport::sim
