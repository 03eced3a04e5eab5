// SPDX-License-Identifier: LGPL-2.1-or-later
// The one line format of a port transfer, written by the trace and by a
// recording and read back by a replay and by qportio:
//
//   SECONDS.NANOSECONDS in|out WIDTH 0xPORT 0xVALUE [# no device]
//
// monotonic seconds, the direction, 8, 16 or 32, the port in four hex
// digits and the value in as many hex digits as its width has nibbles; the
// simulated build marks a transfer that no device decoded (a read of the
// bus's all ones, a write that went nowhere), most often a mistyped port.
// Reading also takes blank lines and '#' comments (alone or after a
// transfer), so that a recording may be edited by hand.
#ifndef QPORT_TRANSFER_LINES_H
#define QPORT_TRANSFER_LINES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "outputs.h"

namespace qport {

struct RecordedTransfer {
    std::uint64_t time_ns = 0;
    char direction = 'i'; // 'i' or 'o'
    std::uint8_t width_bits = 8;
    std::uint16_t port = 0;
    std::uint32_t value = 0;
    std::size_t line = 0; // in its file, from 1
};

// "out 8 0x0378 0x55": the line without its time, for messages.
sim::Line &transfer_text(sim::Line &line, char direction, unsigned width_bits, std::uint16_t port,
                         std::uint32_t value);
// The whole line, newline included, marked when no device decoded the
// transfer. Async-signal-safe.
sim::Line transfer_line(std::uint64_t time_ns, char direction, unsigned width_bits,
                        std::uint16_t port, std::uint32_t value, bool no_device = false);

// CLOCK_MONOTONIC in nanoseconds: a transfer's time. Async-signal-safe.
std::uint64_t monotonic_ns();

// A recording read whole, or why it cannot be: the first bad line.
struct Recording {
    std::vector<RecordedTransfer> transfers;
    std::size_t lines = 0;
    std::size_t error_line = 0; // 0: read whole
    std::string error;          // "time goes backwards (...)"
};
Recording parse_recording(std::string_view text);
// The largest recording read: about ten million transfers. A recording is
// read whole before it is played, so a larger file (or one that never
// ends) would only exhaust the process's memory.
constexpr std::size_t largest_recording_bytes = std::size_t{256} << 20;
// Reads path (a symbolic link is not followed in a directory shared with
// other users) and parses it; an unreadable file is an error at line 0
// with error set. Only a regular file of at most largest_recording_bytes
// is read: opening never waits (a FIFO), and a device is refused before
// anything is read from it.
Recording read_recording(const char *path);

// "0x378,0x37a-0x37b" (QPORT_SIM_REPLAY_IGNORE_WRITES, qport-run's
// --replay-ignore-writes): its ranges of ports, first to last, or nothing
// for text that is no such list.
struct PortRange {
    std::uint16_t first = 0;
    std::uint16_t last = 0;
};
std::optional<std::vector<PortRange>> parse_port_list(std::string_view text);

// QPORT_RECORD's file, in both builds: every transfer, one write a line.
extern sim::Output recording_file;
// Opens QPORT_RECORD if it is set, telling on standard error why not if it
// cannot. Whether it is open.
bool open_recording_from_environment();
// Writes one transfer to the recording, if it is open.
void record_transfer(std::uint64_t time_ns, char direction, unsigned width_bits, std::uint16_t port,
                     std::uint32_t value, bool no_device = false);

} // namespace qport

#endif
