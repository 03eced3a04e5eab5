// SPDX-License-Identifier: LGPL-2.1-or-later
// The MC146818A's registers, worked out from the time the chip is handed.
// See rtc_chip.h for the model and qport_sim.h for the registers. Every
// transition is a few atomic operations: no lock, no allocation, nothing
// that a signal handler may not do.
#include "rtc_chip.h"

#include <algorithm>

namespace qport::sim::rtc {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

constexpr std::uint8_t a_update_in_progress = 0x80;
constexpr std::uint8_t a_divider_bits = 0x70;
constexpr std::uint8_t a_divider_counting = 0x20; // the 32.768 kHz time base, running
constexpr std::uint8_t a_rate_bits = 0x0F;
constexpr std::uint8_t a_at_power_on = 0x26; // counting, 1024 Hz periodic rate

constexpr std::uint8_t b_periodic_enable = 0x40;
constexpr std::uint8_t b_alarm_enable = 0x20;
constexpr std::uint8_t b_update_enable = 0x10;
constexpr std::uint8_t b_square_wave = 0x08;
constexpr std::uint8_t b_at_power_on = b_24_hour;
constexpr std::uint8_t b_cleared_by_reset =
    b_periodic_enable | b_alarm_enable | b_update_enable | b_square_wave;

constexpr std::uint8_t c_interrupt = 0x80;
constexpr std::uint8_t c_periodic = 0x40;
constexpr std::uint8_t c_alarm = 0x20;
constexpr std::uint8_t c_update = 0x10;

constexpr std::uint8_t d_valid_ram_and_time = 0x80;

// An alarm byte with its two top bits set matches any value.
constexpr std::uint8_t alarm_any = 0xC0;

// UIP rises this long before the registers show the next second: the
// 244 us warning and the 1984 us update cycle, 8 and 65 ticks.
constexpr Ticks update_warning = 8 + 65;
// When the divider is let go, the first update comes half a second later.
constexpr Ticks half_second = ticks_per_second / 2;

constexpr std::int64_t seconds_per_day = 86400;
constexpr int thursday = 4; // 1970-01-01, weekday 0 being Sunday

struct Control {
    std::uint8_t a;
    std::uint8_t b;
};

Control control_of(std::uint16_t word)
{
    return {static_cast<std::uint8_t>(word & 0xFF), static_cast<std::uint8_t>(word >> 8)};
}

std::uint16_t word_of(Control control)
{
    return static_cast<std::uint16_t>(control.a | control.b << 8);
}

Control control_of(const State &state) { return control_of(state.control.load(relaxed)); }

bool divider_counts(Control control) { return (control.a & a_divider_bits) == a_divider_counting; }

bool counting(Control control) { return divider_counts(control) && (control.b & b_set) == 0; }

constexpr int tick_bits = 15;
static_assert(ticks_per_second == Ticks{1} << tick_bits);
// Shifts floor, before 1970 too.
std::int64_t seconds_at(Ticks clock) { return clock >> tick_bits; }

// The farthest the clock is set from the host's: a million years, as
// set_offset takes it. An offset beyond (a machine file's bytes) is cut
// there, so that no sum with the host's time overflows.
constexpr Ticks farthest_offset = Ticks{31557600000000} * ticks_per_second;

Ticks offset_of(const State &state)
{
    return std::clamp(state.offset.load(relaxed), -farthest_offset, farthest_offset);
}
Ticks phase_at(Ticks clock) { return clock & (ticks_per_second - 1); }

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

int floor_mod(std::int64_t a, int b) { return static_cast<int>(a - floor_div(a, b) * b); }

// Days since 1970-01-01 of a civil date, and back (Howard Hinnant's
// algorithms, for the proleptic Gregorian calendar).
std::int64_t days_from_civil(std::int64_t year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = floor_div(year, 400);
    const std::int64_t year_of_era = year - era * 400;
    const int shifted_month = month > 2 ? month - 3 : month + 9;
    const std::int64_t day_of_year = (153 * shifted_month + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

std::uint8_t encode(int value, Control control)
{
    if ((control.b & b_binary) != 0)
        return static_cast<std::uint8_t>(value);
    return static_cast<std::uint8_t>((value / 10) << 4 | value % 10);
}

// A BCD byte with a nibble over 9 is still taken as tens and units: the
// calendar carries what is out of range, as the clock counts on from it.
int decode(std::uint8_t byte, Control control)
{
    if ((control.b & b_binary) != 0)
        return byte;
    return (byte >> 4) * 10 + (byte & 0x0F);
}

// In 12-hour mode the hour is 1..12 with bit 7 set after noon.
std::uint8_t encode_hour(int hour, Control control)
{
    if ((control.b & b_24_hour) != 0)
        return encode(hour, control);
    const int on_dial = hour % 12 == 0 ? 12 : hour % 12;
    return static_cast<std::uint8_t>(encode(on_dial, control) | (hour >= 12 ? 0x80 : 0));
}

int decode_hour(std::uint8_t byte, Control control)
{
    if ((control.b & b_24_hour) != 0)
        return decode(byte, control);
    return decode(byte & 0x7F, control) % 12 + ((byte & 0x80) != 0 ? 12 : 0);
}

// The places of the time registers among the eight bytes of held_time.
enum Place : int {
    second_place,
    minute_place,
    hour_place,
    weekday_place,
    day_place,
    month_place,
    year_place,
    century_place,
    no_place = -1,
};

Place time_place(unsigned address)
{
    switch (address) {
    case seconds_register:
        return second_place;
    case minutes_register:
        return minute_place;
    case hours_register:
        return hour_place;
    case weekday_register:
        return weekday_place;
    case day_register:
        return day_place;
    case month_register:
        return month_place;
    case year_register:
        return year_place;
    case century_register:
        return century_place;
    default:
        return no_place;
    }
}

std::uint8_t byte_at(std::uint64_t registers, int place)
{
    return static_cast<std::uint8_t>(registers >> (8 * place));
}

// The time register at place showing seconds, the weekday lead days
// ahead. The time of day needs no calendar: reading the seconds stays cheap.
std::uint8_t time_register(std::int64_t seconds, int weekday_lead, Control control, Place place)
{
    const std::int64_t days = floor_div(seconds, seconds_per_day);
    const auto of_day = static_cast<int>(seconds - days * seconds_per_day);
    switch (place) {
    case second_place:
        return encode(of_day % 60, control);
    case minute_place:
        return encode(of_day / 60 % 60, control);
    case hour_place:
        return encode_hour(of_day / 3600, control);
    case weekday_place:
        return encode(floor_mod(days + thursday + weekday_lead, 7) + 1, control);
    default:
        break;
    }
    const DateTime t = date_time_of(seconds);
    const std::int64_t century = floor_div(t.year, 100);
    switch (place) {
    case day_place:
        return encode(t.day, control);
    case month_place:
        return encode(t.month, control);
    case year_place:
        return encode(static_cast<int>(t.year - century * 100), control);
    default:
        return encode(floor_mod(century, 100), control);
    }
}

// All eight, as SET or the divider holds them.
std::uint64_t time_registers(std::int64_t seconds, int weekday_lead, Control control)
{
    std::uint64_t registers = 0;
    for (int place = century_place; place >= second_place; --place)
        registers = registers << 8 |
                    time_register(seconds, weekday_lead, control, static_cast<Place>(place));
    return registers;
}

struct HeldTime {
    std::int64_t seconds;
    int weekday_lead;
};

// What held registers mean once the clock counts from them.
HeldTime time_of_registers(std::uint64_t registers, Control control)
{
    const DateTime t{
        decode(byte_at(registers, century_place), control) * std::int64_t{100} +
            decode(byte_at(registers, year_place), control),
        decode(byte_at(registers, month_place), control),
        decode(byte_at(registers, day_place), control),
        decode_hour(byte_at(registers, hour_place), control),
        decode(byte_at(registers, minute_place), control),
        decode(byte_at(registers, second_place), control),
        0,
    };
    const std::int64_t seconds = seconds_of(t);
    const int weekday = decode(byte_at(registers, weekday_place), control) - 1;
    return {seconds, floor_mod(weekday - date_time_of(seconds).weekday, 7)};
}

// The value 0..limit-1 whose register byte an alarm byte is, -1 for any,
// or limit for none (an alarm that never rings).
int alarm_value(std::uint8_t byte, int limit, bool hours, Control control)
{
    if ((byte & alarm_any) == alarm_any)
        return -1;
    for (int value = 0; value < limit; ++value) {
        if ((hours ? encode_hour(value, control) : encode(value, control)) == byte)
            return value;
    }
    return limit;
}

struct Alarm {
    int hour, minute, second; // -1 for any
};

bool rings_at(int wanted, int value) { return wanted < 0 || wanted == value; }

// Whether the alarm matches a second of the day from first to last.
bool rings_within_day(const Alarm &alarm, int first, int last)
{
    for (int hour = first / 3600; hour <= last / 3600; ++hour) {
        if (!rings_at(alarm.hour, hour))
            continue;
        const int hour_start = hour * 3600;
        const int first_in_hour = std::max(first, hour_start) - hour_start;
        const int last_in_hour = std::min(last, hour_start + 3599) - hour_start;
        for (int minute = first_in_hour / 60; minute <= last_in_hour / 60; ++minute) {
            if (!rings_at(alarm.minute, minute))
                continue;
            const int start = hour_start + minute * 60;
            const int low = std::max(first, start) - start;
            const int high = std::min(last, start + 59) - start;
            if (alarm.second < 0 ? low <= high : alarm.second >= low && alarm.second <= high)
                return true;
        }
    }
    return false;
}

// Whether the alarm matches the time at an update that showed a second
// from first to last.
bool alarm_rings(const State &state, Control control, std::int64_t first, std::int64_t last)
{
    const Alarm alarm{
        alarm_value(state.alarm[2].load(relaxed), 24, true, control),
        alarm_value(state.alarm[1].load(relaxed), 60, false, control),
        alarm_value(state.alarm[0].load(relaxed), 60, false, control),
    };
    if (alarm.hour == 24 || alarm.minute == 60 || alarm.second == 60)
        return false;
    if (last - first + 1 >= seconds_per_day)
        return true;
    const int first_of_day = floor_mod(first, seconds_per_day);
    const int last_of_day = floor_mod(last, seconds_per_day);
    if (floor_div(first, seconds_per_day) == floor_div(last, seconds_per_day))
        return rings_within_day(alarm, first_of_day, last_of_day);
    return rings_within_day(alarm, first_of_day, seconds_per_day - 1) ||
           rings_within_day(alarm, 0, last_of_day);
}

// Ticks in one periodic period, as a power of two: RS 3..15 give 2^(RS-1)
// (122 us to 500 ms), RS 1 and 2 the same as 8 and 9; 0 for none.
int periodic_shift(Control control)
{
    const int rate = control.a & a_rate_bits;
    if (rate == 0)
        return 0;
    return rate <= 2 ? rate + 6 : rate - 1;
}

// Register C's flags set between two of the host's instants, as the
// clock is set now: PF at each periodic edge while the divider counts,
// UF at each update and AF at an update whose time the alarm matches
// while the clock counts.
std::uint8_t flags_between(const State &state, Ticks from, Ticks to)
{
    const Control control = control_of(state);
    if (to <= from || !divider_counts(control))
        return 0;
    // Over a day every flag that can be set is; a start further back (a
    // machine file's bytes) counts from there, so no sum overflows.
    from = std::max(from, to - 2 * seconds_per_day * ticks_per_second);
    const Ticks offset = offset_of(state);
    const Ticks clock_from = from + offset;
    const Ticks clock_to = to + offset;
    std::uint8_t flags = 0;
    const int shift = periodic_shift(control);
    if (shift != 0 && clock_to >> shift > clock_from >> shift)
        flags |= c_periodic;
    const std::int64_t first = seconds_at(clock_from) + 1;
    const std::int64_t last = seconds_at(clock_to);
    if (counting(control) && last >= first) {
        flags |= c_update;
        if (alarm_rings(state, control, first, last))
            flags |= c_alarm;
    }
    return flags;
}

// Keeps the flags set up to now before the clock is changed, so that the
// change does not rewrite what already happened.
void keep_flags(State &state, Ticks now)
{
    const Ticks from = state.flags_from.exchange(now);
    state.flags_held.fetch_or(flags_between(state, from, now));
}

std::uint8_t read_flags(State &state, Ticks now, bool peek)
{
    const Ticks from = peek ? state.flags_from.load() : state.flags_from.exchange(now);
    const std::uint8_t held = peek ? state.flags_held.load() : state.flags_held.exchange(0);
    std::uint8_t flags = held | flags_between(state, from, now);
    // B's enables sit at the places of C's flags.
    const std::uint8_t enabled = control_of(state).b & (c_periodic | c_alarm | c_update);
    if ((flags & enabled) != 0)
        flags |= c_interrupt;
    return flags;
}

std::uint8_t read_time_register(State &state, Place place, Clock now)
{
    const Control control = control_of(state);
    if (!counting(control))
        return byte_at(state.held_time.load(relaxed), place);
    const Ticks clock = now() + offset_of(state);
    return time_register(seconds_at(clock), state.weekday_lead.load(relaxed), control, place);
}

// While the clock counts, a time register written moves the clock by what
// it changes, keeping the divider's phase; while it is stopped, it is
// held as written.
void write_time_register(State &state, Place place, std::uint8_t value, Clock now)
{
    const Control control = control_of(state);
    if (!counting(control)) {
        const std::uint64_t mask = std::uint64_t{0xFF} << (8 * place);
        const std::uint64_t byte = std::uint64_t{value} << (8 * place);
        std::uint64_t registers = state.held_time.load(relaxed);
        std::uint64_t written = 0;
        do {
            written = (registers & ~mask) | byte;
        } while (!state.held_time.compare_exchange_weak(registers, written));
        return;
    }
    const Ticks at = now();
    keep_flags(state, at);
    const int number = decode(value, control);
    // What the machine holds, for the swap, and the offset it stands for.
    Ticks stored = state.offset.load(relaxed);
    if (place == weekday_place) {
        const Ticks offset = std::clamp(stored, -farthest_offset, farthest_offset);
        // The weekday counts on its own, whatever the date.
        const int weekday = date_time_of(seconds_at(at + offset)).weekday;
        state.weekday_lead.store(static_cast<std::int8_t>(floor_mod(number - 1 - weekday, 7)),
                                 relaxed);
        return;
    }
    Ticks moved = 0;
    do {
        const Ticks offset = std::clamp(stored, -farthest_offset, farthest_offset);
        const std::int64_t shown = seconds_at(at + offset);
        DateTime t = date_time_of(shown);
        switch (place) {
        case second_place:
            t.second = number;
            break;
        case minute_place:
            t.minute = number;
            break;
        case hour_place:
            t.hour = decode_hour(value, control);
            break;
        case day_place:
            t.day = number;
            break;
        case month_place:
            t.month = number;
            break;
        case year_place:
            t.year = floor_div(t.year, 100) * 100 + number;
            break;
        default: // century_place
            t.year = number * std::int64_t{100} + floor_mod(t.year, 100);
            break;
        }
        moved = offset + (seconds_of(t) - shown) * ticks_per_second;
    } while (!state.offset.compare_exchange_weak(stored, moved));
}

// Registers A and B: the clock stops when SET is written or the divider
// leaves its counting setting, its time registers held as they read;
// it counts again from what they hold once both let it go, in the
// divider's phase, or with the first update half a second after the
// divider was let go (what hwclock --set relies on).
void write_control(State &state, unsigned address, std::uint8_t value, Clock now)
{
    const Ticks at = now();
    std::uint16_t word = state.control.load(relaxed);
    for (;;) {
        const Control before = control_of(word);
        Control after = before;
        if (address == register_a) {
            after.a = static_cast<std::uint8_t>(value & ~a_update_in_progress);
        } else {
            after.b = value;
            if ((value & b_set) != 0 && (before.b & b_set) == 0)
                after.b = static_cast<std::uint8_t>(after.b & ~b_update_enable);
        }
        keep_flags(state, at);
        const Ticks offset = offset_of(state);
        const bool divider_let_go = !divider_counts(before) && divider_counts(after);
        const Ticks phase = divider_let_go ? half_second : phase_at(at + offset);
        if (counting(before) && !counting(after)) {
            state.held_time.store(
                time_registers(seconds_at(at + offset), state.weekday_lead.load(relaxed), before),
                relaxed);
        } else if (!counting(before) && counting(after)) {
            const HeldTime held = time_of_registers(state.held_time.load(relaxed), after);
            state.offset.store(held.seconds * ticks_per_second + phase - at, relaxed);
            state.weekday_lead.store(static_cast<std::int8_t>(held.weekday_lead), relaxed);
        } else if (divider_let_go) {
            state.offset.store(offset - phase_at(at + offset) + phase, relaxed);
        }
        if (state.control.compare_exchange_weak(word, word_of(after)))
            return;
    }
}

std::atomic<std::uint8_t> &memory_at(State &state, unsigned address)
{
    return state.memory[address & 0xFF];
}

} // namespace

DateTime date_time_of(std::int64_t seconds)
{
    const std::int64_t days = floor_div(seconds, seconds_per_day);
    const int of_day = floor_mod(seconds, seconds_per_day);
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = floor_div(shifted, 146097);
    const std::int64_t day_of_era = shifted - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    return {
        year_of_era + era * 400 + (month <= 2 ? 1 : 0),
        month,
        static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1),
        of_day / 3600,
        of_day / 60 % 60,
        of_day % 60,
        floor_mod(days + thursday, 7),
    };
}

std::int64_t seconds_of(const DateTime &t)
{
    const std::int64_t year = t.year + floor_div(t.month - 1, 12);
    const int month = floor_mod(t.month - 1, 12) + 1;
    const std::int64_t days = days_from_civil(year, month, 1) + t.day - 1;
    return days * seconds_per_day + t.hour * std::int64_t{3600} + t.minute * std::int64_t{60} +
           t.second;
}

void reset(State &state, Clock now)
{
    if (state.powered.exchange(1) == 0) {
        state.control.store(word_of({a_at_power_on, b_at_power_on}), relaxed);
        state.offset.store(0, relaxed);
        state.weekday_lead.store(0, relaxed);
    } else {
        std::uint16_t word = state.control.load(relaxed);
        Control cleared{};
        do {
            cleared = control_of(word);
            cleared.b = static_cast<std::uint8_t>(cleared.b & ~b_cleared_by_reset);
        } while (!state.control.compare_exchange_weak(word, word_of(cleared)));
    }
    state.flags_held.store(0);
    state.flags_from.store(now());
}

std::uint8_t read_register(State &state, unsigned address, Clock now, bool peek)
{
    const Place place = time_place(address);
    if (place != no_place)
        return read_time_register(state, place, now);
    switch (address) {
    case seconds_alarm:
        return state.alarm[0].load(relaxed);
    case minutes_alarm:
        return state.alarm[1].load(relaxed);
    case hours_alarm:
        return state.alarm[2].load(relaxed);
    case register_a: {
        const Control control = control_of(state);
        const bool updating = counting(control) && phase_at(now() + offset_of(state)) >=
                                                       ticks_per_second - update_warning;
        return static_cast<std::uint8_t>(control.a | (updating ? a_update_in_progress : 0));
    }
    case register_b:
        return control_of(state).b;
    case register_c:
        return read_flags(state, now(), peek);
    case register_d:
        return d_valid_ram_and_time;
    default:
        return memory_at(state, address).load(relaxed);
    }
}

void write_register(State &state, unsigned address, std::uint8_t value, Clock now)
{
    const Place place = time_place(address);
    if (place != no_place) {
        write_time_register(state, place, value, now);
        return;
    }
    switch (address) {
    case seconds_alarm:
    case minutes_alarm:
    case hours_alarm:
        keep_flags(state, now());
        state.alarm[(address - seconds_alarm) / 2].store(value, relaxed);
        return;
    case register_a:
    case register_b:
        write_control(state, address, value, now);
        return;
    case register_c:
    case register_d:
        return; // read-only
    default:
        memory_at(state, address).store(value, relaxed);
        return;
    }
}

std::uint8_t read_port(State &state, std::uint16_t port, Clock now, bool peek)
{
    switch (port) {
    case data_port:
        return read_register(state, state.index.load(relaxed), now, peek);
    case upper_data_port:
        return memory_at(state, upper_bank | state.upper_index.load(relaxed)).load(relaxed);
    default:
        return 0xFF; // the index registers are write-only
    }
}

void write_port(State &state, std::uint16_t port, std::uint8_t value, Clock now)
{
    const auto index = static_cast<std::uint8_t>(value & 0x7F);
    switch (port) {
    case index_port:
        state.index.store(index, relaxed);
        return;
    case data_port:
        write_register(state, state.index.load(relaxed), value, now);
        return;
    case upper_index_port:
        state.upper_index.store(index, relaxed);
        return;
    default:
        memory_at(state, upper_bank | state.upper_index.load(relaxed)).store(value, relaxed);
        return;
    }
}

Reading reading(State &state, Clock now)
{
    const Control control = control_of(state);
    const Ticks at = now();
    if (counting(control)) {
        const Ticks offset = offset_of(state);
        return {seconds_at(at + offset), offset, Running::counting};
    }
    const std::int64_t held = time_of_registers(state.held_time.load(relaxed), control).seconds;
    return {held, (held - seconds_at(at)) * ticks_per_second,
            divider_counts(control) ? Running::held_by_set : Running::divider_stopped};
}

void set_offset(State &state, Ticks offset, Clock now)
{
    const Ticks at = now();
    keep_flags(state, at);
    state.weekday_lead.store(0, relaxed);
    state.offset.store(offset, relaxed);
    const Control control = control_of(state);
    if (!counting(control))
        state.held_time.store(time_registers(seconds_at(at + offset), 0, control), relaxed);
}

} // namespace qport::sim::rtc
