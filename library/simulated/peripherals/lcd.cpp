// SPDX-License-Identifier: LGPL-2.1-or-later
// An HD44780 character display on the simulated parallel port, wired as
// LCDproc's hd44780 driver wires it: "4bit" (the data lines carry a nibble,
// RS, RW and E) or "winamp" (eight data lines, E, RW and RS on the control
// lines). The chip takes a cycle when E falls; the text it shows is read
// from its DDRAM through the display shift. See qport_sim.h.
#include <array>
#include <cerrno>
#include <optional>
#include <string>

#include "parallel_port.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

constexpr std::size_t ddram_bytes = 80;
constexpr std::size_t cgram_bytes = 64;
constexpr std::uint8_t line_length = 40;   // each line's DDRAM in two-line mode
constexpr std::uint8_t second_line = 0x40; // its first address
constexpr std::uint8_t last_one_line_address = 0x4F;
constexpr std::uint8_t space = 0x20;

enum class Wiring : std::uint8_t { four_bit = 0, winamp = 1 };

// The glass: columns x rows, 20x4 unless set (0 stands for the default, so
// that a zeroed state is the default display).
struct Geometry {
    unsigned columns;
    unsigned rows;
};
constexpr Geometry default_geometry{20, 4};

// The controller's registers, packed into one word so that a cycle moves
// them all with one compare-and-swap. All zeros is the state the chip's
// own reset leaves: 8-bit interface, one line, display off, increment.
struct Registers {
    std::uint8_t address = 0;      // the address counter, 7 bits
    bool cgram = false;            // the counter addresses CGRAM, not DDRAM
    std::uint8_t shift = 0;        // display shift: positions moved left
    bool decrement = false;        // entry mode I/D clear
    bool shift_on_write = false;   // entry mode S
    bool display_on = false;       // D
    bool cursor_on = false;        // C
    bool blink_on = false;         // B
    bool four_bit = false;         // function set DL clear
    bool two_lines = false;        // N
    bool large_font = false;       // F
    bool second_nibble = false;    // in 4-bit mode: the next cycle ends a byte
    std::uint8_t first_nibble = 0; // that byte's high half, written or read

    static Registers unpack(std::uint32_t word)
    {
        Registers registers;
        registers.address = word & 0x7F;
        registers.cgram = (word >> 7 & 1) != 0;
        registers.shift = word >> 8 & 0x7F;
        registers.decrement = (word >> 15 & 1) != 0;
        registers.shift_on_write = (word >> 16 & 1) != 0;
        registers.display_on = (word >> 17 & 1) != 0;
        registers.cursor_on = (word >> 18 & 1) != 0;
        registers.blink_on = (word >> 19 & 1) != 0;
        registers.four_bit = (word >> 20 & 1) != 0;
        registers.two_lines = (word >> 21 & 1) != 0;
        registers.large_font = (word >> 22 & 1) != 0;
        registers.second_nibble = (word >> 23 & 1) != 0;
        registers.first_nibble = word >> 24 & 0x0F;
        return registers;
    }
    std::uint32_t pack() const
    {
        return std::uint32_t{address} | std::uint32_t{cgram} << 7 | std::uint32_t{shift} << 8 |
               std::uint32_t{decrement} << 15 | std::uint32_t{shift_on_write} << 16 |
               std::uint32_t{display_on} << 17 | std::uint32_t{cursor_on} << 18 |
               std::uint32_t{blink_on} << 19 | std::uint32_t{four_bit} << 20 |
               std::uint32_t{two_lines} << 21 | std::uint32_t{large_font} << 22 |
               std::uint32_t{second_nibble} << 23 | std::uint32_t{first_nibble} << 24;
    }
};

// The display in the port's peripheral state. The registers change by
// compare-and-swap; the byte a cycle writes is stored after it, in the
// cell the swap gave it.
struct Display {
    std::atomic<std::uint32_t> registers;
    std::atomic<std::uint16_t> last_read; // the byte last read out, plus one; 0 for none
    std::atomic<std::uint8_t> columns;    // 0: the default
    std::atomic<std::uint8_t> rows;
    std::atomic<std::uint8_t> wiring;
    std::atomic<std::uint8_t> ddram[ddram_bytes];
    std::atomic<std::uint8_t> cgram[cgram_bytes];
};

