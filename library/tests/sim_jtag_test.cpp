// SPDX-License-Identifier: LGPL-2.1-or-later
// The JTAG target on the simulated parallel port, driven through its DLC5
// cable as a JTAG program drives it: TMS and TDI on the data lines, clocked
// by TCK, TDO read from the status register.
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

constexpr std::uint8_t tdi_line = 0x01, tck_line = 0x02, tms_line = 0x04, power_line = 0x10;

class Jtag : public FreshMachine {
protected:
    void SetUp() override
    {
        FreshMachine::SetUp();
        ASSERT_EQ(qport_sim_set_device_property("lpt1", "peripheral", "jtag"), 0);
        lines(0);
    }

    static void lines(std::uint8_t data, bool powered = true)
    {
        outportb(0x378, static_cast<char>(data | (powered ? power_line : 0)));
    }
    // One TCK period: low with TMS and TDI set up, then the rising edge.
    static void clock(bool tms, bool tdi = false, bool powered = true)
    {
        const auto data = static_cast<std::uint8_t>((tms ? tms_line : 0) | (tdi ? tdi_line : 0));
        lines(data, powered);
        lines(data | tck_line, powered);
    }
    static bool tdo()
    {
        lines(0);
        return (inportb(0x379) & 0x10) != 0;
    }
    static void clocks(const std::string &tms_bits)
    {
        for (const char bit : tms_bits)
            clock(bit == '1');
    }
    // Shifts bits (LSB first) in and returns the first 64 that came out; the
    // state must
    // be Shift-IR or Shift-DR. With exit, the last bit is shifted on the
    // way to Exit1, as every JTAG program does it; otherwise the state
    // stays.
    static std::uint64_t shift(unsigned count, std::uint64_t in = 0, bool exit = false)
    {
        std::uint64_t out = 0;
        for (unsigned i = 0; i < count; ++i) {
            const bool bit = tdo();
            if (i < 64)
                out |= std::uint64_t{bit} << i;
            clock(exit && i + 1 == count, i < 64 && ((in >> i) & 1) != 0);
        }
        return out;
    }
    static std::string property(const char *key) { return device_properties("lpt1")[key]; }
};

// Paths through the controller from Test-Logic-Reset, by TMS.
const std::string to_shift_dr = "0100";   // Run-Test/Idle, Select-DR, Capture-DR, Shift-DR
const std::string to_shift_ir = "01100";  // ... Select-IR, Capture-IR, Shift-IR
const std::string update_and_idle = "10"; // from Exit1: Update, Run-Test/Idle

TEST_F(Jtag, ResetSelectsIdcodeWhichShiftsOutLeastSignificantBitFirst)
{
    clocks("11111");
    EXPECT_EQ(property("tap-state"), "Test-Logic-Reset");
    clocks(to_shift_dr);
    EXPECT_EQ(property("tap-state"), "Shift-DR");
    EXPECT_EQ(shift(32), 0x01414093U);
    // Shifted past its end, the register hands on what came in.
    EXPECT_EQ(shift(8, 0xA5), 0x00U);
    EXPECT_EQ(shift(32), 0xA5U << 24) << "the bits shifted in come out 32 clocks later";
}

