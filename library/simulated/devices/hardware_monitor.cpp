// SPDX-License-Identifier: LGPL-2.1-or-later
// The W83627HF's hardware monitor (its logical device 0x0B), at 0x290 as
// firmware leaves it: an index written to base+5 chooses the register that
// base+6 reads and writes. Its readings come from the machine's sensors,
// which users set in real units (properties temp1, fan1, in0, ...); the
// registers convert them as the chip does (16 mV per step, whole degrees
// for temperature 1 and half degrees for 2 and 3 in banks 1 and 2, fan
// counts of a 22.5 kHz clock divided by each fan's divisor), and the
// interrupt status registers show which reading is past its limits.
// Limits and other registers read back as written. See qport_sim.h.
#include <array>
#include <cerrno>
#include <string>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

constexpr std::uint16_t address_offset = 5;
constexpr std::uint16_t data_offset = 6;

// Registers, as the datasheet names them.
constexpr std::uint8_t first_voltage = 0x20; // in0..in6 at 0x20..0x26
constexpr std::uint8_t temperature1 = 0x27;
constexpr std::uint8_t first_fan = 0x28;           // fan1..fan3 at 0x28..0x2A
constexpr std::uint8_t first_voltage_limit = 0x2B; // in N: max 0x2B+2N, min 0x2C+2N
constexpr std::uint8_t temperature1_over = 0x39;
constexpr std::uint8_t temperature1_hysteresis = 0x3A;
constexpr std::uint8_t first_fan_limit = 0x3B; // fan1..fan3 count limits 0x3B..0x3D
constexpr std::uint8_t configuration = 0x40;
constexpr std::uint8_t interrupt_status1 = 0x41;
constexpr std::uint8_t interrupt_status2 = 0x42;
constexpr std::uint8_t fan_divisor12 = 0x47; // bits 4-5 fan1, 6-7 fan2
constexpr std::uint8_t fan_divisor3 = 0x4B;  // bits 6-7 fan3
constexpr std::uint8_t bank_select = 0x4E;   // bits 0-2 bank, bit 7 vendor ID high byte
constexpr std::uint8_t vendor_id = 0x4F;
constexpr std::uint8_t chip_id_register = 0x58; // bank 0
constexpr std::uint8_t vbat_monitor = 0x5D;     // bits 5-7: fan1..3 divisor bit 2
// Banked registers: 0x50-0x5F mean another register in each bank.
constexpr std::uint8_t first_banked = 0x50;
constexpr std::size_t banked_count = 0x10;
constexpr std::size_t bank_count = 8;
// In banks 1 and 2: temperature 2 and 3 with their limits, 9 bits each.
constexpr std::uint8_t banked_temperature = 0x50;  // 0x51 bit 7: half degree
constexpr std::uint8_t banked_hysteresis = 0x53;   // and 0x54
constexpr std::uint8_t banked_over = 0x55;         // and 0x56
constexpr std::uint8_t bank5_first_voltage = 0x50; // in7 (5VSB), in8 (VBAT)

constexpr std::uint16_t vendor = 0x5CA3; // Winbond
constexpr std::uint8_t chip_id = 0x21;   // W83627HF
constexpr std::uint8_t hbacs = 0x80;

constexpr std::size_t voltage_count = 9;
constexpr std::size_t temperature_count = 3;
constexpr std::size_t fan_count = 3;
constexpr unsigned millivolts_per_step = 16;
constexpr unsigned max_millivolts = 255 * millivolts_per_step; // 4.080 V
constexpr std::uint32_t fan_clock = 1350000; // counts per minute times divisor one
constexpr unsigned max_rpm = 20000;
constexpr std::int64_t min_tenths_degrees = -550;
constexpr std::int64_t max_tenths_degrees = 1250;

// The machine's sensors as a board's would read them: in0 a CPU core at
// 1.5 V, +3.3 V, the rest through their boards' dividers; a CPU at 45 °C,
// the board at 38 °C and 41 °C, fans near 2500 rpm.
constexpr std::array<std::uint16_t, voltage_count> default_millivolts{1504, 1504, 3296, 2992, 3040,
                                                                      3584, 3616, 2960, 3216};
