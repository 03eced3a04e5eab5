// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port's controller: the data latch, the status register as
// the peripheral drives it, and the control register. See qport_sim.h.
#include "parallel_port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

namespace qport::sim {

extern const PeripheralType no_peripheral;
extern const PeripheralType loopback_peripheral;
extern const PeripheralType printer_peripheral;
extern const PeripheralType switches_peripheral;
extern const PeripheralType lcd_peripheral;
extern const PeripheralType jtag_peripheral;
extern const PeripheralType spi_flash_peripheral;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The one list of peripherals: a peripheral added to the simulator is a
// source file defining its PeripheralType, a value in the public enum and a
// line here.
constexpr std::array<const PeripheralType *, 7> peripherals{
    &no_peripheral,  &loopback_peripheral, &printer_peripheral,   &switches_peripheral,
    &lcd_peripheral, &jtag_peripheral,     &spi_flash_peripheral,
};

constexpr std::uint16_t data_offset = 0;
constexpr std::uint16_t status_offset = 1;
constexpr std::uint16_t control_offset = 2;

// One output a port, in this process: its descriptor must outlive any
// thread still printing through it (see Output).
template <std::size_t... Slot>
constexpr std::array<Output, sizeof...(Slot)> printer_papers(std::index_sequence<Slot...>)
{
    return {((void)Slot, Output("the printer's output", Links::refused))...};
}
constinit std::array<Output, slot_count> papers =
    printer_papers(std::make_index_sequence<slot_count>());

// Setting an output path and opening it are rare; the lock keeps two of
// them from mixing.
constinit std::mutex output_mutex;

ParallelPort port_of(Machine &machine, DeviceSlot &slot)
{
    return {machine, slot, state_of<ParallelPortState>(slot)};
}

const PeripheralType *find_peripheral(std::uint32_t device)
{
    for (const PeripheralType *peripheral : peripherals) {
        if (static_cast<std::uint32_t>(peripheral->device) == device)
            return peripheral;
    }
    return nullptr;
}

const PeripheralType &peripheral_of(const ParallelPort &port)
{
    const PeripheralType *peripheral = find_peripheral(port.state.peripheral.load(relaxed));
    return peripheral != nullptr ? *peripheral : no_peripheral;
}

PortLines lines_of(const ParallelPortState &state)
{
    return {state.data.load(relaxed), state.control.load(relaxed)};
}

std::uint8_t read(Machine &machine, DeviceSlot &slot, const PortAccess &access)
{
    const ParallelPort port = port_of(machine, slot);
    switch (access.offset) {
    case data_offset:
        return port.state.data.load(relaxed);
    case status_offset:
        return static_cast<std::uint8_t>(
            (peripheral_of(port).status(port, lines_of(port.state), access.peek) &
             ~status_reserved_bits) |
            status_reserved_bits);
    default:
        return port.state.control.load(relaxed) | control_unused_bits;
    }
}

void write(Machine &machine, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    const ParallelPort port = port_of(machine, slot);
    PortLines before = lines_of(port.state);
    PortLines now = before;
    switch (access.offset) {
    case data_offset:
        before.data = port.state.data.exchange(value);
        now.data = value;
        break;
    case control_offset:
        now.control = static_cast<std::uint8_t>(value & ~control_unused_bits);
        before.control = port.state.control.exchange(now.control);
        break;
    default:
        return; // the status register is read-only
    }
    peripheral_of(port).lines_changed(port, before, now);
}

void reset_peripheral(const ParallelPort &port)
{
    std::memset(port.state.peripheral_state, 0, sizeof port.state.peripheral_state);
    if (const auto reset = peripheral_of(port).reset)
        reset(port);
}

void reset(Machine &machine, DeviceSlot &slot)
{
    const ParallelPort port = port_of(machine, slot);
    port.state.data.store(0, relaxed);
    port.state.control.store(control_at_reset, relaxed);
    if (const auto reset = peripheral_of(port).reset)
        reset(port);
}

// The PC's reset line: the registers go back to reset as a write would
// take them there, so the peripheral sees its lines change and keeps its
// own state.
void reboot(Machine &machine, DeviceSlot &slot)
{
    write(machine, slot, {data_offset, 1, 0, false}, 0);
    write(machine, slot, {control_offset, 1, 0, false}, control_at_reset);
}

void describe(Machine &machine, DeviceSlot &slot, Properties &properties)
{
    const ParallelPort port = port_of(machine, slot);
    properties.add("data", hex_text(port.state.data.load(relaxed), 2));
    properties.add("status", hex_text(read(machine, slot, {status_offset, 1, 0, true}), 2));
    properties.add("control", hex_text(read(machine, slot, {control_offset, 1, 0, true}), 2));
    properties.add("peripheral", peripheral_of(port).name);
    if (port.state.printer_output[0] != '\0')
        properties.add("printer-output",
                       std::string_view(
                           port.state.printer_output,
                           ::strnlen(port.state.printer_output, sizeof port.state.printer_output)));
    if (const auto describe = peripheral_of(port).describe)
        describe(port, properties);
}

int set(Machine &machine, DeviceSlot &slot, std::string_view key, std::string_view value)
{
    if (key == "peripheral") {
        // The key exists; a name that names no peripheral is a bad value.
        const int error = set_peripheral(machine, slot, value);
        return error == ENOENT ? EINVAL : error;
    }
    if (key == "printer-output") {
        const std::string path(value);
        return set_printer_output(machine, slot, path.c_str()) == 0 ? 0 : errno;
    }
    const ParallelPort port = port_of(machine, slot);
    const auto set = peripheral_of(port).set;
    return set == nullptr ? ENOENT : set(port, key, value);
}

// The data latch and control register take a preset as written; a preset
// status register stands in for the peripheral.
bool preset(Machine &machine, DeviceSlot &slot, std::uint16_t offset, std::uint8_t value)
{
    auto &state = state_of<ParallelPortState>(slot);
    (void)machine;
    if (offset == data_offset)
        state.data.store(value, relaxed);
    else if (offset == control_offset)
        state.control.store(static_cast<std::uint8_t>(value & ~control_unused_bits), relaxed);
    return offset != status_offset;
}

int open_paper(Output &paper, const char *path)
{
    if (path == nullptr || *path == '\0') {
        paper.close();
        return 0;
    }
    return paper.open(path);
}

bool memory(Machine &machine, DeviceSlot &slot, MemoryNeed &need)
{
    const ParallelPort port = port_of(machine, slot);
    const auto memory = peripheral_of(port).memory;
    return memory != nullptr && memory(port, need);
}

std::string refusal_text(const PeripheralType &peripheral, std::string_view option,
                         std::size_t equals, int error)
{
    const std::string name(peripheral.name);
    std::string text(option);
    if (peripheral.set == nullptr)
        return text + " (" + name + " takes no settings)";
    const std::string keys = "; it takes " + std::string(peripheral.keys);
    if (equals == std::string_view::npos)
        return text + " (a setting is KEY=VALUE" + keys + ")";
    const std::string key(option.substr(0, equals));
    if (error == ENOENT)
        return text + " (" + name + " has no setting " + key + keys + ")";
    const std::string valid = peripheral.choices == nullptr ? "" : peripheral.choices(key);
    if (!valid.empty())
        text += " (" + key + " can be " + valid + ")";
    return text;
}

} // namespace

