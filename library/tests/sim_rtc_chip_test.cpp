// SPDX-License-Identifier: LGPL-2.1-or-later
// The real-time clock's registers on a clock the test holds: the calendar,
// the formats of register B, SET and the divider stopping and restarting
// the clock, the update-in-progress window, register C's flags, and the
// memory. Built from the chip's source: the device hands it the host's
// clock, which no test can move.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "rtc_chip.h"

namespace {

namespace rtc = qport::sim::rtc;
using rtc::Ticks;
constexpr Ticks second = rtc::ticks_per_second;
constexpr Ticks one_day = 86400 * second;

// The host's time as the chip sees it.
Ticks host_now = 0;
Ticks test_clock() { return host_now; }

constexpr std::int64_t december_9 = 1796823276; // 2026-12-09T13:34:36, a Wednesday

// A chip at power-on at 2026-12-09T13:34:36.25, the host's clock in the
// test's hand.
class Chip {
public:
    Chip()
    {
        host_now = december_9 * second + second / 4;
        rtc::reset(state, test_clock);
    }
    std::uint8_t read(unsigned address)
    {
        rtc::write_port(state, rtc::index_port, static_cast<std::uint8_t>(address), test_clock);
        return rtc::read_port(state, rtc::data_port, test_clock, false);
    }
    std::uint8_t peek(unsigned address)
    {
        return rtc::read_register(state, address, test_clock, true);
    }
    void write(unsigned address, std::uint8_t value)
    {
        rtc::write_port(state, rtc::index_port, static_cast<std::uint8_t>(address), test_clock);
        rtc::write_port(state, rtc::data_port, value, test_clock);
    }
    static void wait(Ticks ticks) { host_now += ticks; }
    // What the clock shows, in seconds since 1970.
    std::int64_t shown() { return rtc::reading(state, test_clock).seconds; }
    bool updating() { return (read(rtc::register_a) & 0x80) != 0; }

