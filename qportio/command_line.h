// SPDX-License-Identifier: LGPL-2.1-or-later
// The command line of qportio: what to do, taken apart and checked before
// any port is touched.
#ifndef QPORTIO_COMMAND_LINE_H
#define QPORTIO_COMMAND_LINE_H

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace qportio {

enum class Direction { read, write };

struct Transfer {
    Direction direction = Direction::read;
    unsigned width_bits = 8;
    // A write has one port; a read reads each in turn.
    std::vector<std::uint16_t> ports;
    // The bits to write, zero-extended from the transfer's width.
    std::uint32_t value = 0;
    bool print_hex = false;
};

// Lists the machine's parallel ports.
struct ListPorts {};
struct ShowHelp {};
struct ShowVersion {};

// What is wrong with the command line, in words for the user.
struct UsageError {
    std::string text;
};

using Command = std::variant<Transfer, ListPorts, ShowHelp, ShowVersion, UsageError>;

// arguments excludes the program name.
Command parse_command_line(std::span<const char *const> arguments);

} // namespace qportio

#endif
