// SPDX-License-Identifier: LGPL-2.1-or-later
// The PC's real-time clock and CMOS memory (the Motorola MC146818A, which
// every PC chipset still carries): its registers as a chip that is handed
// the time, so that tests can drive it from any instant while the device
// (rtc.cpp) hands it the host's clock.
//
// The chip counts ticks of its 32.768 kHz crystal. Its clock is the host's
// (CLOCK_REALTIME, UTC) plus an offset in ticks kept in the machine: the
// registers are worked out from it when read, so the clock runs with no
// thread and no timer, and every process on a shared machine reads the
// same time. While SET or the divider stops the clock, the time registers
// are eight bytes held in the machine instead.
#ifndef QPORT_SIM_RTC_H
#define QPORT_SIM_RTC_H

#include <atomic>
#include <cstdint>
#include <ctime>

namespace qport::sim::rtc {

// Time in ticks of the crystal, 1/32768 s, since 1970-01-01 00:00 UTC.
using Ticks = std::int64_t;
constexpr Ticks ticks_per_second = 32768;

// Where the chip gets the host's time: CLOCK_REALTIME for the device, a
// stand-in for tests. Asked only for the registers that depend on it.
using Clock = Ticks (*)();

inline Ticks ticks_of(const timespec &time)
{
    return time.tv_sec * ticks_per_second + time.tv_nsec * ticks_per_second / 1000000000;
}

// The ports from the base: the index and data of the clock's bank (0x70,
// 0x71), and of the upper 128 bytes of memory (0x72, 0x73).
constexpr std::uint16_t index_port = 0;
constexpr std::uint16_t data_port = 1;
constexpr std::uint16_t upper_index_port = 2;
constexpr std::uint16_t upper_data_port = 3;
constexpr std::uint16_t port_count = 4;

// Register addresses: 0..127 in the clock's bank; 128..255 stand for the
// upper bank's bytes.
enum Address : unsigned {
    seconds_register = 0x00,
    seconds_alarm = 0x01,
    minutes_register = 0x02,
    minutes_alarm = 0x03,
    hours_register = 0x04,
    hours_alarm = 0x05,
    weekday_register = 0x06,
    day_register = 0x07,
    month_register = 0x08,
    year_register = 0x09,
    register_a = 0x0A,
    register_b = 0x0B,
    register_c = 0x0C,
    register_d = 0x0D,
    century_register = 0x32, // kept by PC firmware; here counted with the year
    upper_bank = 0x80,
};

// The chip's state in its slot: all zeros is a chip whose battery was
// never in (its divider stopped, its registers zero) until its first reset.
struct State {
    std::atomic<std::uint8_t> powered;     // 1 once reset has set it up
    std::atomic<std::uint8_t> index;       // written to 0x70, bit 7 (NMI) dropped
    std::atomic<std::uint8_t> upper_index; // written to 0x72, likewise
    std::atomic<std::int8_t> weekday_lead; // the weekday register's days ahead of the date's
    std::atomic<std::uint16_t> control;    // register A | register B << 8
    std::atomic<Ticks> offset;             // the clock's ticks ahead of the host's
    // The time registers while the clock is stopped, one byte each in the
    // order seconds, minutes, hours, weekday, day, month, year, century.
    std::atomic<std::uint64_t> held_time;
    // Register C's flags are worked out from the host's time when read:
    // those of the time since flags_from, plus flags_held, kept from before
    // the clock was last changed.
    std::atomic<Ticks> flags_from;
    std::atomic<std::uint8_t> flags_held;
    std::atomic<std::uint8_t> alarm[3]; // seconds, minutes, hours
    // Battery-backed memory by address; the clock's registers' places are
    // unused, leaving 113 bytes in the clock's bank and 128 above it.
    std::atomic<std::uint8_t> memory[256];
};

// Register bits that the device's properties name.
constexpr std::uint8_t b_set = 0x80;
constexpr std::uint8_t b_binary = 0x04;
constexpr std::uint8_t b_24_hour = 0x02;

// At power-on (the battery first put in) the clock counts the host's
// time, BCD, 24-hour. Every later reset keeps the time, the memory and
// registers A and B but for B's interrupt enables, and clears C's flags.
void reset(State &state, Clock now);

std::uint8_t read_port(State &state, std::uint16_t port, Clock now, bool peek);
void write_port(State &state, std::uint16_t port, std::uint8_t value, Clock now);

// A register or memory byte by address, as the data port reads it; a peek
// leaves register C's flags in place.
std::uint8_t read_register(State &state, unsigned address, Clock now, bool peek);
void write_register(State &state, unsigned address, std::uint8_t value, Clock now);

// A date and time of the proleptic Gregorian calendar, UTC.
struct DateTime {
    std::int64_t year;
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
    int weekday; // 0 for Sunday .. 6
};
DateTime date_time_of(std::int64_t seconds);
// Seconds since 1970 of t, its fields out of range carried over (a 13th
// month is January of the next year), its weekday ignored.
std::int64_t seconds_of(const DateTime &t);

enum class Running { counting, held_by_set, divider_stopped };

// What the clock shows: its time in seconds since 1970 (the held registers
// read as a date while it is stopped), how far ahead of the host's time
// that is, and whether it counts.
struct Reading {
    std::int64_t seconds;
    Ticks ahead;
    Running running;
};
Reading reading(State &state, Clock now);

// Puts the clock ahead of the host's by offset ticks (the held registers
// too, while it is stopped), its weekday register back in step with the date.
void set_offset(State &state, Ticks offset, Clock now);

} // namespace qport::sim::rtc

#endif
