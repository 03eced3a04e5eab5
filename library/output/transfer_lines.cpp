// SPDX-License-Identifier: LGPL-2.1-or-later
// The transfer line format, the recording file, and reading a recording
// back: see transfer_lines.h.
#include "transfer_lines.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qport {

constinit sim::Output recording_file("the recording", sim::Links::refused_in_shared_directories,
                                     sim::Readers::owner_only);

sim::Line &transfer_text(sim::Line &line, char direction, unsigned width_bits, std::uint16_t port,
                         std::uint32_t value)
{
    return line.text(direction == 'i' ? "in " : "out ")
        .decimal(width_bits)
        .text(" 0x")
        .hex(port, 4)
        .text(" 0x")
        .hex(value, width_bits / 4);
}

sim::Line transfer_line(std::uint64_t time_ns, char direction, unsigned width_bits,
                        std::uint16_t port, std::uint32_t value, bool no_device)
{
    sim::Line line;
    line.decimal(time_ns / 1000000000U).text(".").decimal(time_ns % 1000000000U, 9).text(" ");
    transfer_text(line, direction, width_bits, port, value);
    // A comment, which every reader of the format skips.
    if (no_device)
        line.text(" # no device");
    line.text("\n");
    return line;
}

std::uint64_t monotonic_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000U +
           static_cast<std::uint64_t>(now.tv_nsec);
}

void record_transfer(std::uint64_t time_ns, char direction, unsigned width_bits, std::uint16_t port,
                     std::uint32_t value, bool no_device)
{
    if (recording_file.is_open()) {
        // One write a line: lines of several threads never mix, and a line
        // written is in the file even if the program crashes right after.
        recording_file.write(
            transfer_line(time_ns, direction, width_bits, port, value, no_device).view());
    }
}

bool open_recording_from_environment()
{
    // Not for a set-id or file-capability program (the loader's secure
    // mode): the user who starts it must not choose where it writes.
    const char *destination = sim::qport_variable("QPORT_RECORD");
    if (destination == nullptr)
        return false;
    if (recording_file.open(destination) == 0)
        return true;
    const int error = errno;
    sim::Line line;
    line.text("cannot record to ").text(destination).text(": ");
    if (error == ELOOP)
        line.text("a symbolic link in a directory shared with other users, which is not followed");
    else if (error == ENXIO)
        line.text("a FIFO with no reader");
    else if (error == EPERM)
        line.text("another user's file, FIFO, socket or device");
    else
        line.text(strerrordesc_np(error));
    sim::tell(line.text("; the program runs without recording"));
    return false;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The next word of text, which loses it and the blanks before it.
std::string_view next_word(std::string_view &text)
{
    std::size_t start = 0;
    while (start < text.size() && is_blank(text[start]))
        ++start;
    std::size_t end = start;
    while (end < text.size() && !is_blank(text[end]))
        ++end;
    const std::string_view word = text.substr(start, end - start);
    text.remove_prefix(end);
    return word;
}

// A number in decimal or 0x hex, as the whole word, up to max.
bool parse_unsigned(std::string_view word, std::uint64_t max, std::uint64_t &value)
{
    unsigned base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty())
        return false;
    value = 0;
    for (const char c : word) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (value > (max - digit) / base)
            return false;
        value = value * base + digit;
    }
    return true;
}

// Decimal digits only, as many as the word has; up to max_digits of them.
bool parse_digits(std::string_view word, std::size_t max_digits, std::uint64_t &value)
{
    if (word.empty() || word.size() > max_digits)
        return false;
    value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// SECONDS[.FRACTION], up to nine digits of fraction.
bool parse_time(std::string_view word, std::uint64_t &time_ns)
{
    const std::size_t dot = word.find('.');
    std::uint64_t seconds = 0;
    // Ten digits of seconds (three centuries) keep the nanoseconds in 64 bits.
    if (!parse_digits(word.substr(0, dot), 10, seconds))
        return false;
    std::uint64_t fraction = 0;
    if (dot != std::string_view::npos) {
        const std::string_view digits = word.substr(dot + 1);
        if (!parse_digits(digits, 9, fraction))
            return false;
        for (std::size_t i = digits.size(); i < 9; ++i)
            fraction *= 10;
    }
    time_ns = seconds * 1000000000U + fraction;
    return true;
}

std::string text_of(const sim::Line &line) { return std::string(line.view()); }

// One line's transfer, or why it is none (empty: a blank or comment line,
// set in is_transfer).
std::string parse_line(std::string_view text, RecordedTransfer &transfer, bool &is_transfer)
{
    is_transfer = false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F)
            return "not text (a control character or a NUL byte)";
    }
    if (const std::size_t comment = text.find('#'); comment != std::string_view::npos)
        text = text.substr(0, comment);
    std::string_view rest = text;
    const std::string_view time = next_word(rest);
    if (time.empty())
        return "";
    const std::string_view direction = next_word(rest);
    const std::string_view width = next_word(rest);
    const std::string_view port = next_word(rest);
    const std::string_view value = next_word(rest);
    const std::string_view surplus = next_word(rest);
    constexpr const char *shape = "not a transfer (SECONDS in|out 8|16|32 PORT VALUE)";
    if (value.empty() || !surplus.empty())
        return shape;
    if (!parse_time(time, transfer.time_ns))
        return "the time is not SECONDS.NANOSECONDS";
    if (direction == "in")
        transfer.direction = 'i';
    else if (direction == "out")
        transfer.direction = 'o';
    else
        return "the direction is neither in nor out";
    std::uint64_t number = 0;
    if (width == "8")
        transfer.width_bits = 8;
    else if (width == "16")
        transfer.width_bits = 16;
    else if (width == "32")
        transfer.width_bits = 32;
    else
        return "the width is not 8, 16 or 32";
    if (!parse_unsigned(port, 0xFFFF, number))
        return "the port is not a number from 0 to 0xffff";
    transfer.port = static_cast<std::uint16_t>(number);
    if (number + transfer.width_bits / 8 > 0x10000)
        return "the transfer reaches past port 0xffff";
    const std::uint64_t max_value = (std::uint64_t{1} << transfer.width_bits) - 1;
    if (!parse_unsigned(value, max_value, number)) {
        sim::Line why;
        return text_of(why.text("the value is not a number that fits ")
                           .decimal(transfer.width_bits)
                           .text(" bits"));
    }
    transfer.value = static_cast<std::uint32_t>(number);
    is_transfer = true;
    return "";
}

} // namespace