    rtc::State state{};
};

std::int64_t seconds_of(std::int64_t year, int month, int day, int hour, int minute, int secs)
{
    return rtc::seconds_of({year, month, day, hour, minute, secs, 0});
}

TEST(RtcChip, CalendarConvertsBothWays)
{
    struct Case {
        std::int64_t seconds;
        rtc::DateTime time;
    };
    const Case cases[] = {
        {0, {1970, 1, 1, 0, 0, 0, 4}},
        {-1, {1969, 12, 31, 23, 59, 59, 3}},
        {951868799, {2000, 2, 29, 23, 59, 59, 2}},
        {1709208000, {2024, 2, 29, 12, 0, 0, 4}},
        {december_9, {2026, 12, 9, 13, 34, 36, 3}},
        {4102444799, {2099, 12, 31, 23, 59, 59, 4}},
        {4107542400, {2100, 3, 1, 0, 0, 0, 1}}, // 2100 has no 29 February
        {-62135596800, {1, 1, 1, 0, 0, 0, 1}},
        {253402300799, {9999, 12, 31, 23, 59, 59, 5}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seconds);
        const rtc::DateTime t = rtc::date_time_of(c.seconds);
        EXPECT_EQ(t.year, c.time.year);
        EXPECT_EQ(t.month, c.time.month);
        EXPECT_EQ(t.day, c.time.day);
        EXPECT_EQ(t.hour, c.time.hour);
        EXPECT_EQ(t.minute, c.time.minute);
        EXPECT_EQ(t.second, c.time.second);
        EXPECT_EQ(t.weekday, c.time.weekday);
        EXPECT_EQ(rtc::seconds_of(c.time), c.seconds);
    }
    // Fields out of range carry over, as a clock set to them counts on.
    EXPECT_EQ(seconds_of(2026, 13, 1, 0, 0, 0), seconds_of(2027, 1, 1, 0, 0, 0));
    EXPECT_EQ(seconds_of(2026, 3, 0, 0, 0, 0), seconds_of(2026, 2, 28, 0, 0, 0));
    EXPECT_EQ(seconds_of(2026, 1, 1, 0, 0, 99), seconds_of(2026, 1, 1, 0, 1, 39));
}

TEST(RtcChip, PowersOnCountingTheHostsTimeInBcd)
{
    Chip chip;
    struct Case {
        unsigned address;
        std::uint8_t value;
    };
    const Case cases[] = {
        {rtc::seconds_register, 0x36},
        {rtc::minutes_register, 0x34},
        {rtc::hours_register, 0x13},
        {rtc::weekday_register, 0x04},
        {rtc::day_register, 0x09},
        {rtc::month_register, 0x12},
        {rtc::year_register, 0x26},
        {rtc::century_register, 0x20},
        {rtc::register_a, 0x26},
        {rtc::register_b, 0x02},
        {rtc::register_c, 0x00},
        {rtc::register_d, 0x80},
        {rtc::seconds_alarm, 0x00},
        {0x0E, 0x00},
        {0x7F, 0x00},
    };
    for (const Case &c : cases)
        EXPECT_EQ(chip.read(c.address), c.value) << "register 0x" << std::hex << c.address;
    Chip::wait(second);
    EXPECT_EQ(chip.read(rtc::seconds_register), 0x37);
}

TEST(RtcChip, RegisterBChoosesBcdOrBinaryAnd12Or24Hours)
{
    struct Case {
        std::uint8_t b;
        int hour, minute, second;
        std::uint8_t hours, minutes, seconds;
    };
    const Case cases[] = {
        {0x02, 13, 34, 36, 0x13, 0x34, 0x36}, // BCD, 24 hours
        {0x06, 13, 34, 36, 13, 34, 36},       // binary, 24 hours
        {0x00, 13, 34, 36, 0x81, 0x34, 0x36}, // BCD, 12 hours: bit 7 after noon
        {0x04, 13, 34, 36, 0x81, 34, 36},
        {0x00, 0, 5, 7, 0x12, 0x05, 0x07}, // midnight is 12 AM
        {0x04, 0, 5, 7, 12, 5, 7},
        {0x00, 12, 0, 0, 0x92, 0x00, 0x00}, // noon is 12 PM
        {0x04, 23, 59, 59, 0x8B, 59, 59},
        {0x02, 23, 59, 59, 0x23, 0x59, 0x59},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "B 0x" << std::hex << int{c.b} << std::dec << " at "
                                        << c.hour << ":" << c.minute << ":" << c.second);
        Chip chip;
        host_now = seconds_of(2026, 12, 9, c.hour, c.minute, c.second) * second + second / 4;
        chip.write(rtc::register_b, c.b);
        EXPECT_EQ(chip.read(rtc::hours_register), c.hours);
        EXPECT_EQ(chip.read(rtc::minutes_register), c.minutes);
        EXPECT_EQ(chip.read(rtc::seconds_register), c.seconds);
        const bool binary = (c.b & 0x04) != 0;
        EXPECT_EQ(chip.read(rtc::month_register), binary ? 12 : 0x12);
        EXPECT_EQ(chip.read(rtc::year_register), binary ? 26 : 0x26);
        EXPECT_EQ(chip.read(rtc::century_register), binary ? 20 : 0x20);
    }
}

