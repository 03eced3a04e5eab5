// SPDX-License-Identifier: LGPL-2.1-or-later
// The port grants: the kernel's answers to ioperm() and iopl(), which
// ports an instruction may use, and the text a grant is handed over in
// through exec, which must refuse anything that is not one.
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "port_grant.h"

namespace {

using qport_run::PortGrant;

std::string text_of(const PortGrant &grant)
{
    std::string text(grant.written(), '\0');
    grant.write(text.data());
    return text;
}

TEST(PortGrant, AnswersAsTheKernelDoes)
{
    PortGrant grant;
    struct Call {
        int result;
        int expected;
    };
    const std::vector<Call> calls = {
        {grant.ioperm(0x378, 3, 1), 0},
        {grant.ioperm(0x80, 0, 1), EINVAL},
        {grant.ioperm(0xFFFF, 2, 1), EINVAL},
        {grant.ioperm(0x10000, 1, 0), EINVAL},
        {grant.ioperm(~0UL, 2, 1), EINVAL},
        {grant.iopl(4), EINVAL},
        {grant.iopl(-1), EINVAL},
        {grant.ioperm(0xFFFF, 1, 1), 0},
    };
    for (std::size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i].result, calls[i].expected) << "call " << i;
    EXPECT_TRUE(grant.allows(0x378, 1));
    EXPECT_TRUE(grant.allows(0x379, 2));
    EXPECT_FALSE(grant.allows(0x37A, 2)); // 0x37b was not granted
    EXPECT_FALSE(grant.allows(0x80, 1));
    EXPECT_TRUE(grant.allows(0xFFFF, 1));
    EXPECT_FALSE(grant.allows(0xFFFF, 2)); // past the last port
    EXPECT_EQ(grant.iopl(3), 0);
    EXPECT_TRUE(grant.allows(0x80, 4));
    EXPECT_FALSE(grant.allows(0xFFFE, 4));
    EXPECT_EQ(grant.iopl(0), 0);
    EXPECT_FALSE(grant.allows(0x80, 1));
    EXPECT_EQ(grant.ioperm(0x379, 1, 0), 0);
    EXPECT_FALSE(grant.allows(0x379, 1));
    EXPECT_TRUE(grant.allows(0x378, 1));
    grant.release();
    EXPECT_FALSE(grant.allows(0x378, 1));
}

TEST(PortGrant, TextReadsBackAsTheSameGrant)
{
    PortGrant grant;
    EXPECT_EQ(text_of(grant), "0");
    grant.ioperm(0x378, 3, 1);
    grant.ioperm(0x80, 1, 1);
    grant.ioperm(0xFFFF, 1, 1);
    grant.iopl(2);
    EXPECT_EQ(text_of(grant), "2:80-80,378-37a,ffff-ffff");
    std::optional<PortGrant> again = PortGrant::parse(text_of(grant));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(text_of(*again), text_of(grant));
    EXPECT_EQ(again->level(), 2);
    grant.release();
    again->release();
}

TEST(PortGrant, TextThatIsNoGrantIsRefused)
{
    const std::vector<std::string> malformed = {
        "",
        "4",
        "-1",
        "0:",
        "0:378",
        "0:378-",
        "0:-37a",
        "0:37a-378",
        "0:10000-10000",
        "0:0-10000",
        "0;378-37a",
        "0:378-37a,",
        "0:378-37a;80-80",
        "0:378-37A",
        "00:378-37a",
        "3 ",
        "0:00000-1",
    };
    for (const std::string &text : malformed)
        EXPECT_FALSE(PortGrant::parse(text).has_value()) << '"' << text << '"';
    for (const std::string text : {"3", "0:0-ffff", "1:0-0", "0:378-37a,378-37a"}) {
        std::optional<PortGrant> grant = PortGrant::parse(text);
        EXPECT_TRUE(grant.has_value()) << text;
        if (grant)
            grant->release();
    }
}

} // namespace
