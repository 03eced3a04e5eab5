// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio on real port instructions: what it prints and how it exits, with
// access granted and refused. The tool is run as a separate process, as a
// script would run it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guest_support.h"

namespace {

constexpr const char *qportio = "/usr/bin/qportio";

guest::Outcome run_qportio(const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{qportio};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return guest::run_program(command);
}

struct Case {
    std::vector<std::string> arguments;
    std::string granted_output; // what it prints where access is granted
};

TEST(Qportio, ReadsAndWritesRealRegisters)
{
    const Case cases[] = {
        {{"write", "0x378", "0xa5"}, ""},
        {{"read", "-x", "0x378"}, "0xa5\n"},
        {{"write", "0x378", "-128"}, ""},
        {{"read", "0x378"}, "128\n"},
        // PCI configuration: the address register latches 32-bit writes only,
        // and the host bridge's vendor ID is then in the data register.
        {{"write", "-w", "32", "0xcf8", "0x80000000"}, ""},
        {{"read", "-w", "32", "-x", "0xcf8"}, "0x80000000\n"},
        {{"read", "-w", "16", "-x", "0xcfc"}, "0x8086\n"},
        // The debug console at the top port reads back 0xE9.
        {{"read", "65535"}, "233\n"},
    };
    const bool granted = guest::phase() == guest::Phase::granted;
    for (const Case &c : cases) {
        std::string command = "qportio";
        for (const std::string &argument : c.arguments)
            command += " " + argument;
        SCOPED_TRACE(command);
        const guest::Outcome outcome = run_qportio(c.arguments);
        if (granted) {
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_EQ(outcome.out, c.granted_output);
        } else {
            EXPECT_EQ(outcome.status, 3) << "refused access has its own exit status";
            EXPECT_EQ(outcome.out, "");
            EXPECT_NE(outcome.err.find("CAP_SYS_RAWIO"), std::string::npos) << outcome.err;
        }
    }
}

} // namespace

int main(int argc, char **argv) { return guest::run_tests(argc, argv); }
