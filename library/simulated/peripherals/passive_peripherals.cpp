// SPDX-License-Identifier: LGPL-2.1-or-later
// What may be plugged into the simulated parallel port without logic of its
// own: nothing, the common loopback plug, and a box of switches on the
// status lines.
#include <cerrno>
#include <string>

#include "parallel_port.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

void nothing_changes(const ParallelPort & /*port*/, PortLines /*before*/, PortLines /*now*/) {}

// Nothing on the connector: the status lines float high, and the status
// register shows Busy asserted through its inversion.
std::uint8_t open_status(const ParallelPort & /*port*/, PortLines /*now*/, bool /*peek*/)
{
    return 0x78;
}

// The common 25-pin loopback plug, wired pin to pin:
//   1 nStrobe -> 13 Select     2 D0 -> 15 nError     10 nAck <- 16 nInit
//   11 Busy <- 17 nSelectIn    12 PaperOut <- 14 nAutoFeed
// The control register inverts nStrobe, nAutoFeed and nSelectIn, and the
// status register inverts Busy.
std::uint8_t loopback_status(const ParallelPort & /*port*/, PortLines now, bool /*peek*/)
{
    std::uint8_t status = 0;
    if ((now.control & control_select_in) != 0)
        status |= status_not_busy;
    if ((now.control & control_not_init) != 0)
        status |= status_not_ack;
    if ((now.control & control_auto_feed) == 0)
        status |= status_paper_out;
    if ((now.control & control_strobe) == 0)
        status |= status_select;
    if ((now.data & 0x01) != 0)
        status |= status_not_error;
    return status;
}

// A switch on each status line, set by hand (the panel, qportio, a test):
// what the status register reads, bits 3..7, kept in the machine so that
// every process reads the same switches.
struct Switches {
    std::atomic<std::uint8_t> status;
};
constexpr std::uint8_t switches_at_reset = 0x78; // every line high, as with nothing plugged

std::uint8_t switches_status(const ParallelPort &port, PortLines /*now*/, bool /*peek*/)
{
    return port.peripheral<Switches>().status.load(relaxed);
}

void reset_switches(const ParallelPort &port)
{
    port.peripheral<Switches>().status.store(switches_at_reset, relaxed);
}

void describe_switches(const ParallelPort &port, Properties &properties)
{
    properties.add("switches", hex_text(port.peripheral<Switches>().status.load(relaxed), 2));
}

int set_switches(const ParallelPort &port, std::string_view key, std::string_view value)
{
    if (key != "switches")
        return ENOENT;
    std::uint32_t status = 0;
    if (!parse_number(value, status) || status > 0xFF)
        return EINVAL;
    port.peripheral<Switches>().status.store(static_cast<std::uint8_t>(status & 0xF8), relaxed);
    return 0;
}

std::string switches_choices(std::string_view key)
{
    return key == "switches" ? "a byte, 0 to 0xff (bits 3 to 7 are the status lines)" : "";
}

} // namespace

extern const PeripheralType no_peripheral{
    .device = QPORT_SIM_DEVICE_NONE,
    .name = "none",
    .summary = "nothing on the connector",
    .state = no_state,
    .lines_changed = nothing_changes,
    .status = open_status,
};

extern const PeripheralType loopback_peripheral{
    .device = QPORT_SIM_DEVICE_LOOPBACK,
    .name = "loopback",
    .summary = "the common 25-pin loopback plug",
    .state = no_state,
    .lines_changed = nothing_changes,
    .status = loopback_status,
};

extern const PeripheralType switches_peripheral{
    .device = QPORT_SIM_DEVICE_SWITCHES,
    .name = "switches",
    .summary = "a switch on each status line",
    .state = state_layout<Switches>(1),
    .lines_changed = nothing_changes,
    .status = switches_status,
    .reset = reset_switches,
    .describe = describe_switches,
    .set = set_switches,
    .choices = switches_choices,
    .keys = "switches",
};

} // namespace qport::sim
