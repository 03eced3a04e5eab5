// SPDX-License-Identifier: LGPL-2.1-or-later
#include "command_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace qportio {
namespace {

struct Number {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

enum class NumberError { not_a_number, too_large, leading_zero };

// Decimal ("888") or hex with 0x ("0x378"), with an optional leading minus.
// A decimal number may not start with 0: some tools read "0378" as octal,
// others as decimal, and a person typing an address means neither, so it is
// refused rather than guessed at.
std::variant<Number, NumberError> parse_number(std::string_view text)
{
    Number number;
    if (text.starts_with('-')) {
        number.negative = true;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    // from_chars would take a second sign; only digits may follow.
    if (text.empty() || text.front() == '-' || text.front() == '+')
        return NumberError::not_a_number;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), number.magnitude, base);
    if (end != text.data() + text.size())
        return NumberError::not_a_number;
    if (base == 10 && text.size() > 1 && text.front() == '0')
        return NumberError::leading_zero;
    if (error == std::errc::result_out_of_range)
        return NumberError::too_large;
    if (error != std::errc())
        return NumberError::not_a_number;
    return number;
}

// The words for a number that could not be read, or nothing for one that is
// only out of range.
std::optional<std::string> unreadable_number(std::string_view what, std::string_view text,
                                             NumberError error)
{
    const std::string quoted = std::string(what) + " '" + std::string(text) + "'";
    if (error == NumberError::not_a_number)
        return quoted + " is not a number: write it in decimal (888) or hex (0x378)";
    if (error == NumberError::leading_zero) {
        const std::string_view sign = text.starts_with('-') ? "-" : "";
        std::string_view digits = text.substr(sign.size());
        digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
        return quoted + " has a leading zero, so it could be octal or decimal: write " +
               std::string(sign) + std::string(digits) + " for decimal or " + std::string(sign) +
               "0x" + std::string(digits) + " for hex";
    }
    return std::nullopt;
}

std::variant<std::uint16_t, UsageError> parse_port(std::string_view text)
{
    const auto parsed = parse_number(text);
    if (const auto *error = std::get_if<NumberError>(&parsed))
        if (auto words = unreadable_number("port", text, *error))
            return UsageError{std::move(*words)};
    if (const auto *number = std::get_if<Number>(&parsed);
        number && !number->negative && number->magnitude <= 0xFFFF)
        return static_cast<std::uint16_t>(number->magnitude);
    return UsageError{"port '" + std::string(text) + "' is outside 0..65535 (0x0..0xFFFF)"};
}

std::variant<std::uint32_t, UsageError> parse_value(std::string_view text, unsigned width_bits)
{
    const auto parsed = parse_number(text);
    if (const auto *error = std::get_if<NumberError>(&parsed))
        if (auto words = unreadable_number("value", text, *error))
            return UsageError{std::move(*words)};

    const std::uint64_t unsigned_max = (std::uint64_t{1} << width_bits) - 1;
    const std::uint64_t negative_limit = std::uint64_t{1} << (width_bits - 1);
    if (const auto *number = std::get_if<Number>(&parsed)) {
        if (!number->negative && number->magnitude <= unsigned_max)
            return static_cast<std::uint32_t>(number->magnitude);
        if (number->negative && number->magnitude <= negative_limit)
            // Two's complement of the magnitude, cut to the width.
            return static_cast<std::uint32_t>((0 - number->magnitude) & unsigned_max);
    }
    return UsageError{"value '" + std::string(text) + "' does not fit in " +
                      std::to_string(width_bits) + " bits: it must lie in -" +
                      std::to_string(negative_limit) + ".." + std::to_string(unsigned_max)};
}

std::optional<unsigned> parse_width(std::string_view text)
{
    if (text == "8")
        return 8;
    if (text == "16")
        return 16;
    if (text == "32")
        return 32;
    return std::nullopt;
}

// "-1" and "-0x80" are negative values, not options.
bool is_option(std::string_view argument)
{
    return argument.size() > 1 && argument.front() == '-' &&
           !(argument[1] >= '0' && argument[1] <= '9');
}

std::string hex_port(std::uint16_t port)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        text += digits[(port >> shift) & 0xF];
    return text;
}

// Every command, the machine's too: an unknown one is told them all.
constexpr std::array<std::string_view, 9> commands = {
    "read", "write", "ports", "reset", "show", "set", "memory", "machine", "recording"};
constexpr const char *command_list =
    "read, write, ports, reset, show, set, memory, machine or recording";

// Edits from one word to the other: a letter added, dropped, changed, or two
// neighbours swapped ("raed" is one edit from "read").
std::size_t edit_distance(std::string_view from, std::string_view to)
{
    std::vector<std::vector<std::size_t>> edits(from.size() + 1,
                                                std::vector<std::size_t>(to.size() + 1));
    for (std::size_t i = 0; i <= from.size(); ++i)
        edits[i][0] = i;
    for (std::size_t j = 0; j <= to.size(); ++j)
        edits[0][j] = j;
    for (std::size_t i = 1; i <= from.size(); ++i) {
        for (std::size_t j = 1; j <= to.size(); ++j) {
            const std::size_t changed = from[i - 1] == to[j - 1] ? 0 : 1;
            edits[i][j] =
                std::min({edits[i - 1][j] + 1, edits[i][j - 1] + 1, edits[i - 1][j - 1] + changed});
            if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1])
                edits[i][j] = std::min(edits[i][j], edits[i - 2][j - 2] + 1);
        }
    }
    return edits[from.size()][to.size()];
}