// A glass one controller drives: up to 40 columns on one or two rows, up to
// 20 on four.
bool is_drivable(Geometry geometry)
{
    return geometry.columns != 0 && geometry.columns <= line_length &&
           (geometry.rows == 1 || geometry.rows == 2 || geometry.rows == 4) &&
           std::size_t{geometry.columns} * geometry.rows <= ddram_bytes;
}

// The size set, or the default for none; a size no controller drives (a
// machine file's bytes) is the default too.
Geometry geometry_of(const Display &display)
{
    const Geometry stored{display.columns.load(relaxed), display.rows.load(relaxed)};
    return is_drivable(stored) ? stored : default_geometry;
}

Wiring wiring_of(const Display &display) { return Wiring{display.wiring.load(relaxed)}; }

// What the chip sees of one cycle: RS, RW and DB7..DB0 while E was high.
struct Cycle {
    bool data_register; // RS high
    bool read;          // RW high
    std::uint8_t bus;
};

// 4bit: D0..D3 to DB4..DB7, D4 RS, D5 RW, D6 E (D7, a second controller's
// E, goes nowhere on a display with one controller). DB0..DB3 are left
// open, and the chip's pull-ups hold them high.
constexpr std::uint8_t four_bit_rs = 0x10;
constexpr std::uint8_t four_bit_rw = 0x20;
constexpr std::uint8_t four_bit_enable = 0x40;

// winamp: D0..D7 to DB0..DB7, nStrobe E, nAutoFeed RW, nInit RS, each
// driven at the pin's level: the port inverts nStrobe and nAutoFeed.
bool enable_high(Wiring wiring, PortLines lines)
{
    if (wiring == Wiring::winamp)
        return (lines.control & control_strobe) == 0;
    return (lines.data & four_bit_enable) != 0;
}

Cycle cycle_of(Wiring wiring, PortLines lines)
{
    if (wiring == Wiring::winamp)
        return {(lines.control & control_not_init) != 0, (lines.control & control_auto_feed) == 0,
                lines.data};
    return {(lines.data & four_bit_rs) != 0, (lines.data & four_bit_rw) != 0,
            static_cast<std::uint8_t>((lines.data & 0x0F) << 4 | 0x0F)};
}

// DDRAM addresses: two lines of 40 at 0x00 and 0x40, or one line of 80.
// An address past a line's end (0x28..0x3F) reaches the cell 40 before it.
std::uint8_t ddram_index(const Registers &registers, std::uint8_t address)
{
    if (!registers.two_lines)
        return static_cast<std::uint8_t>(address % ddram_bytes);
    const unsigned line = (address & second_line) != 0 ? 1 : 0;
    return static_cast<std::uint8_t>(line * line_length + (address & 0x3F) % line_length);
}

// The address counter after one step forward or back: CGRAM wraps at 64,
// a DDRAM line runs on into the next.
std::uint8_t stepped(const Registers &registers, bool forward)
{
    const std::uint8_t address = registers.address;
    if (registers.cgram)
        return (address + (forward ? 1 : cgram_bytes - 1)) % cgram_bytes;
    if (registers.two_lines) {
        if (forward && (address & 0x3F) == line_length - 1)
            return (address & second_line) != 0 ? 0 : second_line;
        if (!forward && address == 0)
            return second_line + line_length - 1;
        if (!forward && address == second_line)
            return line_length - 1;
    } else {
        if (forward && address == last_one_line_address)
            return 0;
        if (!forward && address == 0)
            return last_one_line_address;
    }
    return (address + (forward ? 1 : 0x7F)) & 0x7F;
}

std::uint8_t shift_span(const Registers &registers)
{
    return registers.two_lines ? line_length : ddram_bytes;
}

std::uint8_t shifted(const Registers &registers, bool left)
{
    const std::uint8_t span = shift_span(registers);
    return static_cast<std::uint8_t>((registers.shift % span + (left ? 1 : span - 1)) % span);
}

