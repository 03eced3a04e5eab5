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
    EXPECT_NE(inportb(0x379) & 0x10, 0);
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
