// SPDX-License-Identifier: LGPL-2.1-or-later
// The HD44780 display on the simulated parallel port, driven line by line
// as LCDproc's hd44780 driver drives it in each wiring, and read back from
// what its rows show.
#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_properties.h"
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

constexpr short data_port = 0x378;
constexpr short status_port = 0x379;
constexpr short control_port = 0x37A;

// One register write, and sequences of them.
struct Write {
    short port;
    std::uint8_t value;
};
using Writes = std::vector<Write>;

Writes operator+(Writes first, const Writes &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The 4bit wiring: D0..D3 the nibble, D4 RS, D5 RW, D6 E.
constexpr std::uint8_t rs4 = 0x10;
constexpr std::uint8_t rw4 = 0x20;
constexpr std::uint8_t e4 = 0x40;

// One E pulse with the other lines held, as LCDproc's senddata makes it.
Writes pulse4(std::uint8_t lines)
{
    return {
        {data_port, lines}, {data_port, static_cast<std::uint8_t>(lines | e4)}, {data_port, lines}};
}

Writes byte4(std::uint8_t lines, std::uint8_t byte)
{
    return pulse4(static_cast<std::uint8_t>(lines | byte >> 4)) +
           pulse4(static_cast<std::uint8_t>(lines | (byte & 0x0F)));
}

Writes command4(std::uint8_t code) { return byte4(0, code); }

Writes text4(const std::string &text)
{
    Writes writes;
    for (const char c : text)
        writes = writes + byte4(rs4, static_cast<std::uint8_t>(c));
    return writes;
}

// LCDproc's hd_init_4bit and common_init: 0x3 three times and 0x2 in the
// 8-bit interface, then two lines, display on, clear, increment, home.
Writes init4()
{
    return pulse4(0x03) + pulse4(0x03) + pulse4(0x03) + pulse4(0x02) + command4(0x28) +
           command4(0x0C) + command4(0x01) + command4(0x06) + command4(0x02);
}

// The winamp wiring: D0..D7 the data, E at nStrobe, RW at nAutoFeed, RS at
// nInit. The port inverts control bits 0, 1 and 3, so E high is bit 0
// clear and a write (RW low) is bit 1 set; nSelectIn stays as LCDproc
// leaves it.
std::uint8_t winamp_control(bool enable, bool read, bool data_register)
{
    return static_cast<std::uint8_t>((enable ? 0 : 0x01) | (read ? 0 : 0x02) |
                                     (data_register ? 0x04 : 0) | 0x08);
}

Writes byte8(bool data_register, std::uint8_t byte)
{
    return {{control_port, winamp_control(false, false, data_register)},
            {data_port, byte},
            {control_port, winamp_control(true, false, data_register)},
            {control_port, winamp_control(false, false, data_register)}};
}

Writes command8(std::uint8_t code) { return byte8(false, code); }

Writes text8(const std::string &text)
{
    Writes writes;
    for (const char c : text)
        writes = writes + byte8(true, static_cast<std::uint8_t>(c));
    return writes;
}

Writes read8(bool data_register)
{
    return {{control_port, winamp_control(false, true, data_register)},
            {control_port, winamp_control(true, true, data_register)},
            {control_port, winamp_control(false, true, data_register)}};
}

// LCDproc's hd_init_winamp and common_init.
Writes init8()
{
    return command8(0x30) + command8(0x30) + command8(0x38) + command8(0x0C) + command8(0x01) +
           command8(0x06) + command8(0x02);
}

std::map<std::string, std::string> lpt1_properties() { return device_properties("lpt1"); }

std::string padded(std::string text, std::size_t width)
{
    text.resize(width, ' ');
    return text;
}

class Lcd : public FreshMachine {
protected:
    // On a machine just reset, as at power-on.
    static void plug(const std::string &choice)
    {
        qport_sim_reset();
        ASSERT_EQ(qport_sim_set_device_property("lpt1", "peripheral", choice.c_str()), 0) << choice;
    }
    static void drive(const Writes &writes)
    {
        for (const Write &write : writes)
            outportb(write.port, static_cast<char>(write.value));
    }
};

struct GlassCase {
    const char *name;
    const char *peripheral;
    Writes writes;
    std::map<std::string, std::string> shown; // properties afterwards
};

void expect_shown(const std::map<std::string, std::string> &shown)
{
    const std::map<std::string, std::string> properties = lpt1_properties();
    for (const auto &[key, value] : shown) {
        const auto found = properties.find(key);
        ASSERT_NE(found, properties.end()) << key;
        EXPECT_EQ(found->second, value) << key;
    }
}

TEST_F(Lcd, SequencesShowOnTheGlassAsOnTheChip)
{
    std::string alphabet = "abcdefghijklmnopqrstuvwxy";
    const GlassCase cases[] = {
        {"power-on: 8-bit interface, one line, display off",
         "lcd",
         {},
         {{"mode", "8-bit"},
          {"display", "off"},
          {"controller-lines", "1"},
          {"line1", padded("", 20)},
          {"cursor", "1,1 hidden"},
          {"size", "20x4"},
          {"wiring", "4bit"}}},
        {"the init dance reaches the 4-bit interface",
         "lcd",
         init4(),
         {{"mode", "4-bit"},
          {"display", "on"},
          {"controller-lines", "2"},
          {"address-counter", "ddram 0x00"}}},
        {"on the 4bit wiring before the dance a nibble is a whole instruction, DB0..DB3 "
         "held high",
         "lcd",
         pulse4(0x00),
         {{"display", "on"}, {"cursor", "1,1 underline blinking"}, {"mode", "8-bit"}}},
        {"text is written where the address counter points, which moves on",
         "lcd",
         init4() + text4("Hello"),
         {{"line1", padded("Hello", 20)},
          {"cursor", "1,6 hidden"},
          {"address-counter", "ddram 0x05"}}},
        {"16x2: line 2 at 0x40",
         "lcd:size=16x2",
         init4() + text4("Top") + command4(0xC0) + text4("Bottom"),
         {{"line1", padded("Top", 16)}, {"line2", padded("Bottom", 16)}, {"cursor", "2,7 hidden"}}},
        {"20x4: rows 3 and 4 at 0x14 and 0x54",
         "lcd",
         init4() + command4(0x94) + text4("three") + command4(0xD4) + text4("four") +
             command4(0xC0) + text4("two") + command4(0x80) + text4("one"),
         {{"line1", padded("one", 20)},
          {"line2", padded("two", 20)},
          {"line3", padded("three", 20)},
          {"line4", padded("four", 20)}}},
        {"20x4: row 1 runs on into row 3",
         "lcd",
         init4() + text4(alphabet),
         {{"line1", alphabet.substr(0, 20)},
          {"line3", padded("uvwxy", 20)},
          {"cursor", "3,6 hidden"}}},
        {"the end of line 1 (0x27) runs on into line 2 (0x40)",
         "lcd",
         init4() + command4(0xA6) + text4("abc"),
         {{"line3", padded("", 18) + "ab"}, {"line2", padded("c", 20)}}},
        {"clear blanks DDRAM, goes home and sets increment again",
         "lcd",
         init4() + text4("gone") + command4(0x04) + command4(0x01) + text4("ab"),
         {{"line1", padded("ab", 20)}, {"cursor", "1,3 hidden"}}},
        {"return home keeps the text and undoes the shift",
         "lcd",
         init4() + text4("abc") + command4(0x18) + command4(0x02),
         {{"line1", padded("abc", 20)}, {"cursor", "1,1 hidden"}}},
        {"entry mode decrement writes right to left",
         "lcd",
         init4() + command4(0x04) + command4(0x85) + text4("abc"),
         {{"line1", padded("   cba", 20)}, {"cursor", "1,3 hidden"}}},
        {"entry mode shift keeps the cursor still and moves the text",
         "lcd:size=16x2",
         init4() + command4(0x07) + command4(0x90) + text4("abc"),
         {{"line1", padded("", 13) + "abc"}, {"cursor", "off-screen hidden"}}},
        {"display shift left, and right past the start",
         "lcd",
         init4() + text4("abcdef") + command4(0x18) + command4(0x18) + command4(0x1C) +
             command4(0x1C) + command4(0x1C),
         {{"line1", padded(" abcdef", 20)}, {"cursor", "1,8 hidden"}}},
        {"cursor moves, then shows as underline and blinking",
         "lcd",
         init4() + command4(0x14) + command4(0x14) + command4(0x10) + command4(0x0F),
         {{"cursor", "1,2 underline blinking"}, {"address-counter", "ddram 0x01"}}},
        {"display off and on again: DDRAM kept",
         "lcd",
         init4() + text4("kept") + command4(0x08) + command4(0x0E),
         {{"line1", padded("kept", 20)}, {"cursor", "1,5 underline"}}},
        {"CGRAM characters are written row by row and show as placeholders",
         "lcd",
         init4() + command4(0x40) + text4("\x1F\x11\x11\x11\x11\x11\x1F") + byte4(rs4, 0x00) +
             byte4(rs4, 0x0E) + command4(0x80) + byte4(rs4, 0x00) + byte4(rs4, 0x01) +
             byte4(rs4, 0x0F) + text4("\\~"),
         {{"line1", "⓪①⑦¥→" + padded("", 15)},
          {"cgram", "1f11111111111f00 0e00000000000000 0000000000000000 0000000000000000 "
                    "0000000000000000 0000000000000000 0000000000000000 0000000000000000"}}},
        {"a lone nibble pairs with the next: every later byte is out of step",
         "lcd",
         init4() + text4("A") + pulse4(rs4 | 0x4) + text4("BC"),
         {{"line1", padded("AD$", 20)}}},
        {"the init dance brings nibbles back in step",
         "lcd",
         init4() + text4("A") + pulse4(rs4 | 0x4) + pulse4(0x03) + pulse4(0x03) + pulse4(0x03) +
             pulse4(0x02) + command4(0x28) + command4(0x81) + text4("B"),
         {{"line1", padded("AB", 20)}, {"mode", "4-bit"}}},
        {"one-line mode drives line 1 only, 80 cells long",
         "lcd:wiring=winamp",
         command8(0x30) + command8(0x0C) + command8(0x01) + text8(alphabet) + command8(0xC0) +
             text8("x"),
         {{"line1", alphabet.substr(0, 20)},
          {"line2", padded("", 20)},
          {"line3", padded("uvwxy", 20)},
          {"controller-lines", "1"}}},
        {"16x1 is two lines of 8 side by side",
         "lcd:size=16x1",
         init4() + text4("abcdefgh") + command4(0xC0) + text4("ijklmnop"),
         {{"line1", "abcdefghijklmnop"}}},
        {"winamp: LCDproc's 8-bit init and text",
         "lcd:wiring=winamp,size=16x2",
         init8() + text8("winamp") + command8(0xC0) + text8("8-bit"),
         {{"line1", padded("winamp", 16)},
          {"line2", padded("8-bit", 16)},
          {"mode", "8-bit"},
          {"wiring", "winamp"}}},
    };
    for (const GlassCase &c : cases) {
        SCOPED_TRACE(c.name);
        plug(c.peripheral);
        drive(c.writes);
        expect_shown(c.shown);
    }
}

// The port's data lines are outputs, so the PC never sees what the chip
// drives on a read; the chip still moves its address counter as it reads,
// and last-read shows what it put out.
TEST_F(Lcd, ReadsGiveTheBusyFlagAndAddressOrTheDataAndMoveOnAsTheChipDoes)
{
    const GlassCase cases[] = {
        {"nothing read yet", "lcd", init4() + text4("abc"), {{"last-read", "none"}}},
        {"busy flag (never set) and address counter, which stays",
         "lcd:wiring=winamp",
         init8() + command8(0x85) + read8(false),
         {{"last-read", "0x05"}, {"address-counter", "ddram 0x05"}}},
        {"a DDRAM read gives the character and moves on",
         "lcd:wiring=winamp",
         init8() + text8("xyz") + command8(0x81) + read8(true),
         {{"last-read", "0x79"}, {"address-counter", "ddram 0x02"}}},
        {"a CGRAM read gives the row written",
         "lcd:wiring=winamp",
         init8() + command8(0x40) + text8("\x01\x02\x03") + command8(0x41) + read8(true),
         {{"last-read", "0x02"}, {"address-counter", "cgram 0x02"}}},
        {"4-bit: the busy flag in two nibbles",
         "lcd",
         init4() + command4(0xC3) + pulse4(rw4) + pulse4(rw4),
         {{"last-read", "0x43"}, {"address-counter", "ddram 0x43"}}},
        {"4-bit: a data read in two nibbles, then writes stay in step",
         "lcd",
         init4() + text4("Qa") + command4(0x80) + pulse4(rw4 | rs4) + pulse4(rw4 | rs4) +
             text4("R"),
         {{"last-read", "0x51"}, {"line1", padded("QR", 20)}}},
        {"a read at power-on's E high ends when LCDproc first lowers E",
         "lcd:wiring=winamp",
         {{control_port, winamp_control(false, false, false)}},
         {{"last-read", "0x20"}, {"address-counter", "ddram 0x01"}}},
    };
    for (const GlassCase &c : cases) {
        SCOPED_TRACE(c.name);
        plug(c.peripheral);
        drive(c.writes);
        expect_shown(c.shown);
    }
}

// The chip acts on E falling and on nothing else: writes that leave E as it
// was, or change the other lines while E is high, do nothing by themselves.
TEST_F(Lcd, OnlyAFallingEnableTakesACycle)
{
    const GlassCase cases[] = {
        {"the same data written again with E low",
         "lcd:wiring=winamp",
         init8() + text8("a") + Writes{{data_port, 'a'}, {data_port, 'a'}},
         {{"line1", padded("a", 20)}}},
        {"E held high over several writes: one cycle, with the data at its fall",
         "lcd:wiring=winamp",
         init8() + Writes{{control_port, winamp_control(false, false, true)},
                          {data_port, 'x'},
                          {control_port, winamp_control(true, false, true)},
                          {control_port, winamp_control(true, false, true)},
                          {data_port, 'y'},
                          {control_port, winamp_control(false, false, true)},
                          {control_port, winamp_control(false, false, true)}},
         {{"line1", padded("y", 20)}}},
        {"two pulses with nothing else changed write twice",
         "lcd:wiring=winamp",
         init8() + Writes{{control_port, winamp_control(false, false, true)},
                          {data_port, 'z'},
                          {control_port, winamp_control(true, false, true)},
                          {control_port, winamp_control(false, false, true)},
                          {control_port, winamp_control(true, false, true)},
                          {control_port, winamp_control(false, false, true)}},
         {{"line1", padded("zz", 20)}}},
        {"4bit: the control register carries no line of the display",
         "lcd",
         init4() + Writes{{control_port, 0x04}, {control_port, 0x0B}, {control_port, 0x04}},
         {{"line1", padded("", 20)}, {"address-counter", "ddram 0x00"}}},
        {"4bit: D7 (a second controller's E) goes nowhere",
         "lcd",
         init4() + Writes{{data_port, rs4 | 0x4}, {data_port, 0x80 | rs4 | 0x4}, {data_port, 0}},
         {{"line1", padded("", 20)}, {"address-counter", "ddram 0x00"}}},
    };
    for (const GlassCase &c : cases) {
        SCOPED_TRACE(c.name);
        plug(c.peripheral);
        drive(c.writes);
        expect_shown(c.shown);
    }
}

TEST_F(Lcd, StatusLinesFloatHighInEitherWiring)
{
    for (const char *peripheral : {"lcd", "lcd:wiring=winamp"}) {
        SCOPED_TRACE(peripheral);
        plug(peripheral);
        drive(init4() + text4("status") + init8());
        EXPECT_EQ(static_cast<std::uint8_t>(inportb(status_port)), 0x7F);
        EXPECT_EQ(qport_sim_peek(status_port), 0x7F);
    }
}

// A reset of the machine is a power cycle for the display: its text and
// modes go, its size and wiring stay.
TEST_F(Lcd, MachineResetPowersTheDisplayUpAgainWithItsSettings)
{
    plug("lcd:size=16x2,wiring=winamp");
    drive(init8() + text8("before"));
    qport_sim_reset();
    expect_shown({{"size", "16x2"},
                  {"wiring", "winamp"},
                  {"display", "off"},
                  {"mode", "8-bit"},
                  {"last-read", "none"}});
    drive(command8(0x0C));
    expect_shown({{"line1", padded("", 16)}});
}

TEST_F(Lcd, SettingsTakeTheSizesOneControllerDrivesAndLcdprocsWirings)
{
    struct Case {
        const char *key, *value;
        int error;
        const char *size, *wiring; // afterwards
    };
    const Case cases[] = {
        {"size", "40x2", 0, "40x2", "4bit"},        {"size", "8x1", 0, "8x1", "4bit"},
        {"size", "40x4", EINVAL, "8x1", "4bit"},    {"size", "41x1", EINVAL, "8x1", "4bit"},
        {"size", "20x3", EINVAL, "8x1", "4bit"},    {"size", "0x2", EINVAL, "8x1", "4bit"},
        {"size", "16", EINVAL, "8x1", "4bit"},      {"wiring", "winamp", 0, "8x1", "winamp"},
        {"wiring", "4bit", 0, "8x1", "4bit"},       {"wiring", "8bit", EINVAL, "8x1", "4bit"},
        {"colour", "green", ENOENT, "8x1", "4bit"},
    };
    plug("lcd");
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        errno = 0;
        EXPECT_EQ(qport_sim_set_device_property("lpt1", c.key, c.value), c.error == 0 ? 0 : -1);
        EXPECT_EQ(errno, c.error);
        expect_shown({{"size", c.size}, {"wiring", c.wiring}});
    }
    EXPECT_EQ(qport_sim_set_device_property("lpt1", "peripheral", "lcd:size=16x2,wiring=serial"),
              -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(qport_sim_set_device(QPORT_SIM_DEVICE_LCD), 0);
    EXPECT_STREQ(qport_sim_device_name(QPORT_SIM_DEVICE_LCD), "lcd");
    expect_shown({{"size", "20x4"}, {"wiring", "4bit"}});
}

} // namespace
