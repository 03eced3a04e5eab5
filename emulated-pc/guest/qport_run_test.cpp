// SPDX-License-Identifier: LGPL-2.1-or-later
// Unmodified programs on the real parallel port without root: Debian's
// ioport tools (outb, inb, inw), which use ioperm and bare port
// instructions, run under qport-run --hardware, whose preload traps each
// instruction and makes it through the hardware build, here through its
// /dev/parport0 route. Run in group lp, the byte written reaches 0x378 (the
// host finds it in QEMU's trace) and reads back; run not in lp, the same
// command is refused and its byte never reaches the port.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "inherited_descriptors.h"
#include "kernel_command_line.h"

namespace {

// Where the image has them: qport-run in its installed layout, which finds
// its preload and both builds of the library relative to itself.
constexpr const char *qport_run = QPORT_GUEST_QPORT_RUN;

bool in_lp() { return std::string(std::getenv("QPORT_GUEST_PHASE")) == "lp-member"; }

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_all(int fd)
{
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

// qport-run --hardware /usr/bin/TOOL ARGUMENT...; both outputs are small
// enough for the pipes, so they are read one after the other.
Outcome under_qport_run(const std::vector<std::string> &command)
{
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        std::vector<std::string> words = {qport_run, "--hardware", "/usr/bin/" + command[0]};
        words.insert(words.end(), command.begin() + 1, command.end());
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        ::execv(qport_run, argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    Outcome outcome;
    outcome.out = read_all(out_pipe[0]);
    outcome.err = read_all(err_pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
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
        const Outcome outcome = under_qport_run(c.command);
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

int main(int argc, char **argv)
{
    if (!guest::holds_only_standard_descriptors())
        return 1;
    GTEST_FLAG_SET(color, "no");
    testing::InitGoogleTest(&argc, argv);
    const char *phase = std::getenv("QPORT_GUEST_PHASE");
    const std::string name = phase != nullptr ? phase : "";
    if ((name != "lp-member" && name != "refused") ||
        guest::phase_on_kernel_command_line() != "parport") {
        std::cerr << "This program runs only inside the emulated PC's parport phase, started "
                     "by its /init.\n";
        return 2;
    }
    std::cout << name << ", uid " << ::getuid() << ", gid " << ::getgid() << "\n";
    return RUN_ALL_TESTS();
}