constexpr std::array<std::int16_t, temperature_count> default_half_degrees{90, 76, 82};
constexpr std::array<std::uint16_t, fan_count> default_rpm{2500, 2410, 2596};

struct HardwareMonitorState {
    std::atomic<std::uint8_t> index;
    std::atomic<std::uint8_t> common[0x100];                    // outside 0x50-0x5F
    std::atomic<std::uint8_t> banked[bank_count][banked_count]; // 0x50-0x5F per bank
    std::atomic<std::uint16_t> millivolts[voltage_count];       // at the pins
    std::atomic<std::int16_t> half_degrees[temperature_count];
    std::atomic<std::uint16_t> rpm[fan_count];
};

// Register values as firmware leaves them: limits around the readings
// above (temperature 1 over 60 °C, hysteresis 55 °C; 2 and 3 over 80 °C),
// fan divisors of 4, bank 0 with the vendor ID's high byte chosen.
struct Preset {
    std::uint8_t index;
    std::uint8_t value;
};
constexpr std::array common_presets{
    Preset{0x2B, 0x6A},
    Preset{0x2C, 0x52}, // in0 1.696-1.312 V
    Preset{0x2D, 0x6A},
    Preset{0x2E, 0x52}, // in1
    Preset{0x2F, 0xDA},
    Preset{0x30, 0xC6}, // in2 3.488-3.168 V
    Preset{0x31, 0xC6},
    Preset{0x32, 0xAC}, // in3 3.168-2.752 V
    Preset{0x33, 0xD2},
    Preset{0x34, 0xAA}, // in4 3.360-2.720 V
    Preset{0x35, 0xFF},
    Preset{0x36, 0xC8}, // in5
    Preset{0x37, 0xFF},
    Preset{0x38, 0xC8}, // in6
    Preset{temperature1_over, 60},
    Preset{temperature1_hysteresis, 55},
    Preset{0x3B, 0xC8},
    Preset{0x3C, 0xC8},
    Preset{0x3D, 0xC8},          // fans above 1688 rpm
    Preset{configuration, 0x01}, // monitoring started
    Preset{fan_divisor12, 0xA0}, // fans 1 and 2 divided by 4
    Preset{fan_divisor3, 0x84},  // fan 3 divided by 4
    Preset{bank_select, hbacs},
};

std::uint8_t bank_of(HardwareMonitorState &state)
{
    return static_cast<std::uint8_t>(state.common[bank_select].load(relaxed) & 0x07);
}

unsigned fan_divisor(HardwareMonitorState &state, std::size_t fan)
{
    const unsigned divisors12 = state.common[fan_divisor12].load(relaxed);
    const unsigned divisor3 = state.common[fan_divisor3].load(relaxed);
    const unsigned low = fan == 2 ? divisor3 >> 6U : divisors12 >> (4U + 2U * fan);
    const unsigned vbat = state.banked[0][vbat_monitor - first_banked].load(relaxed);
    const unsigned high = (vbat >> (5U + fan)) & 1U;
    return 1U << ((low & 0x3U) | high << 2U);
}

// The count a fan gives in one turn of its divided clock: 255 when too slow
// to count (or stopped).
std::uint8_t fan_count_register(HardwareMonitorState &state, std::size_t fan)
{
    const std::uint32_t rpm = state.rpm[fan].load(relaxed);
    const std::uint32_t per_count = rpm * fan_divisor(state, fan);
    if (per_count == 0)
        return 0xFF;
    const std::uint32_t count = (fan_clock + per_count / 2) / per_count;
    return static_cast<std::uint8_t>(count >= 0xFF ? 0xFF : count == 0 ? 1 : count);
}

std::uint8_t voltage_register(HardwareMonitorState &state, std::size_t input)
{
    const unsigned steps =
        (state.millivolts[input].load(relaxed) + millivolts_per_step / 2) / millivolts_per_step;
    return static_cast<std::uint8_t>(steps > 0xFF ? 0xFF : steps);
}

