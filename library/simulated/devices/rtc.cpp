// SPDX-License-Identifier: LGPL-2.1-or-later
// The real-time clock and CMOS memory at 0x70..0x73: the chip of
// rtc_chip.cpp on the host's clock, and its properties. See
// qport_sim.h for the registers.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "device.h"
#include "rtc_chip.h"

namespace qport::sim {
namespace {

using rtc::Ticks;
using rtc::ticks_per_second;

// CLOCK_REALTIME is UTC and cannot fail with a valid clock and pointer.
Ticks host_time()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return rtc::ticks_of(now);
}

rtc::State &chip_of(DeviceSlot &slot) { return state_of<rtc::State>(slot); }

std::uint8_t read(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access)
{
    return rtc::read_port(chip_of(slot), access.offset, host_time, access.peek);
}

void write(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    rtc::write_port(chip_of(slot), access.offset, value, host_time);
}

void reset(Machine & /*machine*/, DeviceSlot &slot) { rtc::reset(chip_of(slot), host_time); }

std::string two_digits(int value)
{
    return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// "2026-12-09T13:34:36"
std::string iso_text(std::int64_t seconds)
{
    const rtc::DateTime t = rtc::date_time_of(seconds);
    std::string year = decimal_text(static_cast<std::uint64_t>(t.year < 0 ? -t.year : t.year));
    year.insert(0, year.size() < 4 ? 4 - year.size() : 0, '0');
    std::string text(t.year < 0 ? "-" : "");
    text += year + "-" + two_digits(t.month) + "-" + two_digits(t.day) + "T" + two_digits(t.hour) +
            ":" + two_digits(t.minute) + ":" + two_digits(t.second);
    return text;
}

// Seconds to the nearest millisecond, trailing zeros dropped: "-3600", "0.5".
std::string seconds_text(Ticks ticks)
{
    const bool negative = ticks < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(ticks) : static_cast<std::uint64_t>(ticks);
    const std::uint64_t rounded = magnitude + ticks_per_second / 2000; // to the nearest ms
    const std::uint64_t milliseconds = rounded % ticks_per_second * 1000 / ticks_per_second;
    const std::uint64_t seconds = rounded / ticks_per_second;
    std::string text(negative && (seconds | milliseconds) != 0 ? "-" : "");
    text += decimal_text(seconds);
    std::string fraction = decimal_text(milliseconds + 1000).substr(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    if (!fraction.empty())
        text += "." + fraction;
    return text;
}

// Digits to a number, false for anything else or past limit.
bool parse_digits(std::string_view text, std::uint64_t limit, std::uint64_t &value)
{
    value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(digit - '0');
        if (value > limit)
            return false;
    }
    return !text.empty();
}

// Takes "[-]SECONDS[.FRACTION]" to ticks, rounded down to a tick; at most
// a million years either way.
bool parse_seconds(std::string_view text, Ticks &ticks)
{
    constexpr std::uint64_t most_seconds = 31557600000000; // a million years
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+'))
        text.remove_prefix(1);
    const std::size_t point = text.find('.');
    std::uint64_t seconds = 0;
    if (!parse_digits(text.substr(0, point), most_seconds, seconds))
        return false;
    std::uint64_t fraction_ticks = 0;
    if (point != std::string_view::npos) {
        // Past a nanosecond, digits change no tick.
        const std::string_view fraction = text.substr(point + 1);
        const std::string_view kept = fraction.substr(0, 9);
        std::uint64_t numerator = 0;
        if (!parse_digits(kept, UINT64_MAX, numerator) ||
            !std::all_of(fraction.begin(), fraction.end(),
                         [](char digit) { return digit >= '0' && digit <= '9'; }))
            return false;
        std::uint64_t denominator = 1;
        for (std::size_t i = 0; i < kept.size(); ++i)
            denominator *= 10;
        fraction_ticks = numerator * ticks_per_second / denominator;
    }
    const auto magnitude = static_cast<Ticks>(seconds * ticks_per_second + fraction_ticks);
    ticks = negative ? -magnitude : magnitude;
    return true;
}

// Takes "YYYY-MM-DDTHH:MM:SS" (a space for the T too) to seconds since 1970.
bool parse_time(std::string_view text, std::int64_t &seconds)
{
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() != shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[i];
        const bool fits = shape[i] == 'd'   ? c >= '0' && c <= '9'
                          : shape[i] == 'T' ? c == 'T' || c == ' '
                                            : c == shape[i];
        if (!fits)
            return false;
    }
    const auto number = [text](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    const rtc::DateTime t{
        number(0, 4), number(5, 2), number(8, 2), number(11, 2), number(14, 2), number(17, 2), 0};
    seconds = rtc::seconds_of(t);
    // Fields out of range would be carried over: refuse them instead.
    const rtc::DateTime back = rtc::date_time_of(seconds);
    return back.year == t.year && back.month == t.month && back.day == t.day &&
           back.hour == t.hour && back.minute == t.minute && back.second == t.second;
}

void describe(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    rtc::State &chip = chip_of(slot);
    const rtc::Reading reading = rtc::reading(chip, host_time);
    properties.add("time", iso_text(reading.seconds));
    properties.add("offset", seconds_text(reading.ahead));
    properties.add("clock", reading.running == rtc::Running::counting      ? "running"
                            : reading.running == rtc::Running::held_by_set ? "held by SET"
                                                                           : "divider stopped");
    const std::uint8_t b = rtc::read_register(chip, rtc::register_b, host_time, true);
    properties.add("mode", std::string((b & rtc::b_binary) != 0 ? "binary" : "bcd") +
                               ((b & rtc::b_24_hour) != 0 ? " 24h" : " 12h"));
    properties.add("index", hex_text(chip.index.load(std::memory_order_relaxed), 2));
    properties.add("upper-index", hex_text(chip.upper_index.load(std::memory_order_relaxed), 2));
    constexpr struct {
        const char *key;
        rtc::Address address;
    } registers[] = {{"a", rtc::register_a},
                     {"b", rtc::register_b},
                     {"c", rtc::register_c},
                     {"d", rtc::register_d}};
    for (const auto &shown : registers)
        properties.add(shown.key,
                       hex_text(rtc::read_register(chip, shown.address, host_time, true), 2));
}

int set(Machine & /*machine*/, DeviceSlot &slot, std::string_view key, std::string_view value)
{
    Ticks offset = 0;
    if (key == "offset") {
        if (!parse_seconds(value, offset))
            return EINVAL;
    } else if (key == "time") {
        std::int64_t seconds = 0;
        if (!parse_time(value, seconds))
            return EINVAL;
        offset = seconds * ticks_per_second - host_time();
    } else {
        return ENOENT;
    }
    rtc::set_offset(chip_of(slot), offset, host_time);
    return 0;
}

} // namespace

extern const DeviceType rtc_device{
    .name = "mc146818-rtc",
    .summary =
        "the real-time clock and CMOS memory: the host's UTC time, 241 bytes kept across resets",
    .port_count = rtc::port_count,
    .state = state_layout<rtc::State>(1),
    .read = read,
    .write = write,
    .reset = reset,
    .describe = describe,
    .set = set,
};

} // namespace qport::sim
