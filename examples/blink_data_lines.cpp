// SPDX-License-Identifier: LGPL-2.1-or-later
// Blinks the eight data lines of the parallel port: all high, then all low,
// again and again (LEDs on pins 2 to 9 show it).
//   blink_data_lines [--count N] [--interval MS]
// N blinks (0, the default, blinks until interrupted), MS milliseconds
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

} // namespace

int main(int argc, char **argv)
{
    unsigned long count = 0;
    unsigned long interval_ms = 500;
    const std::span<char *> arguments(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
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
        std::fprintf(stderr, "usage: blink_data_lines [--count N] [--interval MS]\n");
        return 2;
    }

    if (qport_access_status() != QPORT_ACCESS_GRANTED) {
        std::fprintf(stderr, "%s\n", qport_access_message());
        return 1;
    }
    std::signal(SIGINT, stop_blinking);
    std::signal(SIGTERM, stop_blinking);
    for (unsigned long blink = 0; (count == 0 || blink < count) && interrupted == 0; ++blink) {
        outportb(data_register, static_cast<char>(0xFF));
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        outportb(data_register, 0x00);
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
    return 0;
}
