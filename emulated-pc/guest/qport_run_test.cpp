// SPDX-License-Identifier: LGPL-2.1-or-later
// Unmodified programs on the real parallel port without root: Debian's
// ioport tools (outb, inb, inw), which use ioperm and bare port
// instructions, run under qport-run --hardware, whose preload traps each
// instruction and makes it through the hardware build, here through its
// /dev/parport0 route. Run in group lp, or as root in a locked-down kernel,
// the byte written reaches 0x378 (the host finds it in QEMU's trace) and
// reads back; run not in lp, the same command is refused and its byte never
// reaches the port.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guest_support.h"

namespace {

// Where the image has them: qport-run in its installed layout, which finds
// its preload and both builds of the library relative to itself.
constexpr const char *qport_run = QPORT_GUEST_QPORT_RUN;

// Whether this run reaches the port through its device: in group lp, or as
// root in a locked-down kernel.
bool in_lp()
{
    const std::string expectation = std::getenv("QPORT_GUEST_PHASE");
    return expectation == "lp-member" || expectation == "lockdown";
}

// qport-run --hardware /usr/bin/TOOL ARGUMENT...
guest::Outcome under_qport_run(const std::vector<std::string> &command)
{
    std::vector<std::string> words = {qport_run, "--hardware", "/usr/bin/" + command[0]};
    words.insert(words.end(), command.begin() + 1, command.end());
    return guest::run_program(words);
}

// In this order: the host's trace check finds 0x55 written to 0x378 exactly
// once, by the run in group lp, and the read of it after.
TEST(QportRunHardware, IoportToolsUseTheParallelPortThroughTheRoute)
{
    struct Case {
        std::vector<std::string> command;
        std::string lp_member_out; // exit status 0, nothing on standard error
        std::string refused_out;   // what the refused run prints instead
    };
    const Case cases[] = {
        {{"outb", "0x378", "0x55"}, "", ""},
        {{"inb", "0x378"}, "85\n", "255\n"},
        // 16 bits are refused even in lp: the route is byte-wide.
        {{"inw", "0x378"}, "", "65535\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command[0] + " " + c.command[1]);
        const guest::Outcome outcome = under_qport_run(c.command);
        const bool refused = !in_lp() || c.command[0] == "inw";
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, refused ? c.refused_out : c.lp_member_out);
        if (!refused) {
            EXPECT_EQ(outcome.err, "");
            continue;
        }
        // Told once, by the library, on standard error.
        EXPECT_TRUE(outcome.err.starts_with("qport-run: Port access refused: ")) << outcome.err;
        EXPECT_NE(outcome.err.find(in_lp() ? "8-bit transfers" : "CAP_SYS_RAWIO"),
                  std::string::npos)
            << outcome.err;
    }
}

} // namespace

int main(int argc, char **argv) { return guest::run_parport_tests(argc, argv); }