// Temperature 2 or 3 (sensor 1 or 2) as its 9-bit register: whole degrees
// in the high byte, the half in bit 7 of the low.
std::uint16_t temperature9(HardwareMonitorState &state, std::size_t sensor)
{
    return static_cast<std::uint16_t>(
        static_cast<std::uint16_t>(state.half_degrees[sensor].load(relaxed)) << 7 & 0xFF80);
}

std::int16_t limit9(HardwareMonitorState &state, std::uint8_t bank, std::uint8_t first)
{
    const auto high =
        static_cast<std::int8_t>(state.banked[bank][first - first_banked].load(relaxed));
    const bool half = (state.banked[bank][first + 1 - first_banked].load(relaxed) & 0x80) != 0;
    return static_cast<std::int16_t>(high * 2 + (half ? 1 : 0));
}

// Interrupt status 1 and 2 as the alarm bits Linux's driver reads: in0-in3
// bits 0-3, temp1 4, temp2 5, fan1 6, fan2 7; in4-in6 bits 8-10, fan3 11,
// temp3 13. A reading past its limits sets its bit; this chip keeps no
// latch, so a reading back within them clears it.
std::uint16_t alarms(HardwareMonitorState &state)
{
    constexpr std::array<unsigned, 7> voltage_bits{0, 1, 2, 3, 8, 9, 10};
    constexpr std::array<unsigned, 3> fan_bits{6, 7, 11};
    std::uint16_t bits = 0;
    for (std::size_t input = 0; input < voltage_bits.size(); ++input) {
        const std::uint8_t value = voltage_register(state, input);
        const std::uint8_t max = state.common[first_voltage_limit + 2 * input].load(relaxed);
        const std::uint8_t min = state.common[first_voltage_limit + 2 * input + 1].load(relaxed);
        if (value > max || value < min)
            bits = static_cast<std::uint16_t>(bits | 1U << voltage_bits[input]);
    }
    const auto temperature1_now = static_cast<std::int8_t>(state.half_degrees[0].load(relaxed) / 2);
    if (temperature1_now >= static_cast<std::int8_t>(state.common[temperature1_over].load(relaxed)))
        bits |= 1U << 4;
    if (state.half_degrees[1].load(relaxed) >= limit9(state, 1, banked_over))
        bits |= 1U << 5;
    if (state.half_degrees[2].load(relaxed) >= limit9(state, 2, banked_over))
        bits |= 1U << 13;
    for (std::size_t fan = 0; fan < fan_count; ++fan) {
        if (fan_count_register(state, fan) > state.common[first_fan_limit + fan].load(relaxed))
            bits = static_cast<std::uint16_t>(bits | 1U << fan_bits[fan]);
    }
    return bits;
}

std::uint8_t read_register(HardwareMonitorState &state, std::uint8_t index)
{
    const std::uint8_t bank = bank_of(state);
    if (index >= first_voltage && index < first_voltage + 7)
        return voltage_register(state, index - first_voltage);
    if (index == temperature1)
        return static_cast<std::uint8_t>(state.half_degrees[0].load(relaxed) / 2);
    if (index >= first_fan && index < first_fan + fan_count)
        return fan_count_register(state, index - first_fan);
    if (index == interrupt_status1)
        return static_cast<std::uint8_t>(alarms(state));
    if (index == interrupt_status2)
        return static_cast<std::uint8_t>(alarms(state) >> 8);
    if (index == vendor_id)
        return static_cast<std::uint8_t>(
            (state.common[bank_select].load(relaxed) & hbacs) != 0 ? vendor >> 8 : vendor & 0xFF);
    if (index < first_banked || index >= first_banked + banked_count)
        return state.common[index].load(relaxed);
    if (bank == 0 && index == chip_id_register)
        return chip_id;
    if ((bank == 1 || bank == 2) &&
        (index == banked_temperature || index == banked_temperature + 1)) {
        const std::uint16_t value = temperature9(state, bank);
        return static_cast<std::uint8_t>(index == banked_temperature ? value >> 8 : value & 0x80);
    }
    if (bank == 5 && (index == bank5_first_voltage || index == bank5_first_voltage + 1))
        return voltage_register(state, 7U + (index - bank5_first_voltage));
    return state.banked[bank][index - first_banked].load(relaxed);
}