// A time register written while the clock counts moves the clock by what
// it changes, in the format register B gives, keeping the divider's phase.
TEST(RtcChip, WritingATimeRegisterMovesTheCountingClock)
{
    struct Case {
        const char *name;
        std::uint8_t b;
        unsigned address;
        std::uint8_t value;
        std::int64_t shown;
    };
    const Case cases[] = {
        {"hour, BCD", 0x02, rtc::hours_register, 0x05, seconds_of(2026, 12, 9, 5, 34, 36)},
        {"hour, binary 12 PM+5", 0x04, rtc::hours_register, 0x85,
         seconds_of(2026, 12, 9, 17, 34, 36)},
        {"hour, BCD 12 AM", 0x00, rtc::hours_register, 0x12, seconds_of(2026, 12, 9, 0, 34, 36)},
        {"seconds, binary", 0x06, rtc::seconds_register, 5, seconds_of(2026, 12, 9, 13, 34, 5)},
        {"month", 0x02, rtc::month_register, 0x02, seconds_of(2026, 2, 9, 13, 34, 36)},
        {"year", 0x02, rtc::year_register, 0x30, seconds_of(2030, 12, 9, 13, 34, 36)},
        {"century", 0x02, rtc::century_register, 0x19, seconds_of(1926, 12, 9, 13, 34, 36)},
        {"day", 0x02, rtc::day_register, 0x31, seconds_of(2026, 12, 31, 13, 34, 36)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Chip chip;
        chip.write(rtc::register_b, c.b);
        chip.write(c.address, c.value);
        EXPECT_EQ(chip.shown(), c.shown);
        EXPECT_EQ(chip.read(c.address), c.value);
        // Same phase: the update still comes at .0 of the host's second.
        Chip::wait(second * 3 / 4 - 1);
        EXPECT_EQ(chip.shown(), c.shown);
        Chip::wait(1);
        EXPECT_EQ(chip.shown(), c.shown + 1);
    }
}

TEST(RtcChip, TheWeekdayCountsOnItsOwn)
{
    Chip chip;
    chip.write(rtc::weekday_register, 0x01);
    EXPECT_EQ(chip.read(rtc::weekday_register), 0x01);
    EXPECT_EQ(chip.shown(), december_9) << "the date stays";
    Chip::wait(one_day);
    EXPECT_EQ(chip.read(rtc::weekday_register), 0x02);
    EXPECT_EQ(chip.read(rtc::day_register), 0x10);
    Chip::wait(5 * one_day);
    EXPECT_EQ(chip.read(rtc::weekday_register), 0x07);
    Chip::wait(one_day);
    EXPECT_EQ(chip.read(rtc::weekday_register), 0x01);
}

TEST(RtcChip, TheCenturyCountsWithTheYear)
{
    Chip chip;
    host_now = seconds_of(2099, 12, 31, 23, 59, 59) * second;
    EXPECT_EQ(chip.read(rtc::year_register), 0x99);
    EXPECT_EQ(chip.read(rtc::century_register), 0x20);
    Chip::wait(second);
    EXPECT_EQ(chip.read(rtc::year_register), 0x00);
    EXPECT_EQ(chip.read(rtc::century_register), 0x21);
    EXPECT_EQ(chip.read(rtc::month_register), 0x01);
}

// SET holds the time registers: they read as they were, take what is
// written, and the clock counts from them once SET is cleared, in the
// divider's phase, which went on meanwhile.
TEST(RtcChip, SetHoldsTheClockAndClearingItStartsItFromTheRegisters)
{
    Chip chip;
    chip.write(rtc::register_b, 0x82 | 0x10);
    EXPECT_EQ(chip.read(rtc::register_b), 0x82) << "SET clears UIE";
    Chip::wait(10 * second);
    EXPECT_EQ(chip.read(rtc::seconds_register), 0x36) << "held";
    EXPECT_EQ(chip.shown(), december_9);
    const std::uint8_t midnight[][2] = {
        {rtc::seconds_register, 0x00}, {rtc::minutes_register, 0x00}, {rtc::hours_register, 0x00},
        {rtc::day_register, 0x01},     {rtc::month_register, 0x01},   {rtc::year_register, 0x27},
    };
    for (const auto &write : midnight)
        chip.write(write[0], write[1]);
    for (const auto &write : midnight)
        EXPECT_EQ(chip.read(write[0]), write[1]);
    for (Ticks phase = 0; phase < second; phase += 8) {
        Chip::wait(8);
        ASSERT_FALSE(chip.updating()) << "no update while SET holds the clock";
    }
    EXPECT_EQ(chip.read(rtc::register_c) & 0x10, 0) << "nor UF";
    Chip::wait(second / 4); // 11.5 s on, the divider half a second from its next update
    chip.write(rtc::register_b, 0x02);
    const std::int64_t new_year = seconds_of(2027, 1, 1, 0, 0, 0);
    EXPECT_EQ(chip.shown(), new_year);
    Chip::wait(second / 2 - 1);
    EXPECT_EQ(chip.shown(), new_year);
    Chip::wait(1);
    EXPECT_EQ(chip.shown(), new_year + 1);
    EXPECT_EQ(chip.read(rtc::seconds_register), 0x01);
}

// hwclock --set: SET, the divider in reset, the registers, then B and A
// restored, after which the first update comes half a second later.
TEST(RtcChip, LettingTheDividerGoStartsTheClockHalfASecondBeforeItsUpdate)
{
    Chip chip;
    const std::uint8_t b = chip.read(rtc::register_b);
    chip.write(rtc::register_b, b | 0x80);
    const std::uint8_t a = chip.read(rtc::register_a);
    chip.write(rtc::register_a, a | 0x70);
    const std::uint8_t set[][2] = {
        {rtc::seconds_register, 0x05}, {rtc::minutes_register, 0x04}, {rtc::hours_register, 0x03},
        {rtc::weekday_register, 0x04}, {rtc::day_register, 0x02},     {rtc::month_register, 0x01},
        {rtc::year_register, 0x30},
    };
    for (const auto &write : set)
        chip.write(write[0], write[1]);
    Chip::wait(second / 3);
    chip.write(rtc::register_b, b);
    EXPECT_EQ(rtc::reading(chip.state, test_clock).running, rtc::Running::divider_stopped);
    Chip::wait(second / 3);
    chip.write(rtc::register_a, a);
    const std::int64_t set_time = seconds_of(2030, 1, 2, 3, 4, 5);
    EXPECT_EQ(chip.shown(), set_time);
    EXPECT_EQ(chip.read(rtc::weekday_register), 0x04);
    const Ticks update_warning = 73; // 244 us + 1984 us
    Chip::wait(second / 2 - update_warning - 1);
    EXPECT_FALSE(chip.updating());
    Chip::wait(1);
    EXPECT_TRUE(chip.updating());
    EXPECT_EQ(chip.shown(), set_time);
    Chip::wait(update_warning);
    EXPECT_FALSE(chip.updating());
    EXPECT_EQ(chip.shown(), set_time + 1);
    EXPECT_EQ(chip.read(rtc::seconds_register), 0x06);
}

// UIP is high for the 2228 us before each update (244 us of warning and
// the update cycle); the registers show the next second as it falls.
TEST(RtcChip, UpdateInProgressRisesBeforeEachSecondAndFallsWithIt)
{
    struct Case {
        Ticks phase; // into the host's second 13:34:36
        bool updating;
        std::uint8_t seconds;
    };
    const Case cases[] = {
        {0, false, 0x36},          {second / 2, false, 0x36}, {second - 74, false, 0x36},
        {second - 73, true, 0x36}, {second - 1, true, 0x36},  {second, false, 0x37},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.phase);
        Chip chip;
        host_now = december_9 * second + c.phase;
        EXPECT_EQ(chip.updating(), c.updating);
        EXPECT_EQ(chip.read(rtc::seconds_register), c.seconds);
        EXPECT_EQ(chip.read(rtc::register_a) & 0x7F, 0x26);
    }
}

