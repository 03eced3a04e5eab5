// SPDX-License-Identifier: LGPL-2.1-or-later
// Built with -funsigned-char: the 8-bit entry points still hand back
// -128..127 and still write all eight bits.
#include <gtest/gtest.h>

#include "qport.h"
#include "qport_sim.h"

static_assert(static_cast<char>(-1) > 0, "this file must be built with -funsigned-char");

namespace {

TEST(UnsignedPlainChar, ByteReadsStaySigned)
{
    qport_sim_reset();
    const struct {
        std::uint8_t stored;
        int expected;
    } cases[] = {{0x80, -128}, {0xFF, -1}, {0x7F, 127}, {0x00, 0}};
    for (const auto &c : cases) {
        qport_sim_preset(0x300, c.stored);
        EXPECT_EQ(inportb(0x300), c.expected) << "stored " << int{c.stored};
    }
}

TEST(UnsignedPlainChar, ByteWritesKeepAllBits)
{
    qport_sim_reset();
    outportb(0x378, static_cast<char>(0xDA));
    EXPECT_EQ(qport_sim_peek(0x378), 0xDA);
}

} // namespace