// What a read cycle puts out: the busy flag (never set: every instruction
// is done at once) and the address counter, or the byte it addresses.
std::uint8_t read_out(const Display &display, const Registers &registers, bool data_register)
{
    if (!data_register)
        return registers.address;
    if (registers.cgram)
        return display.cgram[registers.address % cgram_bytes].load(relaxed);
    return display.ddram[ddram_index(registers, registers.address)].load(relaxed);
}

// What a cycle does besides moving the registers.
struct Effect {
    enum Kind : std::uint8_t { none, store_ddram, store_cgram, clear, read } kind = none;
    std::uint8_t index = 0;
    std::uint8_t value = 0;
};

struct Step {
    Registers next;
    Effect effect;
};

Step instruction(Registers registers, std::uint8_t code)
{
    if ((code & 0x80) != 0) { // set DDRAM address
        registers.address = code & 0x7F;
        registers.cgram = false;
    } else if ((code & 0x40) != 0) { // set CGRAM address
        registers.address = code & 0x3F;
        registers.cgram = true;
    } else if ((code & 0x20) != 0) { // function set
        registers.four_bit = (code & 0x10) == 0;
        registers.two_lines = (code & 0x08) != 0;
        registers.large_font = (code & 0x04) != 0;
        registers.second_nibble = false;
        registers.shift %= shift_span(registers);
    } else if ((code & 0x10) != 0) { // cursor or display shift
        const bool right = (code & 0x04) != 0;
        if ((code & 0x08) != 0)
            registers.shift = shifted(registers, !right);
        else
            registers.address = stepped(registers, right);
    } else if ((code & 0x08) != 0) { // display on/off control
        registers.display_on = (code & 0x04) != 0;
        registers.cursor_on = (code & 0x02) != 0;
        registers.blink_on = (code & 0x01) != 0;
    } else if ((code & 0x04) != 0) { // entry mode set
        registers.decrement = (code & 0x02) == 0;
        registers.shift_on_write = (code & 0x01) != 0;
    } else if ((code & 0x02) != 0) { // return home
        registers.address = 0;
        registers.cgram = false;
        registers.shift = 0;
    } else if (code == 0x01) { // clear display
        registers.address = 0;
        registers.cgram = false;
        registers.shift = 0;
        registers.decrement = false;
        return {registers, {Effect::clear}};
    }
    return {registers, {}};
}

// One cycle: in 4-bit mode the first of a pair only keeps its nibble (or,
// reading, puts out the high half), and the second completes the byte with
// the RS and RW it has, as the chip pairs nibbles in the order they come.
Step step(const Display &display, Registers registers, const Cycle &cycle)
{
    std::uint8_t byte = cycle.bus;
    if (registers.four_bit) {
        if (!registers.second_nibble) {
            registers.second_nibble = true;
            registers.first_nibble =
                (cycle.read ? read_out(display, registers, cycle.data_register) : cycle.bus) >> 4;
            return {registers, {}};
        }
        registers.second_nibble = false;
        byte = static_cast<std::uint8_t>(registers.first_nibble << 4 | cycle.bus >> 4);
    }
    if (cycle.read) {
        std::uint8_t value = read_out(display, registers, cycle.data_register);
        if (registers.four_bit)
            value = static_cast<std::uint8_t>(registers.first_nibble << 4 | (value & 0x0F));
        if (cycle.data_register)
            registers.address = stepped(registers, !registers.decrement);
        return {registers, {Effect::read, 0, value}};
    }
    if (!cycle.data_register)
        return instruction(registers, byte);
    Effect effect{Effect::store_cgram, static_cast<std::uint8_t>(registers.address % cgram_bytes),
                  byte};
    if (!registers.cgram) {
        effect = {Effect::store_ddram, ddram_index(registers, registers.address), byte};
        if (registers.shift_on_write)
            registers.shift = shifted(registers, !registers.decrement);
    }
    registers.address = stepped(registers, !registers.decrement);
    return {registers, effect};
}

void clear_ddram(Display &display)
{
    for (auto &cell : display.ddram)
        cell.store(space, relaxed);
}

