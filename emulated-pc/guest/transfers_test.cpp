// SPDX-License-Identifier: LGPL-2.1-or-later
// The hardware build's transfers on the emulated PC's devices: real port
// instructions against registers whose answers tell a right transfer from a
// wrong one.
//
// The same tests run in both phases. With access refused each transfer must
// execute no instruction: reads give -1 (expected_read) and the host checks
// that nothing reached the debug console ports.
#include <cerrno>
#include <climits>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "guest_support.h"
#include "qport.h"
#include "qport_ext.h"

namespace {

using guest::expected_read;

// The pc machine's first parallel port: the data register reads back the
// last byte written.
constexpr short parallel_data = 0x378;
// PCI configuration mechanism #1. The address register latches 32-bit writes
// only; narrower writes are dropped and narrower reads give 0.
constexpr short pci_config_address = 0xCF8;
constexpr short pci_config_data = 0xCFC;
constexpr int pci_enable_bus0_device0 = INT_MIN; // 0x80000000: host bridge, register 0
// ACPI PM1 enable register of the PIIX4 power management block, which the
// firmware places at 0x600. It answers 16-bit accesses only: a byte read at
// 0x603 gives 0, a byte write there is dropped.
constexpr short pm1_enable = 0x602;
// isa-debugcon ports: bytes written go to files on the host; a read gives
// the device's read-back value 0xE9.
constexpr short debug_console = 0x457A;
constexpr short top_port = -1;          // 0xFFFF
constexpr int debugcon_read_back = -23; // 0xE9

char byte(int value) { return static_cast<char>(value); }

short word(int value) { return static_cast<short>(value); }

TEST(SignExtension, ByteReadsOfTheParallelDataRegister)
{
    struct Case {
        int written;
        int read;
    };
    for (const Case c : {Case{0xFF, -1}, Case{0x80, -128}, Case{0x7F, 127}, Case{0x00, 0}}) {
        outportb(parallel_data, byte(c.written));
        EXPECT_EQ(inportb(parallel_data), expected_read(c.read)) << "after writing " << c.written;
    }
}

TEST(SignExtension, WordReadsOfThePm1EnableRegister)
{
    const short saved = inportw(pm1_enable);
    struct Case {
        short written;
        int read;
    };
    // Bit 0 (timer overflow) stays clear: it would raise interrupts.
    for (const Case c : {Case{word(0xFF00), -256}, Case{word(0x8120), -32480}, Case{0x0120, 288}}) {
        outportw(pm1_enable, c.written);
        EXPECT_EQ(inportw(pm1_enable), expected_read(c.read)) << "after writing " << c.written;
    }
    outportw(pm1_enable, saved);
}

TEST(SignExtension, DoublewordAndWordReadsOfPciConfiguration)
{
    outport(pci_config_address, pci_enable_bus0_device0);
    EXPECT_EQ(inport(pci_config_address), expected_read(INT_MIN));
    // The i440FX host bridge: vendor 0x8086, device 0x1237.
    EXPECT_EQ(inportw(pci_config_data), expected_read(-32634));
    EXPECT_EQ(inportw(static_cast<short>(pci_config_data + 2)), expected_read(0x1237));
    EXPECT_EQ(inport(pci_config_data), expected_read(0x12378086));
    outport(pci_config_address, 0);
}

// The registers that the width tests rely on must tell a transfer of the
// full width from a series of byte transfers; if the emulated devices ever
// stop doing so, these fail rather than the width tests passing emptily.
TEST(TransferWidth, TheRegistersDistinguishByteSeries)
{
    const short saved = inportw(pm1_enable);
    outportw(pm1_enable, 0x0120);
    EXPECT_EQ(inportb(pm1_enable), expected_read(0x20));
    EXPECT_EQ(inportb(static_cast<short>(pm1_enable + 1)), expected_read(0));
    outportb(pm1_enable, 0x21);
    outportb(static_cast<short>(pm1_enable + 1), 0x01);
    EXPECT_EQ(inportw(pm1_enable), expected_read(0x0021));
    outportw(pm1_enable, saved);

    outport(pci_config_address, pci_enable_bus0_device0);
    EXPECT_EQ(inportb(pci_config_address), expected_read(0));
    EXPECT_EQ(inportb(static_cast<short>(pci_config_address + 3)), expected_read(0));
    outport(pci_config_address, 0);
    // The top byte of 0x80000000; 0xCF9 between is the reset control.
    outportb(static_cast<short>(pci_config_address + 3), byte(0x80));
    EXPECT_EQ(inport(pci_config_address), expected_read(0));
}

TEST(TransferWidth, WordTransfersAreSingleWordInstructions)
{
    const short saved = inportw(pm1_enable);
    outportw(pm1_enable, 0x0520);
    EXPECT_EQ(inportw(pm1_enable), expected_read(0x0520));
    outportw(pm1_enable, saved);
}

TEST(TransferWidth, DoublewordTransfersAreSingleDoublewordInstructions)
{
    outport(pci_config_address, static_cast<int>(0x80000008));
    EXPECT_EQ(inport(pci_config_address), expected_read(static_cast<int>(0x80000008)));
    outport(pci_config_address, 0);
    EXPECT_EQ(inport(pci_config_address), expected_read(0));
}

TEST(TopOfPortSpace, ByteTransfersReachPort0xFFFF)
{
    guest::clear_notices();
    EXPECT_EQ(inportb(top_port), expected_read(debugcon_read_back));
    // The host finds exactly this byte in the file of the console at 0xFFFF.
    outportb(top_port, byte(0xA5));
    if (guest::phase() == guest::Phase::granted) {
        EXPECT_TRUE(guest::notices().empty()) << guest::notices().front().title;
    }
}

TEST(TopOfPortSpace, WideTransfersPastTheLastPortAreRefused)
{
    guest::clear_notices();
    EXPECT_EQ(inportw(top_port), -1);
    for (const short port : {short{-3}, short{-2}, short{-1}})
        EXPECT_EQ(inport(port), -1) << "port " << port;
    outportw(top_port, 0x5A5A);
    for (const short port : {short{-3}, short{-2}, short{-1}})
        outport(port, 0x5A5A5A5A);
    // Still alive: none of them reached the processor, which would fault.
    // The first of them told the user, once.
    const auto notices = guest::notices();
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_EQ(notices[0].title, "Transfer refused");
    EXPECT_NE(notices[0].text.find("past the last port"), std::string::npos) << notices[0].text;
}

TEST(DebugConsole, ByteMinus38IsWrittenAs0xDA)
{
    // The host finds exactly the byte 0xDA in the console's file.
    outportb(debug_console, -38);
    EXPECT_EQ(inportb(debug_console), expected_read(debugcon_read_back));
}

TEST(WithheldEntryPoints, OutpbWritesBeforeItsNotice)
{
    outportb(parallel_data, 0x00);
    int seen_by_notice = 0x100; // no notice seen
    guest::set_notice_hook([&](const guest::Notice &notice) {
        if (notice.title == "Function unavailable!")
            seen_by_notice = inportb(parallel_data);
    });
    guest::clear_notices();
    EXPECT_EQ(outpb(parallel_data, 0x55), 1);
    guest::set_notice_hook({});
    EXPECT_EQ(seen_by_notice, expected_read(0x55));
    EXPECT_EQ(inportb(parallel_data), expected_read(0x55));
}

TEST(WithheldEntryPoints, InpbAndInpwReadThenReturnZero)
{
    outportb(parallel_data, 0x5A);
    guest::clear_notices();
    EXPECT_EQ(inpb(parallel_data), 0);
    EXPECT_EQ(inpw(pm1_enable), 0);
    int unavailable = 0;
    for (const auto &notice : guest::notices())
        unavailable += notice.title == "Function unavailable!" ? 1 : 0;
    EXPECT_EQ(unavailable, 2);
}

TEST(Access, TheRequestAtLoadDecidesAndIsExplained)
{
    EXPECT_STREQ(qport_backend(), "hardware");
    const std::string message = qport_access_message();
    std::cout << "access: " << message << "\n";
    if (guest::phase() == guest::Phase::granted) {
        EXPECT_EQ(qport_access_status(), QPORT_ACCESS_GRANTED);
        EXPECT_EQ(qport_access_errno(), 0);
    } else {
        EXPECT_EQ(qport_access_status(), QPORT_ACCESS_NO_PRIVILEGE);
        EXPECT_EQ(qport_access_errno(), EPERM);
        EXPECT_NE(message.find("CAP_SYS_RAWIO"), std::string::npos);
    }
}

// Last, so that every transfer above has been made.
TEST(Access, ARefusalIsToldOncePerProcess)
{
    EXPECT_EQ(guest::notices_ever("Port access refused"),
              guest::phase() == guest::Phase::granted ? 0 : 1);
}

} // namespace

int main(int argc, char **argv)
{
    // Installed before any transfer; the request at load shows nothing.
    qport_set_presenter(guest::record_notice, nullptr);
    return guest::run_tests(argc, argv);
}