// What an unknown command was meant to be: the nearest command, when it is
// at most two edits away and nearer than to any other; otherwise the list.
std::string unknown_command(std::string_view typed)
{
    std::string_view nearest;
    std::size_t nearest_edits = 3;
    bool tied = false;
    for (const std::string_view command : commands) {
        const std::size_t edits = edit_distance(typed, command);
        if (edits < nearest_edits) {
            nearest = command;
            nearest_edits = edits;
            tied = false;
        } else if (edits == nearest_edits) {
            tied = true;
        }
    }
    std::string text = "unknown command '" + std::string(typed) + "'";
    if (!nearest.empty() && !tied)
        text += " (did you mean " + std::string(nearest) + "?)";
    return text + ": use " + command_list;
}

} // namespace

Command parse_command_line(std::span<const char *const> arguments)
{
    std::vector<std::string_view> operands;
    std::optional<std::string_view> width_text;
    bool print_hex = false;
    bool options_ended = false;

    // Options as getopt_long takes them: short ones may be bundled (-xw16,
    // -xw 16), long ones take their value after = or as the next argument.
    // The first --help or --version ends the scan and wins over whatever
    // follows; an unknown option before it is still a usage error.
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        const bool has_next = i + 1 < arguments.size();
        if (options_ended || !is_option(argument)) {
            operands.push_back(argument);
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument.starts_with("--")) {
            if (argument == "--help")
                return ShowHelp{};
            if (argument == "--version")
                return ShowVersion{};
            if (argument == "--hex") {
                print_hex = true;
            } else if (argument.starts_with("--width=")) {
                width_text = argument.substr(8);
            } else if (argument == "--width") {
                if (!has_next)
                    return UsageError{"option '--width' needs a width: 8, 16 or 32"};
                width_text = arguments[++i];
            } else {
                return UsageError{"unknown option '" + std::string(argument) + "'"};
            }
        } else {
            for (std::size_t at = 1; at < argument.size(); ++at) {
                const char letter = argument[at];
                if (letter == 'h')
                    return ShowHelp{};
                if (letter == 'x') {
                    print_hex = true;
                } else if (letter == 'w') {
                    // The rest of the argument is the width, or else the next one.
                    if (at + 1 < argument.size())
                        width_text = argument.substr(at + 1);
                    else if (has_next)
                        width_text = arguments[++i];
                    else
                        return UsageError{"option '-w' needs a width: 8, 16 or 32"};
                    break;
                } else {
                    return UsageError{"unknown option '-" + std::string(1, letter) + "'"};
                }
            }
        }
    }

    if (operands.empty())
        return UsageError{std::string("no command given: use ") + command_list};
    Transfer transfer;
    const std::string_view command = operands.front();
    if (command == "ports") {
        if (operands.size() > 1)
            return UsageError{"unexpected argument '" + std::string(operands[1]) + "'"};
        if (width_text || print_hex)
            return UsageError{"options -w and -x apply to read and write only"};
        return ListPorts{};
    }
    // reset and show are run before the options are taken apart, when they
    // come first.
    if (command == "reset" || command == "show" || command == "set")
        return UsageError{"options may not come before " + std::string(command) +
                          ": write qportio reset, or qportio show -n COUNT"};
    if (command == "read")
        transfer.direction = Direction::read;
    else if (command == "write")
        transfer.direction = Direction::write;
    else
        return UsageError{unknown_command(command)};

    const bool writing = transfer.direction == Direction::write;
    if (operands.size() < 2)
        return UsageError{"PORT is missing"};
    if (writing && operands.size() < 3)
        return UsageError{"VALUE is missing"};
    if (writing && operands.size() > 3)
        return UsageError{"unexpected argument '" + std::string(operands[3]) + "'"};
    if (writing && print_hex)
        return UsageError{"option -x applies to read only"};
    transfer.print_hex = print_hex;

    if (width_text) {
        const auto width = parse_width(*width_text);
        if (!width)
            return UsageError{"width '" + std::string(*width_text) + "' is not 8, 16 or 32"};
        transfer.width_bits = *width;
    }

    // A read takes every operand after the command as a port.
    const std::size_t last_port_operand = writing ? 1 : operands.size() - 1;
    for (std::size_t i = 1; i <= last_port_operand; ++i) {
        const auto parsed = parse_port(operands[i]);
        if (const auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const std::uint16_t port = std::get<std::uint16_t>(parsed);
        const unsigned last_port_reached = port + transfer.width_bits / 8 - 1;
        if (last_port_reached > 0xFFFF)
            return UsageError{
                "a " + std::to_string(transfer.width_bits) + "-bit transfer at port " +
                hex_port(port) +
                " would reach past the last port, 0xFFFF; the highest port for it is " +
                hex_port(static_cast<std::uint16_t>(0x10000 - transfer.width_bits / 8))};
        transfer.ports.push_back(port);
    }

    if (writing) {
        const auto value = parse_value(operands[2], transfer.width_bits);
        if (const auto *error = std::get_if<UsageError>(&value))
            return *error;
        transfer.value = std::get<std::uint32_t>(value);
    }
    return transfer;
}

} // namespace qportio