// The chip takes a cycle as E falls, with RS, RW and the data as they were
// while E was high.
void lines_changed(const ParallelPort &port, PortLines before, PortLines now)
{
    auto &display = port.peripheral<Display>();
    const Wiring wiring = wiring_of(display);
    if (!enable_high(wiring, before) || enable_high(wiring, now))
        return;
    const Cycle cycle = cycle_of(wiring, before);
    std::uint32_t word = display.registers.load();
    Step taken;
    do {
        taken = step(display, Registers::unpack(word), cycle);
    } while (!display.registers.compare_exchange_weak(word, taken.next.pack()));
    const Effect &effect = taken.effect;
    switch (effect.kind) {
    case Effect::store_ddram:
        display.ddram[effect.index].store(effect.value, relaxed);
        break;
    case Effect::store_cgram:
        display.cgram[effect.index].store(effect.value, relaxed);
        break;
    case Effect::clear:
        clear_ddram(display);
        break;
    case Effect::read:
        display.last_read.store(static_cast<std::uint16_t>(effect.value + 1), relaxed);
        break;
    case Effect::none:
        break;
    }
}

// Neither wiring brings anything back to the status lines (LCDproc's keypad
// is not modelled): they float high, as with nothing plugged in.
std::uint8_t status(const ParallelPort & /*port*/, PortLines /*now*/, bool /*peek*/)
{
    return 0x78;
}

// As at power-on, after the chip's own reset: DDRAM cleared to spaces, the
// registers at zero. The size and wiring are kept.
void reset(const ParallelPort &port)
{
    auto &display = port.peripheral<Display>();
    display.registers.store(0);
    display.last_read.store(0, relaxed);
    clear_ddram(display);
    for (auto &cell : display.cgram)
        cell.store(0, relaxed);
}

// Where a cell of the glass is in DDRAM: a single controller drives line 1
// on rows 1 and 3 and line 2 on rows 2 and 4, rows 3 and 4 continuing rows
// 1 and 2. A 16x1 glass is two lines of 8 side by side. Null where the
// controller drives nothing (line 2 in one-line mode).
std::optional<std::uint8_t> address_shown(const Geometry &geometry, const Registers &registers,
                                          unsigned row, unsigned column)
{
    unsigned line = row % 2;
    unsigned position = row / 2 * geometry.columns + column;
    if (geometry.columns == 16 && geometry.rows == 1) {
        line = column / 8;
        position = column % 8;
    }
    if (!registers.two_lines) {
        if (line != 0)
            return std::nullopt;
        return static_cast<std::uint8_t>((position + registers.shift) % ddram_bytes);
    }
    return static_cast<std::uint8_t>(line * second_line +
                                     (position + registers.shift) % line_length);
}

// The character generator ROM (code A00) as text: ASCII, but for the yen
// sign and the arrows; half-width katakana; Greek and other symbols. The
// eight CGRAM characters (codes 0..7, repeated at 8..15) show as circled
// digits; codes the ROM leaves empty as spaces.
void append_glyph(std::string &text, std::uint8_t code)
{
    static constexpr std::array<const char *, 8> custom{"⓪", "①", "②", "③", "④", "⑤", "⑥", "⑦"};
    static constexpr std::array<const char *, 32> symbols{
        "α", "ä", "β", "ε", "μ", "σ", "ρ", "g", "√", "⁻¹", "j",  "ˣ",  "¢",  "£", "ñ", "ö",
        "p", "q", "θ", "∞", "Ω", "ü", "Σ", "π", "x̄", "y",  "千", "万", "円", "÷", " ", "█"};
    if (code < 0x10) {
        text += custom[code % custom.size()];
    } else if (code == 0x5C) {
        text += "¥";
    } else if (code == 0x7E) {
        text += "→";
    } else if (code == 0x7F) {
        text += "←";
    } else if (code >= 0x20 && code < 0x7E) {
        text += static_cast<char>(code);
    } else if (code >= 0xA1 && code < 0xE0) {
        const unsigned point = 0xFF61 + (code - 0xA1U); // JIS X 0201 katakana
        text += static_cast<char>(0xE0 | point >> 12);
        text += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (code >= 0xE0) {
        text += symbols[code - 0xE0U];
    } else {
        text += ' ';
    }
}

std::string hex_byte(std::uint32_t value) { return hex_text(value, 2); }

// The eight CGRAM characters' bitmaps, a group of 16 hex digits each, its
// rows top first (the low five bits of each are the dots, bit 4 leftmost).
std::string cgram_text(const Display &display)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t index = 0; index < cgram_bytes; ++index) {
        if (index != 0 && index % 8 == 0)
            text += ' ';
        const std::uint8_t row = display.cgram[index].load(relaxed);
        text += digits[row >> 4];
        text += digits[row & 0x0F];
    }
    return text;
}