extern const DeviceType parallel_port_device{
    .name = "parallel-port",
    .summary = "a parallel port: data, status and control registers, a peripheral on its connector",
    .port_count = 3,
    .state = state_layout<ParallelPortState>(1),
    .read = read,
    .write = write,
    .reset = reset,
    .reboot = reboot,
    .describe = describe,
    .set = set,
    .preset = preset,
    .memory = memory,
};

ParallelPort parallel_port(Machine &machine, DeviceSlot &slot) { return port_of(machine, slot); }

Output &ParallelPort::paper() const { return papers[slot_number(machine, slot)]; }

std::span<const PeripheralType *const> peripheral_types() { return peripherals; }

std::string peripheral_names()
{
    std::string names;
    for (const PeripheralType *peripheral : peripherals)
        names += (names.empty() ? "" : ", ") + std::string(peripheral->name);
    return names;
}

int set_peripheral(Machine &machine, DeviceSlot &slot, std::string_view choice, Plugging plugging,
                   std::string *refused)
{
    const std::size_t colon = choice.find(':');
    const std::string_view name = choice.substr(0, colon);
    const auto chosen =
        std::find_if(peripherals.begin(), peripherals.end(),
                     [name](const PeripheralType *peripheral) { return peripheral->name == name; });
    if (chosen == peripherals.end())
        return ENOENT;
    const ParallelPort port = port_of(machine, slot);
    if (plugging == Plugging::unless_plugged_in && colon == std::string_view::npos &&
        &peripheral_of(port) == *chosen)
        return 0;
    port.state.peripheral.store(static_cast<std::uint32_t>((*chosen)->device), relaxed);
    reset_peripheral(port);
    std::string_view options = colon == std::string_view::npos ? "" : choice.substr(colon + 1);
    while (!options.empty()) {
        const std::string_view option = options.substr(0, options.find(','));
        options.remove_prefix(std::min(options.size(), option.size() + 1));
        const std::size_t equals = option.find('=');
        const auto set = (*chosen)->set;
        const int error = equals == std::string_view::npos || set == nullptr
                              ? EINVAL
                              : set(port, option.substr(0, equals), option.substr(equals + 1));
        if (error != 0) {
            if (refused != nullptr)
                *refused = refusal_text(**chosen, option, equals, error);
            return EINVAL;
        }
    }
    MemoryNeed need{};
    if (const auto memory = (*chosen)->memory; memory != nullptr && memory(port, need))
        memory_of(machine, need); // a memory file refused is told now, not at a transfer
    return 0;
}

int set_printer_output(Machine &machine, DeviceSlot &slot, const char *path)
{
    const std::size_t length = path == nullptr ? 0 : std::strlen(path);
    if (length >= printer_output_capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const ParallelPort port = port_of(machine, slot);
    const std::lock_guard lock(output_mutex);
    if (open_paper(port.paper(), path) != 0)
        return -1;
    std::memset(port.state.printer_output, 0, sizeof port.state.printer_output);
    if (length > 0)
        std::memcpy(port.state.printer_output, path, length);
    return 0;
}

void open_printer_outputs(Machine &machine)
{
    for (DeviceSlot &slot : machine.slots) {
        if (type_of(slot) != &parallel_port_device) {
            // What this slot printed on the previous machine goes no further.
            const std::lock_guard lock(output_mutex);
            papers[slot_number(machine, slot)].close();
            continue;
        }
        const ParallelPort port = port_of(machine, slot);
        char path[printer_output_capacity] = {};
        std::memcpy(path, port.state.printer_output, sizeof path - 1);
        const std::lock_guard lock(output_mutex);
        if (open_paper(port.paper(), path) != 0)
            tell_cannot_print(path, errno);
    }
}

void tell_cannot_print(const char *path, int error)
{
    Line line;
    line.text("cannot write the printer's output to ").text(path).text(": ");
    if (error == ELOOP)
        line.text("it is a symbolic link, which the printer's output never follows");
    else if (error == EPERM)
        line.text("it is another user's FIFO, socket or device");
    else
        line.text(strerrordesc_np(error));
    tell(line.text("; what is printed is dropped"));
}

} // namespace qport::sim