void reset_registers(HardwareMonitorState &state)
{
    state.index.store(0, relaxed);
    for (auto &byte : state.common)
        byte.store(0, relaxed);
    for (auto &bank : state.banked) {
        for (auto &byte : bank)
            byte.store(0, relaxed);
    }
    for (const Preset &preset : common_presets)
        state.common[preset.index].store(preset.value, relaxed);
    for (std::uint8_t bank = 1; bank <= 2; ++bank) {
        state.banked[bank][banked_hysteresis - first_banked].store(75, relaxed);
        state.banked[bank][banked_over - first_banked].store(80, relaxed);
    }
}

void write_register(HardwareMonitorState &state, std::uint8_t index, std::uint8_t value)
{
    // Readings, the chip's IDs and the interrupt status are read-only.
    if ((index >= first_voltage && index < first_voltage_limit) || index == interrupt_status1 ||
        index == interrupt_status2 || index == vendor_id)
        return;
    if (index == configuration && (value & 0x80) != 0) {
        reset_registers(state); // INITIALIZATION: every register to its default
        return;
    }
    if (index < first_banked || index >= first_banked + banked_count) {
        state.common[index].store(value, relaxed);
        return;
    }
    const std::uint8_t bank = bank_of(state);
    if (bank == 0 && index == chip_id_register)
        return;
    state.banked[bank][index - first_banked].store(value, relaxed);
}

std::uint8_t read(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access)
{
    auto &state = state_of<HardwareMonitorState>(slot);
    if (access.offset == address_offset)
        return state.index.load(relaxed); // bit 7, busy, never set
    if (access.offset == data_offset)
        return read_register(state, state.index.load(relaxed));
    return 0xFF;
}

void write(Machine & /*machine*/, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    auto &state = state_of<HardwareMonitorState>(slot);
    if (access.offset == address_offset)
        state.index.store(value & 0x7F, relaxed);
    else if (access.offset == data_offset)
        write_register(state, state.index.load(relaxed), value);
}

// The PC's reset: registers to firmware's values; the sensors read what
// the machine around them measures, as before.
void reboot(Machine & /*machine*/, DeviceSlot &slot)
{
    reset_registers(state_of<HardwareMonitorState>(slot));
}

void reset(Machine &machine, DeviceSlot &slot)
{
    auto &state = state_of<HardwareMonitorState>(slot);
    for (std::size_t i = 0; i < voltage_count; ++i)
        state.millivolts[i].store(default_millivolts[i], relaxed);
    for (std::size_t i = 0; i < temperature_count; ++i)
        state.half_degrees[i].store(default_half_degrees[i], relaxed);
    for (std::size_t i = 0; i < fan_count; ++i)
        state.rpm[i].store(default_rpm[i], relaxed);
    reboot(machine, slot);
}

// "1.504 V", "45.5 °C": value / scale with digits fraction digits (scale a
// divisor of 10^digits).
std::string fixed_text(std::int32_t value, std::uint32_t scale, unsigned digits)
{
    const bool negative = value < 0;
    const std::uint32_t magnitude =
        negative ? 0U - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    std::uint32_t power = 1;
    for (unsigned i = 0; i < digits; ++i)
        power *= 10;
    std::string fraction = decimal_text(std::uint64_t{magnitude % scale} * (power / scale));
    fraction.insert(0, digits > fraction.size() ? digits - fraction.size() : 0, '0');
    return (negative ? "-" : "") + decimal_text(magnitude / scale) + "." + fraction;
}

