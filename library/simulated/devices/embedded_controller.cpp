// SPDX-License-Identifier: LGPL-2.1-or-later
// An ACPI embedded controller at 0x62 (data) and 0x66 (status and
// commands), with the interface ACPI defines: read 0x80 and write 0x81 of
// its 256 bytes of memory, burst enable 0x82 (answering 0x90) and disable
// 0x83, and query 0x84, answering the oldest queued event (0 when none).
// The controller takes each byte at once, so its input buffer never reads
// full. Its memory and events are set by users (properties memory-0xNN and
// event); the PC's reset leaves them, as it leaves the controller's own
// firmware running. Commands it does not know are ignored. See qport_sim.h.
#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

constexpr std::uint16_t data_offset = 0;    // 0x62
constexpr std::uint16_t command_offset = 1; // 0x66

// Status register bits.
constexpr std::uint8_t output_full = 0x01;
constexpr std::uint8_t last_was_command = 0x08;
constexpr std::uint8_t burst_mode = 0x10;
constexpr std::uint8_t sci_event = 0x20;

constexpr std::uint8_t read_command = 0x80;
constexpr std::uint8_t write_command = 0x81;
constexpr std::uint8_t burst_enable = 0x82;
constexpr std::uint8_t burst_disable = 0x83;
constexpr std::uint8_t query_command = 0x84;
constexpr std::uint8_t burst_acknowledge = 0x90;

// The host's side, one word so that each byte written is one
// compare-and-swap: the output buffer and whether it is full, the command
// under way and how far (0: awaiting the address, 1: the data), its
// address, the command flag and burst mode.
struct Link {
    std::uint8_t output = 0;
    bool full = false;
    std::uint8_t command = 0; // read_command or write_command while under way; 0: none
    std::uint8_t stage = 0;
    std::uint8_t address = 0;
    bool command_last = false;
    bool burst = false;
};

std::uint64_t pack(const Link &link)
{
    return std::uint64_t{link.output} | std::uint64_t{link.full} << 8 |
           std::uint64_t{link.command} << 16 | std::uint64_t{link.stage} << 24 |
           std::uint64_t{link.address} << 32 | std::uint64_t{link.command_last} << 40 |
           std::uint64_t{link.burst} << 41;
}

Link unpack(std::uint64_t packed)
{
    Link link;
    link.output = static_cast<std::uint8_t>(packed);
    link.full = ((packed >> 8) & 1) != 0;
    link.command = static_cast<std::uint8_t>(packed >> 16);
    link.stage = static_cast<std::uint8_t>(packed >> 24);
    link.address = static_cast<std::uint8_t>(packed >> 32);
    link.command_last = ((packed >> 40) & 1) != 0;
    link.burst = ((packed >> 41) & 1) != 0;
    return link;
}

// Queued events, oldest in the low byte, and their count in the top byte:
// up to seven.
constexpr unsigned event_capacity = 7;
// Bounded where it is read: a crafted machine file may hold any count.
unsigned event_count(std::uint64_t events)
{
    return std::min(static_cast<unsigned>(events >> 56), event_capacity);
}

constexpr std::size_t memory_bytes = 256;

struct EmbeddedControllerState {
    std::atomic<std::uint64_t> link;
    std::atomic<std::uint64_t> events;
    std::atomic<std::uint8_t> memory[memory_bytes];
};

// Takes the oldest event: 0 when none is queued.
std::uint8_t take_event(EmbeddedControllerState &state)
{
    std::uint64_t events = state.events.load();
    for (;;) {
        const unsigned count = event_count(events);
        if (count == 0)
            return 0;
        const std::uint64_t rest = ((events & 0x00FFFFFFFFFFFFFFU) >> 8) | std::uint64_t{count - 1}
                                                                               << 56;
        if (state.events.compare_exchange_weak(events, rest))
            return static_cast<std::uint8_t>(events);
    }
}

bool queue_event(EmbeddedControllerState &state, std::uint8_t event)
{
    std::uint64_t events = state.events.load();
    for (;;) {
        const unsigned count = event_count(events);
        if (count >= event_capacity)
            return false;
        const std::uint64_t more = (events & 0x00FFFFFFFFFFFFFFU) |
                                   std::uint64_t{event} << (8 * count) |
                                   std::uint64_t{count + 1} << 56;
        if (state.events.compare_exchange_weak(events, more))
            return true;
    }
}

std::uint8_t read(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access)
{
    auto &state = state_of<EmbeddedControllerState>(slot);
    std::uint64_t packed = state.link.load();
    if (access.offset != data_offset) {
        const Link link = unpack(packed);
        std::uint8_t status = 0;
        if (link.full)
            status |= output_full;
        if (link.command_last)
            status |= last_was_command;
        if (link.burst)
            status |= burst_mode;
        if (event_count(state.events.load(relaxed)) != 0)
            status |= sci_event;
        return status;
    }
    for (;;) {
        Link link = unpack(packed);
        if (!link.full || access.peek)
            return link.output; // an empty buffer reads its last byte again
        link.full = false;
        if (state.link.compare_exchange_weak(packed, pack(link)))
            return link.output;
    }
}

