// SPDX-License-Identifier: LGPL-2.1-or-later
// The devices on the simulated parallel port, driven as a program drives
// the real ones: a loopback plug read back as wired, and a printer fed by
// the compatibility-mode handshake.
#include <cerrno>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

constexpr short data = 0x378;
constexpr short status = 0x379;
constexpr short control = 0x37A;

using Devices = FreshMachine;

std::uint8_t read_status() { return static_cast<std::uint8_t>(inportb(status)); }

struct LoopbackCase {
    std::uint8_t data;
    std::uint8_t control;
    std::uint8_t status; // bits 7..3: Busy# nAck PaperOut Select nError, as wired
};

TEST_F(Devices, LoopbackPlugReadsBackAsWired)
{
    ASSERT_EQ(qport_sim_set_device(QPORT_SIM_DEVICE_LOOPBACK), 0);
    // One line at a time driven away from its rest level (control 0x0C,
    // data 0x00), then all at once: each moves exactly the status line wired
    // to it. Reserved bits 2..0 read as ones.
    const LoopbackCase cases[] = {
        {0x00, 0x0C, 0xF7}, // rest: Select, PaperOut, nAck, Busy# high; nError low
        {0x01, 0x0C, 0xFF}, // D0 (pin 2) -> nError (pin 15)
        {0xFE, 0x0C, 0xF7}, // D1..D7 are not looped back
        {0x00, 0x0D, 0xE7}, // nStrobe (pin 1) low -> Select (pin 13) low
        {0x00, 0x0E, 0xD7}, // nAutoFeed (pin 14) low -> PaperOut (pin 12) low
        {0x00, 0x08, 0xB7}, // nInit (pin 16) low -> nAck (pin 10) low
        {0x00, 0x04, 0x77}, // nSelectIn (pin 17) high -> Busy (pin 11) high, bit 7 low
        {0x01, 0x03, 0x0F}, // every line away from rest
    };
    for (const LoopbackCase &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "data 0x" << std::hex << int{c.data} << " control 0x" << int{c.control});
        outportb(data, static_cast<char>(c.data));
        outportb(control, static_cast<char>(c.control));
        EXPECT_EQ(read_status(), c.status);
    }
}

// What a printer driver does for each byte: wait until the printer is not
// busy, put the byte on the data lines, pulse nStrobe, and wait for the
// printer's nAck. False when the printer never became ready.
bool print_byte(char byte)
{
    int waits = 0;
    while ((read_status() & 0x80) == 0) // BUSY
        if (++waits > 1000)
            return false;
    outportb(data, byte);
    outportb(control, 0x0D); // nStrobe low
    outportb(control, 0x0C); // nStrobe high
    waits = 0;
    while ((read_status() & 0x40) != 0) // nAck still high
        if (++waits > 1000)
            return false;
    return true;
}

// Each machine has its own printer and output: what is printed on a shared
// machine that names none goes nowhere, not into this process's file.
TEST_F(Devices, ThePrintersOutputFollowsTheMachine)
{
    const ScratchDirectory directory;
    const std::string paper = directory / "paper";
    const std::string machine = directory / "machine";
    ASSERT_EQ(qport_sim_set_device(QPORT_SIM_DEVICE_PRINTER), 0);
    ASSERT_EQ(qport_sim_set_printer_output(paper.c_str()), 0);
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    ASSERT_EQ(qport_sim_set_device(QPORT_SIM_DEVICE_PRINTER), 0);
    ASSERT_TRUE(print_byte('S'));
    ASSERT_EQ(qport_sim_use_machine(nullptr), 0);
    ASSERT_TRUE(print_byte('O'));
    EXPECT_EQ(file_text(paper), "O");
}

TEST_F(Devices, PrinterTakesEachByteStrobedInAndAppendsItToItsOutput)
{
    const ScratchDirectory directory;
    const std::string paper = directory / "paper";
    ASSERT_EQ(qport_sim_set_device(QPORT_SIM_DEVICE_PRINTER), 0);
    ASSERT_EQ(qport_sim_set_printer_output(paper.c_str()), 0);
    EXPECT_EQ(read_status(), 0xDF) << "ready: not busy, nAck high, selected, no error";

    // A NUL and a byte with the top bit set go through like any other.
    const std::string text("Hello, printer\n\x00\xff", 17);
    for (const char byte : text)
        ASSERT_TRUE(print_byte(byte));
    EXPECT_EQ(read_status(), 0xDF) << "ready again after the last acknowledgement";
    EXPECT_EQ(file_text(paper), text);
    EXPECT_EQ(qport_sim_printed_bytes(), 17U);

    // A program that ignores BUSY loses the byte it strobes in meanwhile.
    for (const char byte : {'A', 'B'}) {
        outportb(data, byte);
        outportb(control, 0x0D);
        outportb(control, 0x0C);
    }
    EXPECT_EQ(read_status(), 0x1F) << "still acknowledging A: busy, nAck low";
    EXPECT_EQ(read_status(), 0xDF);
    // nInit low resets a printer in the middle of a byte.
    outportb(data, 'C');
    outportb(control, 0x0D);
    EXPECT_EQ(read_status(), 0x5F) << "busy with C";
    outportb(control, 0x08);
    outportb(control, 0x0C);
    EXPECT_EQ(read_status(), 0xDF);
    EXPECT_EQ(file_text(paper), text + "A");
    EXPECT_EQ(qport_sim_printed_bytes(), 18U);
}

TEST_F(Devices, UnknownDeviceIsRefused)
{
    // As a C caller passes any int: C++ could not even name the value.
    const auto set_device = reinterpret_cast<int (*)(int)>(&qport_sim_set_device);
    EXPECT_EQ(set_device(99), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(qport_sim_current_device(), QPORT_SIM_DEVICE_NONE);
}

} // namespace