TEST(RtcChip, ReadOnlyBitsAndRegistersKeepTheirValues)
{
    Chip chip;
    chip.write(rtc::register_a, 0xA6);
    EXPECT_EQ(chip.read(rtc::register_a), 0x26) << "UIP is the chip's";
    chip.write(rtc::register_c, 0xF0);
    EXPECT_EQ(chip.read(rtc::register_c), 0x00);
    chip.write(rtc::register_d, 0x00);
    EXPECT_EQ(chip.read(rtc::register_d), 0x80) << "valid RAM and time, always";
}

// C's flags: UF at each update, AF at an update the alarm matches, PF at
// each period of A's rate, IRQF with any of them enabled in B; reading C
// clears them, a peek does not.
TEST(RtcChip, RegisterCGathersFlagsUntilItIsRead)
{
    struct Step {
        const char *name;
        unsigned address; // written before waiting, or 0xFF for none
        std::uint8_t value;
        Ticks wait;
        std::uint8_t c; // read after the wait
    };
    const Step steps[] = {
        {"nothing yet", 0xFF, 0, 0, 0x00},
        {"an update and 1024 Hz periods", 0xFF, 0, second, 0x50},
        {"read: cleared", 0xFF, 0, 0, 0x00},
        {"no rate: no PF", rtc::register_a, 0x20, second, 0x10},
        {"UIE: IRQF", rtc::register_b, 0x12, second, 0x90},
        {"half-second rate, no edge yet", rtc::register_a, 0x2F, second / 8, 0x00},
        {"its edge, before an update", 0xFF, 0, second / 8, 0x40}, // at .5
        {"PIE", rtc::register_b, 0x42, second / 2, 0xD0},
        {"no rate again", rtc::register_a, 0x20, 0, 0x00},
        {"alarm at 13:34:45 not reached", rtc::seconds_alarm, 0x45, 0, 0x00},
        {"alarm minutes", rtc::minutes_alarm, 0x34, 0, 0x00},
        {"alarm hours; 13:34:44", rtc::hours_alarm, 0x13, 4 * second, 0x10},
        {"13:34:45 rings; AIE gives IRQF", rtc::register_b, 0x22, second, 0xB0},
        {"13:34:46 does not", 0xFF, 0, second, 0x10},
        {"alarm at 13:35", rtc::minutes_alarm, 0x35, 0, 0x00},
        {"any second of 13:35 rings", rtc::seconds_alarm, 0xC0, 13 * second, 0x10},
        {"at 13:35:00", 0xFF, 0, second, 0xB0},
        {"and at 13:35:01", 0xFF, 0, second, 0xB0},
        {"an alarm of 60 s never rings", rtc::seconds_alarm, 0x60, one_day, 0x10},
        {"a day reaches any other alarm", rtc::seconds_alarm, 0x07, one_day, 0xB0},
    };
    Chip chip;
    chip.write(rtc::register_a, 0x26);
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        if (step.address != 0xFF)
            chip.write(step.address, step.value);
        Chip::wait(step.wait);
        EXPECT_EQ(chip.peek(rtc::register_c), step.c) << "a peek";
        EXPECT_EQ(chip.read(rtc::register_c), step.c);
    }
}

