// SPDX-License-Identifier: LGPL-2.1-or-later
// The transfer line format both ways: what the trace and a recording write
// is what a replay reads back, and a file a replay cannot trust is refused
// at its first bad line with the reason.
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "transfer_lines.h"

namespace {

TEST(TransferLines, WrittenLinesReadBack)
{
    const struct {
        std::uint64_t time_ns;
        char direction;
        unsigned width_bits;
        std::uint16_t port;
        std::uint32_t value;
        const char *line;
    } cases[] = {
        {0, 'i', 16, 0x2E, 0x0107, "0.000000000 in 16 0x002e 0x0107\n"},
        {999999999, 'i', 32, 0xFFFC, 0xFFFFFFFF, "0.999999999 in 32 0xfffc 0xffffffff\n"},
        {12000000005, 'o', 8, 0x378, 0x55, "12.000000005 out 8 0x0378 0x55\n"},
    };
    std::string text;
    for (const auto &c : cases) {
        const qport::sim::Line line =
            qport::transfer_line(c.time_ns, c.direction, c.width_bits, c.port, c.value);
        EXPECT_EQ(line.view(), c.line);
        text += line.view();
    }
    const qport::Recording recording = qport::parse_recording(text);
    ASSERT_EQ(recording.error, "");
    ASSERT_EQ(recording.transfers.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const qport::RecordedTransfer &read = recording.transfers[i];
        EXPECT_EQ(read.time_ns, cases[i].time_ns);
        EXPECT_EQ(read.direction, cases[i].direction);
        EXPECT_EQ(read.width_bits, cases[i].width_bits);
        EXPECT_EQ(read.port, cases[i].port);
        EXPECT_EQ(read.value, cases[i].value);
        EXPECT_EQ(read.line, i + 1);
    }
}

TEST(TransferLines, HandEditsAreRead)
{
    const qport::Recording recording =
        qport::parse_recording("# the data latch\n"
                               "\n"
                               "1.5\tout  8 0x378 85   # blanks, decimal, a comment\n"
                               "1.5 in 8 889 0X7F\n");
    ASSERT_EQ(recording.error, "");
    ASSERT_EQ(recording.transfers.size(), 2U);
    EXPECT_EQ(recording.transfers[0].time_ns, 1500000000U);
    EXPECT_EQ(recording.transfers[0].value, 0x55U);
    EXPECT_EQ(recording.transfers[0].line, 3U);
    EXPECT_EQ(recording.transfers[1].port, 0x379);
    EXPECT_EQ(recording.transfers[1].value, 0x7FU);
    EXPECT_EQ(recording.lines, 4U);
}

TEST(TransferLines, BadFilesAreRefusedAtTheirFirstBadLine)
{
    const std::string good = "1.000000000 out 8 0x0378 0x55\n";
    const struct {
        std::string text;
        std::size_t line;
        const char *error;
    } cases[] = {
        {good + "2.0 in 8 0x0379", 2, "the file ends inside this line (cut short?)"},
        {good + std::string("\x7f"
                            "ELF\x02\x01\x01\0\n",
                            9),
         2, "not text (a control character or a NUL byte)"},
        {good + "0.999999999 in 8 0x0379 0x7f\n", 2,
         "time goes backwards (0.999999999 after 1.000000000)"},
        {good + "2.0 in 12 0x0379 0x7f\n", 2, "the width is not 8, 16 or 32"},
        {good + "2.0 read 8 0x0379 0x7f\n", 2, "the direction is neither in nor out"},
        {good + "2.0 in 8 0x10000 0x7f\n", 2, "the port is not a number from 0 to 0xffff"},
        {good + "2.0 in 32 0xfffe 0x7f\n", 2, "the transfer reaches past port 0xffff"},
        {good + "2.0 out 8 0x0378 0x100\n", 2, "the value is not a number that fits 8 bits"},
        {good + "2.0 out 8 0x0378\n", 2, "not a transfer (SECONDS in|out 8|16|32 PORT VALUE)"},
        {good + "2.0 out 8 0x0378 0x55 0x66\n", 2,
         "not a transfer (SECONDS in|out 8|16|32 PORT VALUE)"},
        {"-1 out 8 0x0378 0x55\n", 1, "the time is not SECONDS.NANOSECONDS"},
        {"1.0000000001 out 8 0x0378 0x55\n", 1, "the time is not SECONDS.NANOSECONDS"},
    };
    for (const auto &c : cases) {
        const qport::Recording recording = qport::parse_recording(c.text);
        EXPECT_EQ(recording.error_line, c.line) << c.text;
        EXPECT_EQ(recording.error, c.error) << c.text;
    }
}

// A record's width comes from a shared machine's file: one of 255 bits
// asks for 63 digits, of which a 32-bit value has 8.
TEST(TransferLines, AWidthPastThirtyTwoBitsShowsEightDigits)
{
    const qport::sim::Line line = qport::transfer_line(0, 'i', 0xFF, 0x378, 0x12345678);
    EXPECT_EQ(line.view(), "0.000000000 in 255 0x0378 0x12345678\n");
}

TEST(TransferLines, ALineTooLongForItsBufferStillEnds)
{
    for (const std::size_t length : {std::size_t{504}, std::size_t{505}, std::size_t{506},
                                     std::size_t{511}, std::size_t{512}, std::size_t{600}}) {
        const std::string said = standard_error_of([length] {
            qport::sim::Line line;
            qport::sim::tell(line.text(std::string(length, 'x')));
        });
        ASSERT_FALSE(said.empty());
        EXPECT_EQ(said.back(), '\n') << length;
        EXPECT_EQ(said.rfind("qport: x", 0), 0U) << length;
        EXPECT_EQ(said.size(), std::string("qport: \n").size() + std::min<std::size_t>(length, 512))
            << length;
    }
}

} // namespace