Recording parse_recording(std::string_view text)
{
    Recording recording;
    std::uint64_t last_time = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        ++recording.lines;
        if (end == std::string_view::npos) {
            recording.error_line = recording.lines;
            recording.error = "the file ends inside this line (cut short?)";
            return recording;
        }
        RecordedTransfer transfer;
        bool is_transfer = false;
        std::string error = parse_line(text.substr(0, end), transfer, is_transfer);
        text.remove_prefix(end + 1);
        if (is_transfer && transfer.time_ns < last_time) {
            sim::Line why;
            why.text("time goes backwards (")
                .decimal(transfer.time_ns / 1000000000U)
                .text(".")
                .decimal(transfer.time_ns % 1000000000U, 9)
                .text(" after ")
                .decimal(last_time / 1000000000U)
                .text(".")
                .decimal(last_time % 1000000000U, 9)
                .text(")");
            error = text_of(why);
        }
        if (!error.empty()) {
            recording.error_line = recording.lines;
            recording.error = error;
            return recording;
        }
        if (is_transfer) {
            last_time = transfer.time_ns;
            transfer.line = recording.lines;
            recording.transfers.push_back(transfer);
        }
    }
    return recording;
}

Recording read_recording(const char *path)
{
    Recording recording;
    const int fd = sim::open_output_file(path, O_RDONLY | O_CLOEXEC | O_NOCTTY,
                                         sim::Links::refused_in_shared_directories);
    if (fd < 0) {
        recording.error = errno == ELOOP   ? "a symbolic link in a directory shared with other "
                                             "users, which is not followed"
                          : errno == EPERM ? "another user's FIFO, socket or device"
                                           : strerrordesc_np(errno);
        return recording;
    }
    struct stat about {};
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
        recording.error = "not a regular file (a recording is read from a file, not from a FIFO "
                          "or a device)";
        ::close(fd);
        return recording;
    }
    const std::string too_large = "larger than " + std::to_string(largest_recording_bytes >> 20) +
                                  " MiB, the most a recording may hold";
    if (static_cast<std::uint64_t>(about.st_size) > largest_recording_bytes) {
        recording.error = too_large;
        ::close(fd);
        return recording;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t length = ::read(fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0) {
            recording.error = strerrordesc_np(errno);
            ::close(fd);
            return recording;
        }
        if (length == 0)
            break;
        // A file growing while it is read, or one whose size says nothing
        // (/proc's), stops at the same bound.
        if (text.size() + static_cast<std::size_t>(length) > largest_recording_bytes) {
            recording.error = too_large;
            ::close(fd);
            return recording;
        }
        text.append(buffer, static_cast<std::size_t>(length));
    }
    ::close(fd);
    return parse_recording(text);
}

std::optional<std::vector<PortRange>> parse_port_list(std::string_view text)
{
    std::vector<PortRange> ranges;
    do {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const std::size_t dash = item.find('-');
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        if (!parse_unsigned(item.substr(0, dash), 0xFFFF, first))
            return std::nullopt;
        last = first;
        if (dash != std::string_view::npos && !parse_unsigned(item.substr(dash + 1), 0xFFFF, last))
            return std::nullopt;
        if (first > last)
            return std::nullopt;
        ranges.push_back({static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)});
    } while (!text.empty());
    return ranges;
}

} // namespace qport