// PF comes once a period of register A's rate: 2^(RS-1) ticks for RS 3 to
// 15, RS 1 and 2 as 8 and 9, none for 0.
TEST(RtcChip, PeriodicFlagFollowsTheRateInRegisterA)
{
    struct Case {
        std::uint8_t a;
        Ticks period; // 0: never
    };
    const Case cases[] = {
        {0x20, 0},  {0x21, 128}, {0x22, 256},        {0x23, 4},
        {0x26, 32}, {0x28, 128}, {0x2F, second / 2}, {0x76, 0}, // divider in reset
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "A 0x" << std::hex << int{c.a});
        Chip chip;
        chip.write(rtc::register_b, 0x82); // no update to tell from
        chip.write(rtc::register_a, c.a);
        host_now = december_9 * second + second / 2; // on every rate's edge
        chip.read(rtc::register_c);
        const Ticks wait = c.period == 0 ? second : c.period;
        Chip::wait(wait - 1);
        EXPECT_EQ(chip.read(rtc::register_c), 0x00);
        Chip::wait(1);
        EXPECT_EQ(chip.read(rtc::register_c), c.period == 0 ? 0x00 : 0x40);
    }
}

// Flags set before the clock is moved stay until C is read: moving the
// clock does not rewrite what already happened.
TEST(RtcChip, FlagsOutliveAChangeOfTheClock)
{
    Chip chip;
    chip.write(rtc::register_a, 0x20);
    Chip::wait(second);
    chip.write(rtc::register_b, 0x82);
    chip.write(rtc::register_b, 0x02);
    chip.write(rtc::hours_register, 0x01);
    EXPECT_EQ(chip.read(rtc::register_c), 0x10);
    EXPECT_EQ(chip.read(rtc::register_c), 0x00);
}