void describe(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    auto &state = state_of<HardwareMonitorState>(slot);
    properties.add("chip", "W83627HF hardware monitor (logical device 0x0b), chip ID 0x21");
    properties.add("bank", decimal_text(bank_of(state)));
    for (std::size_t i = 0; i < temperature_count; ++i)
        properties.add("temp" + decimal_text(i + 1),
                       fixed_text(state.half_degrees[i].load(relaxed), 2, 1) + " °C");
    for (std::size_t i = 0; i < fan_count; ++i)
        properties.add("fan" + decimal_text(i + 1),
                       decimal_text(state.rpm[i].load(relaxed)) + " rpm (count " +
                           decimal_text(fan_count_register(state, i)) + ", divisor " +
                           decimal_text(fan_divisor(state, i)) + ")");
    for (std::size_t i = 0; i < voltage_count; ++i)
        properties.add("in" + decimal_text(i),
                       fixed_text(state.millivolts[i].load(relaxed), 1000, 3) + " V");
    const std::uint16_t bits = alarms(state);
    constexpr std::array<std::string_view, 16> alarm_names{
        "in0", "in1", "in2", "in3",  "temp1", "temp2", "fan1", "fan2",
        "in4", "in5", "in6", "fan3", "",      "temp3", "",     ""};
    std::string raised;
    for (std::size_t bit = 0; bit < alarm_names.size(); ++bit) {
        if ((bits & (1U << bit)) != 0)
            raised += (raised.empty() ? "" : ", ") + std::string(alarm_names[bit]);
    }
    properties.add("alarms", raised.empty() ? std::string("none") : raised);
}

// A decimal number with up to `decimals` fraction digits, scaled by
// 10^decimals: "1.5" with 3 gives 1500.
bool parse_fixed(std::string_view text, unsigned decimals, std::int64_t &value)
{
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if ((whole.empty() && fraction.empty()) || fraction.size() > decimals || whole.size() > 9)
        return false;
    std::int64_t number = 0;
    for (const char c : whole) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    for (unsigned i = 0; i < decimals; ++i) {
        const char c = i < fraction.size() ? fraction[i] : '0';
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    value = negative ? -number : number;
    return true;
}

// The sensor a key names ("temp2" -> 1), or -1.
int sensor_number(std::string_view key, std::string_view prefix, std::size_t count)
{
    if (!key.starts_with(prefix) || key.size() != prefix.size() + 1)
        return -1;
    const int number = key.back() - '0';
    const int first = prefix == "in" ? 0 : 1;
    return number >= first && number < first + static_cast<int>(count) ? number - first : -1;
}

int set(Machine & /*machine*/, DeviceSlot &slot, std::string_view key, std::string_view value)
{
    auto &state = state_of<HardwareMonitorState>(slot);
    std::int64_t number = 0;
    if (const int sensor = sensor_number(key, "temp", temperature_count); sensor >= 0) {
        if (!parse_fixed(value, 1, number) || number % 5 != 0 || number < min_tenths_degrees ||
            number > max_tenths_degrees)
            return refuse_setting("hwmon", key, value, "-55 to 125 °C, in steps of 0.5");
        state.half_degrees[sensor].store(static_cast<std::int16_t>(number / 5), relaxed);
        return 0;
    }
    if (const int fan = sensor_number(key, "fan", fan_count); fan >= 0) {
        if (!parse_fixed(value, 0, number) || number < 0 || number > max_rpm)
            return refuse_setting("hwmon", key, value, "0 to 20000 rpm");
        state.rpm[fan].store(static_cast<std::uint16_t>(number), relaxed);
        return 0;
    }
    if (const int input = sensor_number(key, "in", voltage_count); input >= 0) {
        if (!parse_fixed(value, 3, number) || number < 0 || number > max_millivolts)
            return refuse_setting("hwmon", key, value, "0 to 4.080 V at the chip's pin");
        state.millivolts[input].store(static_cast<std::uint16_t>(number), relaxed);
        return 0;
    }
    return ENOENT;
}

} // namespace

extern const DeviceType hardware_monitor_device{
    .name = "w83627hf-hwmon",
    .summary = "the W83627HF's hardware monitor: temperatures, fans and voltages behind base+5 "
               "and base+6",
    .port_count = 8,
    .state = state_layout<HardwareMonitorState>(1),
    .read = read,
    .write = write,
    .reset = reset,
    .reboot = reboot,
    .describe = describe,
    .set = set,
};

} // namespace qport::sim
