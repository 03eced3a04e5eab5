// SPDX-License-Identifier: LGPL-2.1-or-later
// A printer on the simulated parallel port, on line with paper, taking
// bytes by the compatibility-mode handshake.
#include <algorithm>
#include <cerrno>
#include <string>

#include "parallel_port.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// Where the printer is in the handshake.
enum Phase : std::uint8_t {
    ready = 0,        // Busy low, nAck high
    busy = 1,         // nStrobe seen: byte latched, Busy high
    acknowledging = 2 // strobe released, byte taken: nAck pulsed low
};

// The last bytes printed, for those who look at the paper (the panel):
// a ring that printed bytes are written into at printed % size.
constexpr std::size_t paper_kept = 2048;

struct Printer {
    std::atomic<std::uint8_t> phase;
    std::atomic<std::uint8_t> latched;
    std::atomic<std::uint64_t> printed;
    std::atomic<char> paper[paper_kept];
};

// Ready, busy while it takes a byte, then one status read with nAck low
// before it is ready again. A read made as a transfer ends the
// acknowledgement; a peek only looks.
std::uint8_t status(const ParallelPort &port, PortLines /*now*/, bool peek)
{
    constexpr std::uint8_t on_line = status_select | status_not_error;
    auto &printer = port.peripheral<Printer>();
    switch (printer.phase.load()) {
    case busy:
        return on_line | status_not_ack;
    case acknowledging: {
        if (!peek) {
            std::uint8_t acknowledging_now = acknowledging;
            printer.phase.compare_exchange_strong(acknowledging_now, ready);
        }
        return on_line;
    }
    default:
        return on_line | status_not_ack | status_not_busy;
    }
}

// The byte on the data lines is taken when nStrobe goes low (control bit 0
// set) while the printer is ready, and printed when it goes high again. A
// strobe while busy is lost, as on a real printer; nInit low resets it.
void lines_changed(const ParallelPort &port, PortLines before, PortLines now)
{
    auto &printer = port.peripheral<Printer>();
    if ((now.control & control_not_init) == 0) {
        printer.phase.store(ready);
        return;
    }
    const bool strobe_was = (before.control & control_strobe) != 0;
    const bool strobe_is = (now.control & control_strobe) != 0;
    if (!strobe_was && strobe_is) {
        std::uint8_t ready_now = ready;
        if (printer.phase.compare_exchange_strong(ready_now, busy))
            printer.latched.store(now.data);
    } else if (strobe_was && !strobe_is) {
        std::uint8_t busy_now = busy;
        if (printer.phase.compare_exchange_strong(busy_now, acknowledging)) {
            const char byte = static_cast<char>(printer.latched.load());
            const std::uint64_t place = printer.printed.fetch_add(1);
            printer.paper[place % paper_kept].store(byte, relaxed);
            port.paper().write(std::string_view(&byte, 1));
        }
    }
}

void reset(const ParallelPort &port)
{
    auto &printer = port.peripheral<Printer>();
    printer.phase.store(ready);
    printer.latched.store(0);
    printer.printed.store(0);
}

void describe(const ParallelPort &port, Properties &properties)
{
    auto &printer = port.peripheral<Printer>();
    const std::uint64_t printed = printer.printed.load();
    properties.add("printed-bytes", decimal_text(printed));
    std::string paper;
    for (std::uint64_t place = printed - std::min<std::uint64_t>(printed, paper_kept);
         place < printed; ++place)
        paper += printer.paper[place % paper_kept].load(relaxed);
    properties.add("paper", paper);
}

} // namespace

extern const PeripheralType printer_peripheral{
    .device = QPORT_SIM_DEVICE_PRINTER,
    .name = "printer",
    .summary = "a printer on line with paper",
    .state = state_layout<Printer>(1),
    .lines_changed = lines_changed,
    .status = status,
    .reset = reset,
    .describe = describe,
};

// How many bytes the printer on the port has printed since its reset.
std::uint64_t printed_bytes(const ParallelPort &port)
{
    return port.state.peripheral.load(relaxed) == QPORT_SIM_DEVICE_PRINTER
               ? port.peripheral<Printer>().printed.load()
               : 0;
}

} // namespace qport::sim