TEST(RtcChip, MemoryHasTwoBanksKeptAcrossReset)
{
    Chip chip;
    const auto write_port = [&chip](std::uint16_t port, std::uint8_t value) {
        rtc::write_port(chip.state, port, value, test_clock);
    };
    const auto read_port = [&chip](std::uint16_t port) {
        return rtc::read_port(chip.state, port, test_clock, false);
    };
    write_port(rtc::index_port, 0x8E); // bit 7 masks NMI, and is no part of the index
    write_port(rtc::data_port, 0x11);
    write_port(rtc::upper_index_port, 0x0E);
    write_port(rtc::upper_data_port, 0x22);
    write_port(rtc::upper_index_port, 0xFF);
    write_port(rtc::upper_data_port, 0x33);
    chip.write(0x7F, 0x44);
    chip.write(rtc::register_b, 0x80 | 0x40 | 0x20 | 0x10 | 0x08 | 0x06);
    chip.write(rtc::seconds_register, 0x00);
    EXPECT_EQ(read_port(rtc::index_port), 0xFF) << "the index is write-only";
    EXPECT_EQ(read_port(rtc::upper_index_port), 0xFF);

    Chip::wait(5 * second);
    rtc::reset(chip.state, test_clock);
    EXPECT_EQ(chip.read(0x0E), 0x11);
    EXPECT_EQ(chip.read(0x7F), 0x44);
    write_port(rtc::upper_index_port, 0x0E);
    EXPECT_EQ(read_port(rtc::upper_data_port), 0x22);
    write_port(rtc::upper_index_port, 0x7F);
    EXPECT_EQ(read_port(rtc::upper_data_port), 0x33);
    EXPECT_EQ(chip.read(rtc::register_b), 0x86) << "reset clears the interrupt enables";
    EXPECT_EQ(chip.read(rtc::seconds_register), 0x00) << "and keeps the held time";
    EXPECT_EQ(chip.read(rtc::register_a), 0x26);
    EXPECT_EQ(chip.read(rtc::register_c), 0x00);
}

TEST(RtcChip, AChipNeverPoweredReadsZerosAndHoldsStill)
{
    rtc::State state{};
    host_now = december_9 * second;
    for (unsigned address = 0; address < 256; ++address) {
        if (address != rtc::register_d) {
            EXPECT_EQ(rtc::read_register(state, address, test_clock, false), 0) << address;
        }
    }
    EXPECT_EQ(rtc::reading(state, test_clock).running, rtc::Running::divider_stopped);
}

TEST(RtcChip, SettingTheOffsetMovesTheClockOrItsHeldRegisters)
{
    Chip chip;
    rtc::set_offset(chip.state, -3600 * second, test_clock);
    EXPECT_EQ(chip.shown(), december_9 - 3600);
    EXPECT_EQ(rtc::reading(chip.state, test_clock).ahead, -3600 * second);
    EXPECT_EQ(chip.read(rtc::hours_register), 0x12);

    chip.write(rtc::register_b, 0x82);
    rtc::set_offset(chip.state, one_day, test_clock);
    EXPECT_EQ(chip.read(rtc::day_register), 0x10) << "the held registers";
    EXPECT_EQ(chip.read(rtc::weekday_register), 0x05);
    const rtc::Reading held = rtc::reading(chip.state, test_clock);
    EXPECT_EQ(held.running, rtc::Running::held_by_set);
    EXPECT_EQ(held.ahead, one_day);
}

} // namespace