void describe(const ParallelPort &port, Properties &properties)
{
    auto &display = port.peripheral<Display>();
    const Geometry geometry = geometry_of(display);
    const Registers registers = Registers::unpack(display.registers.load());
    properties.add("size", decimal_text(geometry.columns) + "x" + decimal_text(geometry.rows));
    properties.add("wiring", wiring_of(display) == Wiring::winamp ? "winamp" : "4bit");
    std::string cursor = "off-screen";
    for (unsigned row = 0; row < geometry.rows; ++row) {
        std::string text;
        for (unsigned column = 0; column < geometry.columns; ++column) {
            const std::optional<std::uint8_t> address =
                address_shown(geometry, registers, row, column);
            if (address && !registers.cgram && *address == registers.address)
                cursor = decimal_text(row + 1) + "," + decimal_text(column + 1);
            append_glyph(text, address && registers.display_on
                                   ? display.ddram[ddram_index(registers, *address)].load(relaxed)
                                   : space);
        }
        properties.add("line" + decimal_text(row + 1), text);
    }
    if (registers.cursor_on)
        cursor += " underline";
    if (registers.blink_on)
        cursor += " blinking";
    if (!registers.cursor_on && !registers.blink_on)
        cursor += " hidden";
    properties.add("cursor", cursor);
    properties.add("display", registers.display_on ? "on" : "off");
    properties.add("mode", registers.four_bit ? "4-bit" : "8-bit");
    properties.add("controller-lines", registers.two_lines ? "2" : "1");
    properties.add("address-counter",
                   (registers.cgram ? "cgram " : "ddram ") + hex_byte(registers.address));
    const std::uint16_t last_read = display.last_read.load(relaxed);
    properties.add("last-read", last_read == 0 ? std::string("none") : hex_byte(last_read - 1U));
    properties.add("cgram", cgram_text(display));
}

bool parse_size(std::string_view text, Geometry &geometry)
{
    const std::size_t cross = text.find('x');
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
    if (cross == std::string_view::npos || !parse_number(text.substr(0, cross), columns) ||
        !parse_number(text.substr(cross + 1), rows))
        return false;
    if (!is_drivable({columns, rows}))
        return false;
    geometry = {columns, rows};
    return true;
}

int set(const ParallelPort &port, std::string_view key, std::string_view value)
{
    auto &display = port.peripheral<Display>();
    if (key == "size") {
        Geometry geometry{};
        if (!parse_size(value, geometry))
            return EINVAL;
        display.columns.store(static_cast<std::uint8_t>(geometry.columns), relaxed);
        display.rows.store(static_cast<std::uint8_t>(geometry.rows), relaxed);
        return 0;
    }
    if (key == "wiring") {
        if (value != "4bit" && value != "winamp")
            return EINVAL;
        display.wiring.store(
            static_cast<std::uint8_t>(value == "winamp" ? Wiring::winamp : Wiring::four_bit),
            relaxed);
        return 0;
    }
    return ENOENT;
}

std::string choices(std::string_view key)
{
    if (key == "size")
        return "COLUMNSxROWS: 1, 2 or 4 rows of up to 40 columns, 80 characters in all";
    if (key == "wiring")
        return "4bit, winamp";
    return {};
}

} // namespace

extern const PeripheralType lcd_peripheral{
    .device = QPORT_SIM_DEVICE_LCD,
    .name = "lcd",
    .summary = "an HD44780 character display, wired as LCDproc wires it",
    .state = state_layout<Display>(1),
    .lines_changed = lines_changed,
    .status = status,
    .reset = reset,
    .describe = describe,
    .set = set,
    .choices = choices,
    .keys = "size, wiring",
};

} // namespace qport::sim
