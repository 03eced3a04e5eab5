// SPDX-License-Identifier: LGPL-2.1-or-later
// The six transfers on the simulated port space: what reaches the ports,
// what comes back, and the port model itself.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"
#include "recording_presenter.h"

namespace {

std::vector<qport_sim_transfer> recorded()
{
    std::vector<qport_sim_transfer> transfers(qport_sim_transfers(nullptr, 0));
    transfers.resize(qport_sim_transfers(transfers.data(), transfers.size()));
    return transfers;
}

struct Expected {
    char direction;
    unsigned width_bits;
    std::uint16_t port;
    std::uint32_t value;
};

void expect_transfers(const std::vector<Expected> &expected)
{
    const auto transfers = recorded();
    ASSERT_EQ(transfers.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("transfer " + std::to_string(i));
        EXPECT_EQ(transfers[i].direction, expected[i].direction);
        EXPECT_EQ(transfers[i].width_bits, expected[i].width_bits);
        EXPECT_EQ(transfers[i].port, expected[i].port);
        EXPECT_EQ(transfers[i].value, expected[i].value);
    }
}

class SimulatedTransfers : public FreshMachine {
protected:
    RecordingPresenter presenter;
};

// Reads of a register holding these bytes (lowest port first), widened to
// int the way a caller does it.
struct SignCase {
    const char *name;
    std::vector<std::uint8_t> bytes;
    int expected;
};

TEST_F(SimulatedTransfers, ReadsAreSignExtendedAtEveryWidth)
{
    constexpr short port = 0x300;
    const SignCase cases[] = {
        {"8-bit 0xFF", {0xFF}, -1},
        {"8-bit 0x80", {0x80}, -128},
        {"8-bit 0x7F", {0x7F}, 127},
        {"8-bit 0x00", {0x00}, 0},
        {"16-bit 0xFFFF", {0xFF, 0xFF}, -1},
        {"16-bit 0x8000", {0x00, 0x80}, -32768},
        {"16-bit 0x7FFF", {0xFF, 0x7F}, 32767},
        {"16-bit 0x00FF", {0xFF, 0x00}, 255},
        {"32-bit 0xFFFFFFFF", {0xFF, 0xFF, 0xFF, 0xFF}, -1},
        {"32-bit 0x80000000", {0x00, 0x00, 0x00, 0x80}, INT32_MIN},
        {"32-bit 0x7FFFFFFF", {0xFF, 0xFF, 0xFF, 0x7F}, INT32_MAX},
    };
    for (const SignCase &c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t i = 0; i < c.bytes.size(); ++i)
            qport_sim_preset(static_cast<std::uint16_t>(port + i), c.bytes[i]);
        int value = 0;
        switch (c.bytes.size()) {
        case 1:
            value = inportb(port);
            break;
        case 2:
            value = inportw(port);
            break;
        default:
            value = inport(port);
            break;
        }
        EXPECT_EQ(value, c.expected);
    }
}

TEST_F(SimulatedTransfers, WritesReachThePortsWithAllTheirBits)
{
    outport(0x378, 16777215);
    outportw(0x378, -256);
    outportb(17786, -38);
    outportb(-1, 0x12);
    expect_transfers({
        {'o', 32, 0x378, 0x00FFFFFF},
        {'o', 16, 0x378, 0xFF00},
        {'o', 8, 0x457A, 0xDA},
        {'o', 8, 0xFFFF, 0x12},
    });
    EXPECT_EQ(qport_sim_peek(0x378), 0x00);
}

TEST_F(SimulatedTransfers, NegativePortNumbersAddressTheUpperHalf)
{
    qport_sim_preset(0xFFFF, 0x5A);
    qport_sim_preset(0x8000, 0xA5);
    EXPECT_EQ(inportb(-1), 0x5A);
    EXPECT_EQ(static_cast<unsigned char>(inportb(-32768)), 0xA5);
    expect_transfers({{'i', 8, 0xFFFF, 0x5A}, {'i', 8, 0x8000, 0xA5}});
}

TEST_F(SimulatedTransfers, ParallelPortModel)
{
    // At reset: data latch 0, status 0x7F, control 0x0C with bits 5..7 high.
    EXPECT_EQ(qport_sim_peek(0x378), 0x00);
    EXPECT_EQ(qport_sim_peek(0x379), 0x7F);
    EXPECT_EQ(qport_sim_peek(0x37A), 0xEC);
    EXPECT_EQ(qport_sim_peek(0x37B), 0xFF);

    outportb(0x378, 0x55);
    outportb(0x379, 0x00);
    outportb(0x37A, 0x01);
    outportb(0x300, 0x00);
    EXPECT_EQ(inportb(0x378), 0x55) << "the data latch reads back what was written";
    EXPECT_EQ(inportb(0x379), 0x7F) << "the status register ignores writes";
    EXPECT_EQ(static_cast<unsigned char>(inportb(0x37A)), 0xE1)
        << "unused control bits read as ones";
    EXPECT_EQ(inportb(0x300), -1) << "an unbacked port reads all ones";
}

