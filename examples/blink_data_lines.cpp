// SPDX-License-Identifier: LGPL-2.1-or-later
// Blinks the eight data lines of the parallel port: all high, then all low,
// again and again (LEDs on pins 2 to 9 show it).
//   blink_data_lines [--count N] [--interval MS]
// N blinks (10 by default; 0 blinks until interrupted), MS milliseconds
// between changes (500 by default). Leaves the lines low.
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <span>
#include <string_view>
#include <thread>

#include <qport.h>
#include <qport_ext.h>

namespace {

constexpr short data_register = 0x378;

volatile std::sig_atomic_t interrupted = 0;

void stop_blinking(int /*signal*/) { interrupted = 1; }

// A whole number of the argument, or false.
bool parse_count(std::string_view text, unsigned long &number)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size();
}

constexpr const char *usage = "usage: blink_data_lines [--count N] [--interval MS]\n";
constexpr const char *help =
    "Blinks the parallel port's eight data lines (pins 2 to 9): all high, then all low.\n"
    "  --count N      N blinks (10 by default; 0 blinks until Ctrl-C)\n"
    "  --interval MS  MS milliseconds between changes (500 by default)\n"
    "Leaves the lines low. Exit status: 0 done, 1 port access refused, 2 bad arguments.\n";

} // namespace

int main(int argc, char **argv)
{
    unsigned long count = 10;
    unsigned long interval_ms = 500;
    const std::span<char *> arguments(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
    if (arguments.size() == 1 &&
        (std::string_view(arguments[0]) == "--help" || std::string_view(arguments[0]) == "-h")) {
        std::printf("%s%s", usage, help);
        return 0;
    }
    // Options come in pairs: the name and its number.
    bool usable = arguments.size() % 2 == 0;
    for (std::size_t i = 0; usable && i < arguments.size(); i += 2) {
        const std::string_view option = arguments[i];
        unsigned long *const setting = option == "--count"      ? &count
                                       : option == "--interval" ? &interval_ms
                                                                : nullptr;
        usable = setting != nullptr && parse_count(arguments[i + 1], *setting);
    }
    if (!usable) {
        std::fprintf(stderr, "%sTry 'blink_data_lines --help' for more information.\n", usage);
        return 2;
    }

    if (qport_access_status() != QPORT_ACCESS_GRANTED) {
        std::fprintf(stderr, "%s\n", qport_access_message());
        return 1;
    }
    std::signal(SIGINT, stop_blinking);
    std::signal(SIGTERM, stop_blinking);
    if (count == 0)
        std::printf("Blinking the data lines at 0x378 until Ctrl-C.\n");
    else
        std::printf("Blinking the data lines at 0x378 %lu times, %lu ms apart.\n", count,
                    interval_ms);
    std::fflush(stdout);
    for (unsigned long blink = 0; (count == 0 || blink < count) && interrupted == 0; ++blink) {
        outportb(data_register, static_cast<char>(0xFF));
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        outportb(data_register, 0x00);
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
    return 0;
}