TEST_F(Jtag, InstructionRegisterCapturesItsPatternAndSelectsTheDataRegister)
{
    struct Case {
        const char *name;
        std::uint32_t opcode;
        unsigned length; // of the selected data register, measured by a marker bit
        const char *instruction;
    };
    const Case cases[] = {
        {"BYPASS", 0x3F, 1, "BYPASS"},
        {"an opcode the part lacks selects BYPASS", 0x2A, 1, "BYPASS (unknown 0x2a)"},
        {"IDCODE", 0x09, 32, "IDCODE"},
        {"SAMPLE/PRELOAD", 0x01, 599, "SAMPLE/PRELOAD"},
        {"EXTEST", 0x00, 599, "EXTEST"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        clocks("11111");
        clocks(to_shift_ir);
        EXPECT_EQ(shift(6, c.opcode, true), 0x11U) << "the capture pattern, ending in 01";
        clocks(update_and_idle);
        EXPECT_EQ(property("instruction"), c.instruction);
        clocks("100"); // Select-DR, Capture-DR, Shift-DR
        // After the captured bits, a 1 shifted in comes out after exactly
        // the register's length.
        shift(c.length); // what was captured
        unsigned seen = 0;
        for (unsigned i = 0; i < 700 && seen == 0; ++i) {
            if (tdo())
                seen = i;
            clock(false, i == 0);
        }
        EXPECT_EQ(seen, c.length);
    }
}

TEST_F(Jtag, FiveClocksWithTmsHighResetFromAnyState)
{
    for (const std::string &path :
         {std::string(""), to_shift_dr, to_shift_ir, to_shift_ir + "1", to_shift_dr + "10"}) {
        SCOPED_TRACE(path);
        clocks(path);
        clocks("11111");
        EXPECT_EQ(property("tap-state"), "Test-Logic-Reset");
        EXPECT_EQ(property("instruction"), "IDCODE");
    }
}

// The cable is powered from D4: with it low, nothing is clocked and TDO
// floats high, as when no cable is plugged in.
TEST_F(Jtag, AnUnpoweredCableClocksNothing)
{
    clocks("11111");
    for (int i = 0; i < 4; ++i)
        clock(i == 1, false, false);
    EXPECT_EQ(property("tap-state"), "Test-Logic-Reset");
    lines(0, false);
    EXPECT_EQ(inportb(0x379) & 0x10, 0) << "TDO reads 0 with the cable's buffer off";
}

TEST_F(Jtag, TdoChangesOnTheFallingEdgeAsXc3sprogReadsItWithTckHigh)
{
    clocks("11111");
    clocks(to_shift_dr); // TCK high; IDCODE captured, bit 0 not yet out
    lines(tck_line);
    EXPECT_EQ(inportb(0x379) & 0x10, 0x10) << "still the floating line of Capture-DR";
    // xc3sprog's txrx: TCK low, TCK high, then TDO: the bit the falling
    // edge put out, not the one the rising edge shifted to the end.
    std::uint32_t id = 0;
    for (unsigned i = 0; i < 32; ++i) {
        clock(false);
        id |= static_cast<std::uint32_t>((inportb(0x379) & 0x10) != 0 ? 1 : 0) << i;
    }
    EXPECT_EQ(id, 0x01414093U);
}

TEST_F(Jtag, D6LoopsBackToBusyAndPaperOutAsOnTheRealCable)
{
    // xc3sprog's cable check: nError high, and D6 seen on Busy (inverted by
    // the port) and PaperOut; the status never 0x00 or 0xFF.
    outportb(0x378, 0x10);
    EXPECT_EQ(inportb(0x379) & 0xA8, 0x88);
    outportb(0x378, 0x50);
    EXPECT_EQ(inportb(0x379) & 0xA8, 0x28);
    for (const unsigned data : {0x00U, 0x10U, 0x40U, 0x50U, 0xFFU}) {
        outportb(0x378, static_cast<char>(data));
        EXPECT_NE(inportb(0x379), 0x00);
        EXPECT_NE(inportb(0x379), 0xFF);
    }
}

TEST_F(Jtag, ConfigurationRaisesDoneOnlyAfterAWholeBitstreamWithItsSyncWord)
{
    // Xilinx's JTAG flow: JPROGRAM, CFG_IN with the bitstream (each byte
    // MSB first), JSTART and its clocks; DONE is bit 5 of the IR capture.
    const auto instruction = [](std::uint32_t opcode) {
        clocks("1100"); // from Run-Test/Idle to Shift-IR
        const auto captured = static_cast<std::uint32_t>(shift(6, opcode, true));
        clocks(update_and_idle);
        return captured;
    };
    struct Case {
        const char *name;
        std::uint32_t bits;
        bool with_sync;
        bool done;
    };
    for (const Case &c :
         {Case{"whole", 1047616, true, true}, Case{"cut short", 1047615, true, false},
          Case{"no sync word", 1047616, false, false}}) {
        SCOPED_TRACE(c.name);
        clocks("111110");
        instruction(0x0B); // JPROGRAM
        EXPECT_EQ(instruction(0x05) & 0x30, 0x10U) << "INIT high, DONE low";
        clocks("100"); // Shift-DR
        const std::uint64_t head = c.with_sync ? 0xFFFFFFFFAA995566 : 0xFFFFFFFF00000000;
        for (std::uint32_t i = 0; i < c.bits; ++i) {
            const bool bit = i < 64 && ((head >> (63 - i)) & 1) != 0;
            clock(i + 1 == c.bits, bit);
        }
        clocks(update_and_idle);
        instruction(0x0C); // JSTART
        clocks("0000000000000000");
        EXPECT_EQ(instruction(0x3F) & 0x23, c.done ? 0x21U : 0x01U);
        EXPECT_EQ(property("done"), c.done ? "yes" : "no");
        EXPECT_EQ(property("configuration-bits"), std::to_string(c.bits));
    }
}

TEST_F(Jtag, TheWigglerDrivesTheSameTapOnItsOwnLines)
{
    ASSERT_EQ(qport_sim_set_device_property("lpt1", "peripheral", "jtag:cable=wiggler"), 0);
    // TMS D1, TCK D2, TDI D3, nTRST D4 (high: not in reset), D7 power; TDO
    // on Busy, which the port inverts.
    const auto wiggle = [](bool tms) {
        const auto data = static_cast<std::uint8_t>(0x90 | (tms ? 0x02 : 0));
        outportb(0x378, static_cast<char>(data));
        outportb(0x378, static_cast<char>(data | 0x04));
    };
    for (const bool tms : {true, true, true, true, true, false, true, false, false})
        wiggle(tms);
    EXPECT_EQ(property("tap-state"), "Shift-DR");
    // TDO changes as TCK falls: read with TCK low, then clock.
    std::uint32_t id = 0;
    for (unsigned i = 0; i < 32; ++i) {
        outportb(0x378, static_cast<char>(0x90));
        id |= static_cast<std::uint32_t>((inportb(0x379) & 0x80) == 0 ? 1 : 0) << i;
        wiggle(false);
    }
    EXPECT_EQ(id, 0x01414093U);
    outportb(0x378, static_cast<char>(0x80)); // nTRST low
    EXPECT_EQ(property("tap-state"), "Test-Logic-Reset");
}

TEST_F(Jtag, IdcodeIsSettableAndOddAsEveryIdcode)
{
    EXPECT_EQ(qport_sim_set_device_property("lpt1", "idcode", "0x0141c093"), 0);
    EXPECT_EQ(qport_sim_set_device_property("lpt1", "idcode", "0x0141c092"), -1);
    EXPECT_EQ(errno, EINVAL);
    clocks("11111");
    clocks(to_shift_dr);
    EXPECT_EQ(shift(32), 0x0141C093U);
    EXPECT_EQ(property("idcode"), "0x0141c093");
    qport_sim_reset();
    EXPECT_EQ(property("idcode"), "0x0141c093") << "kept across a reset, as the part is";
}

} // namespace