TEST_F(SimulatedTransfers, WideTransfersSpanConsecutivePortsLittleEndian)
{
    outport(0x378, 0x04030201);
    EXPECT_EQ(qport_sim_peek(0x378), 0x01);
    EXPECT_EQ(qport_sim_peek(0x379), 0x7F);
    EXPECT_EQ(qport_sim_peek(0x37A), 0xE3);
    EXPECT_EQ(inportw(0x378), 0x7F01);
    EXPECT_EQ(inport(0x378), static_cast<int>(0xFFE37F01));
    expect_transfers(
        {{'o', 32, 0x378, 0x04030201}, {'i', 16, 0x378, 0x7F01}, {'i', 32, 0x378, 0xFFE37F01}});
}

// Every wide transfer, at every start around the parallel port, acts as its
// bytes would one after the other: with nothing recorded (the inline path
// of a program that never looks) and recorded alike.
TEST_F(SimulatedTransfers, AWideTransferActsAsItsBytesInTurn)
{
    constexpr std::uint32_t written = 0xA1B2C3D4;
    for (const bool recording : {false, true}) {
        for (const unsigned bytes : {2U, 4U}) {
            for (std::uint16_t start = 0x374; start <= 0x37C; ++start) {
                SCOPED_TRACE(::testing::Message()
                             << (recording ? "recorded, " : "not recorded, ") << bytes * 8
                             << " bits at 0x" << std::hex << start);
                // What the bytes one by one make of a machine at reset.
                qport_sim_reset();
                for (unsigned i = 0; i < bytes; ++i)
                    outportb(static_cast<short>(start + i), static_cast<char>(written >> (8 * i)));
                std::uint8_t expected[16];
                for (unsigned i = 0; i < 16; ++i)
                    expected[i] = qport_sim_peek(static_cast<std::uint16_t>(0x372 + i));
                std::uint32_t expected_read = 0;
                for (unsigned i = 0; i < bytes; ++i)
                    expected_read |= std::uint32_t{expected[start + i - 0x372]} << (8 * i);

                qport_sim_reset();
                qport_sim_record_transfers(recording ? 1 : 0);
                const auto port = static_cast<short>(start);
                std::uint32_t read = 0;
                if (bytes == 2) {
                    outportw(port, static_cast<short>(written));
                    read = static_cast<std::uint16_t>(inportw(port));
                } else {
                    outport(port, static_cast<int>(written));
                    read = static_cast<std::uint32_t>(inport(port));
                }
                qport_sim_record_transfers(1);
                EXPECT_EQ(read, expected_read);
                for (unsigned i = 0; i < 16; ++i)
                    EXPECT_EQ(qport_sim_peek(static_cast<std::uint16_t>(0x372 + i)), expected[i])
                        << "port 0x" << std::hex << 0x372 + i;
            }
        }
    }
}

struct PastLastPortCase {
    unsigned width_bits;
    short port;
};

TEST_F(SimulatedTransfers, WideTransfersPastTheLastPortAreRefusedAndToldOnce)
{
    const PastLastPortCase cases[] = {{16, -1}, {32, -3}, {32, -2}, {32, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width_bits << " bits at " << c.port);
        if (c.width_bits == 16) {
            EXPECT_EQ(inportw(c.port), -1);
            outportw(c.port, 0);
        } else {
            EXPECT_EQ(inport(c.port), -1);
            outport(c.port, 0);
        }
    }
    EXPECT_TRUE(recorded().empty());
    const auto notices = presenter.notices();
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_EQ(notices[0].title, "Transfer refused");
    EXPECT_NE(notices[0].text.find("16-bit transfer at port 0xFFFF"), std::string::npos);

    // The last ports that a wide transfer may start at still work.
    inportw(-2);
    inport(-4);
    expect_transfers({{'i', 16, 0xFFFE, 0xFFFF}, {'i', 32, 0xFFFC, 0xFFFFFFFF}});
}

// The ring keeps the last QPORT_SIM_RECORDS; the count of what was
// recorded goes on past it, and starts again when the record is cleared.
TEST_F(SimulatedTransfers, TheTotalCountsPastWhatTheRecordKeeps)
{
    constexpr std::uint64_t made = QPORT_SIM_RECORDS + 4465;
    for (std::uint64_t i = 0; i < made; ++i)
        outportb(0x80, static_cast<char>(i));
    EXPECT_EQ(qport_sim_transfers(nullptr, 0), std::size_t{QPORT_SIM_RECORDS});
    EXPECT_EQ(qport_sim_transfer_total(), made);
    qport_sim_clear_transfers();
    EXPECT_EQ(qport_sim_transfer_total(), 0U);
}

} // namespace