void write(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    auto &state = state_of<EmbeddedControllerState>(slot);
    std::uint64_t packed = state.link.load();
    for (;;) {
        Link link = unpack(packed);
        bool query = false;
        int stored_at = -1;
        link.command_last = access.offset == command_offset;
        if (access.offset == command_offset) {
            link.command = 0;
            link.stage = 0;
            switch (value) {
            case read_command:
            case write_command:
                link.command = value;
                break;
            case burst_enable:
                link.burst = true;
                link.output = burst_acknowledge;
                link.full = true;
                break;
            case burst_disable:
                link.burst = false;
                break;
            case query_command:
                query = true;
                break;
            default:
                break; // not a command of the interface: ignored
            }
        } else if (link.command == read_command) {
            link.output = state.memory[value].load(relaxed);
            link.full = true;
            link.command = 0;
        } else if (link.command == write_command && link.stage == 0) {
            link.address = value;
            link.stage = 1;
        } else if (link.command == write_command) {
            stored_at = link.address;
            link.command = 0;
            link.stage = 0;
        }
        // Data with no command under way: ignored.
        if (query) {
            // The event leaves the queue only once the answer is in the buffer.
            if (!state.link.compare_exchange_weak(packed, pack(link)))
                continue;
            const std::uint8_t event = take_event(state);
            packed = state.link.load();
            for (;;) {
                Link answered = unpack(packed);
                answered.output = event;
                answered.full = true;
                if (state.link.compare_exchange_weak(packed, pack(answered)))
                    return;
            }
        }
        if (state.link.compare_exchange_weak(packed, pack(link))) {
            if (stored_at >= 0)
                state.memory[stored_at].store(value, relaxed);
            return;
        }
    }
}

// The PC's reset: the host's side of the interface starts again; the
// controller's memory and events stay, as its firmware keeps running.
void reboot(Machine & /*machine*/, DeviceSlot &slot)
{
    state_of<EmbeddedControllerState>(slot).link.store(0);
}

void reset(Machine &machine, DeviceSlot &slot)
{
    auto &state = state_of<EmbeddedControllerState>(slot);
    reboot(machine, slot);
    state.events.store(0);
    for (auto &byte : state.memory)
        byte.store(0, relaxed);
}

void describe(Machine &machine, DeviceSlot &slot, Properties &properties)
{
    auto &state = state_of<EmbeddedControllerState>(slot);
    const Link link = unpack(state.link.load());
    properties.add("status", hex_text(read(machine, slot, {command_offset, 1, 0, true}), 2));
    properties.add("output-buffer", link.full ? hex_text(link.output, 2) : std::string("empty"));
    properties.add("burst", link.burst ? "on" : "off");
    const std::uint64_t events = state.events.load();
    std::string queued;
    for (unsigned i = 0; i < event_count(events); ++i)
        queued +=
            (queued.empty() ? "" : " ") + hex_text(static_cast<std::uint8_t>(events >> (8 * i)), 2);
    properties.add("events", queued.empty() ? std::string("none") : queued);
    // Memory by rows of 16, those holding something.
    for (std::size_t row = 0; row < memory_bytes; row += 16) {
        std::string bytes;
        bool used = false;
        for (std::size_t i = row; i < row + 16; ++i) {
            const std::uint8_t byte = state.memory[i].load(relaxed);
            used = used || byte != 0;
            bytes += (i == row ? "" : " ") + hex_text(byte, 2).substr(2);
        }
        if (used)
            properties.add("memory-" + hex_text(static_cast<std::uint32_t>(row), 2), bytes);
    }
}

// "memory-0x10" = "0x42": a byte of memory; "event" = "0x66": one more
// queued event.
int set(Machine & /*machine*/, DeviceSlot &slot, std::string_view key, std::string_view value)
{
    auto &state = state_of<EmbeddedControllerState>(slot);
    std::uint32_t number = 0;
    if (key == "event") {
        if (!parse_number(value, number) || number == 0 || number > 0xFF)
            return refuse_setting("ec", key, value,
                                  "an event number from 1 to 0xff (0 means none)");
        if (!queue_event(state, static_cast<std::uint8_t>(number)))
            return refuse_setting("ec", key, value, "no more: seven events are queued already");
        return 0;
    }
    if (!key.starts_with("memory-"))
        return ENOENT;
    std::uint32_t address = 0;
    if (!parse_number(key.substr(7), address) || address >= memory_bytes)
        return ENOENT;
    if (!parse_number(value, number) || number > 0xFF)
        return refuse_setting("ec", key, value, "a byte from 0 to 0xff");
    state.memory[address].store(static_cast<std::uint8_t>(number), relaxed);
    return 0;
}

} // namespace

extern const DeviceType embedded_controller_device{
    .name = "acpi-ec",
    .summary = "an ACPI embedded controller: data at 0x62, status and commands at 0x66, 256 bytes "
               "of memory and queued events",
    .port_count = 1,
    .state = state_layout<EmbeddedControllerState>(1),
    .second_port_count = 1,
    .read = read,
    .write = write,
    .reset = reset,
    .reboot = reboot,
    .describe = describe,
    .set = set,
};

} // namespace qport::sim
