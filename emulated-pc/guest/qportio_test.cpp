// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio on real port instructions: what it prints and how it exits, with
// access granted and refused. The tool is run as a separate process, as a
// script would run it.
#include <array>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "guest_support.h"

namespace {

constexpr const char *qportio = "/usr/bin/qportio";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_all(int fd)
{
    std::string text;
    std::array<char, 512> buffer{};
    for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;)
        text.append(buffer.data(), static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

Outcome run_qportio(const std::vector<std::string> &arguments)
{
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        std::vector<char *> argv{const_cast<char *>(qportio)};
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(qportio, argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    Outcome outcome;
    // The tool writes little, so reading one pipe after the other cannot
    // fill the other one up.
    outcome.out = read_all(out_pipe[0]);
    outcome.err = read_all(err_pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
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
        const Outcome outcome = run_qportio(c.arguments);
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
