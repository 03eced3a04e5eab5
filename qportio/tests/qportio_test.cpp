// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio as a script sees it: each case runs the program and checks its
// exit status, standard output, standard error and the transfers it made.
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qport_ext.h"

namespace {

struct Outcome {
    int exit_status = -1;
    std::string out;
    std::string err;
    // Trace lines without their time stamps: "out 8 0x0378 0x5a".
    std::vector<std::string> transfers;
};

// Where qportio finds libqport.so.1; empty for the build it was linked with
// (the hardware one).
const std::string simulated_build = QPORT_SIMULATED_DIR;
const std::string linked_build;

std::string temporary_file()
{
    char path[] = "/tmp/qportio-test-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    ::close(fd);
    return path;
}

std::string contents(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> traced_transfers(const std::string &path)
{
    std::ifstream trace(path);
    std::vector<std::string> transfers;
    for (std::string line; std::getline(trace, line);)
        transfers.push_back(line.substr(line.find(' ') + 1));
    return transfers;
}

// Runs qportio with arguments and the extra environment variables, its
// standard output going to stdout_path or stdout_descriptor if one is given.
// SIGPIPE has its default action in qportio, whatever this process does
// with it.
Outcome run_qportio(const std::vector<std::string> &arguments,
                    const std::string &library_dir = simulated_build,
                    const std::vector<std::string> &extra_environment = {},
                    const std::string &stdout_path = "", int stdout_descriptor = -1)
{
    const bool own_stdout = stdout_path.empty() && stdout_descriptor < 0;
    const std::string out_path = own_stdout ? temporary_file() : stdout_path;
    const std::string err_path = temporary_file();
    const std::string trace_path = temporary_file();

    // The caller's environment, without anything that would choose the
    // library, trace elsewhere or refuse access behind the case's back.
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        if (!variable.starts_with("LD_LIBRARY_PATH=") && !variable.starts_with("QPORT_"))
            environment.push_back(variable);
    }
    if (!library_dir.empty())
        environment.push_back("LD_LIBRARY_PATH=" + library_dir);
    environment.push_back("QPORT_TRACE=" + trace_path);
    environment.insert(environment.end(), extra_environment.begin(), extra_environment.end());

    std::vector<char *> argv{const_cast<char *>(QPORTIO_PROGRAM)};
    for (const auto &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    // Standard input is no terminal, so no notice could wait for Enter.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_descriptor >= 0)
        posix_spawn_file_actions_adddup2(&files, stdout_descriptor, 1);
    else
        posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&files, 2, err_path.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t default_signals;
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, QPORTIO_PROGRAM, &files, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);

    Outcome outcome;
    int status = 0;
    if (spawned == 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
        outcome.exit_status = WEXITSTATUS(status);
    if (own_stdout) {
        outcome.out = contents(out_path);
        ::unlink(out_path.c_str());
    }
    outcome.err = contents(err_path);
    outcome.transfers = traced_transfers(trace_path);
    ::unlink(err_path.c_str());
    ::unlink(trace_path.c_str());
    return outcome;
}

std::string describe(const std::vector<std::string> &arguments)
{
    std::string text = "qportio";
    for (const auto &argument : arguments)
        text += " '" + argument + "'";
    return text;
}

class Qportio : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every case below makes its transfers on the simulated build; make
        // sure it is the one loaded before any case may transfer.
        const Outcome version = run_qportio({"--version"});
        ASSERT_EQ(version.out, "qportio " QPORTIO_VERSION " (libqport.so.1, simulated build)\n")
            << version.err;
    }
};

struct TransferCase {
    std::vector<std::string> arguments;
    std::string out;
    std::vector<std::string> transfers;
};

// The simulated port space starts each run at its reset values: 0x378 reads
// 0x00, 0x379 0x7F, 0x37A 0xEC, and every other port 0xFF.
TEST_F(Qportio, MakesExactlyTheTransferAskedForAndPrintsWhatWasRead)
{
    const std::vector<TransferCase> cases = {
        {{"read", "0x379"}, "127\n", {"in 8 0x0379 0x7f"}},
        {{"read", "-x", "0x379"}, "0x7f\n", {"in 8 0x0379 0x7f"}},
        {{"read", "0x37A", "--hex"}, "0xec\n", {"in 8 0x037a 0xec"}},
        {{"read", "-w", "16", "888"}, "32512\n", {"in 16 0x0378 0x7f00"}},
        {{"read", "-w16", "-x", "888"}, "0x7f00\n", {"in 16 0x0378 0x7f00"}},
        {{"read", "-xw16", "888"}, "0x7f00\n", {"in 16 0x0378 0x7f00"}},
        {{"read", "-xw", "16", "888"}, "0x7f00\n", {"in 16 0x0378 0x7f00"}},
        {{"read", "-xx", "--width", "16", "888"}, "0x7f00\n", {"in 16 0x0378 0x7f00"}},
        {{"read", "--width=32", "0x378"}, "4293689088\n", {"in 32 0x0378 0xffec7f00"}},
        {{"read", "--width", "32", "-x", "0x378"}, "0xffec7f00\n", {"in 32 0x0378 0xffec7f00"}},
        {{"read", "-x", "0x0"}, "0xff\n", {"in 8 0x0000 0xff # no device"}},
        {{"read", "0x0378"}, "0\n", {"in 8 0x0378 0x00"}},
        {{"read", "0"}, "255\n", {"in 8 0x0000 0xff # no device"}},
        {{"read", "65535"}, "255\n", {"in 8 0xffff 0xff # no device"}},
        {{"read", "-w", "16", "0xFFFE"}, "65535\n", {"in 16 0xfffe 0xffff # no device"}},
        {{"read", "-w", "32", "0xfffc"}, "4294967295\n", {"in 32 0xfffc 0xffffffff # no device"}},
        {{"read", "0x378", "0x379", "0x37a"},
         "0\n127\n236\n",
         {"in 8 0x0378 0x00", "in 8 0x0379 0x7f", "in 8 0x037a 0xec"}},
        {{"read", "-x", "-w", "16", "0x37a", "0x378"},
         "0xffec\n0x7f00\n",
         {"in 16 0x037a 0xffec", "in 16 0x0378 0x7f00"}},
        {{"write", "0x378", "0x5a"}, "", {"out 8 0x0378 0x5a"}},
        {{"write", "0x378", "255"}, "", {"out 8 0x0378 0xff"}},
        {{"write", "0x378", "-1"}, "", {"out 8 0x0378 0xff"}},
        {{"write", "0x378", "-128"}, "", {"out 8 0x0378 0x80"}},
        {{"write", "0x378", "-0x80"}, "", {"out 8 0x0378 0x80"}},
        {{"write", "--", "0x378", "-5"}, "", {"out 8 0x0378 0xfb"}},
        {{"write", "0xFFFF", "0X7F"}, "", {"out 8 0xffff 0x7f # no device"}},
        {{"write", "0x8000", "0"}, "", {"out 8 0x8000 0x00 # no device"}},
        {{"write", "-w", "16", "0x378", "0xFF00"}, "", {"out 16 0x0378 0xff00"}},
        {{"write", "-w", "16", "0x378", "-32768"}, "", {"out 16 0x0378 0x8000"}},
        {{"write", "-w", "16", "0x378", "65535"}, "", {"out 16 0x0378 0xffff"}},
        {{"write", "-w", "32", "0x378", "16777215"}, "", {"out 32 0x0378 0x00ffffff"}},
        {{"write", "-w", "32", "0x378", "4294967295"}, "", {"out 32 0x0378 0xffffffff"}},
        {{"write", "-w", "32", "0x378", "-2147483648"}, "", {"out 32 0x0378 0x80000000"}},
        {{"write", "-w", "32", "0xFFFC", "-1"}, "", {"out 32 0xfffc 0xffffffff # no device"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        const Outcome outcome = run_qportio(c.arguments);
        EXPECT_EQ(outcome.exit_status, 0);
        EXPECT_EQ(outcome.out, c.out);
        // A port no device decodes is marked in the trace and said beside
        // the value, its number in upper-case hex.
        std::string said;
        for (const std::string &transfer : c.transfers) {
            if (!transfer.ends_with(" # no device"))
                continue;
            std::string port = transfer.substr(transfer.find(" 0x") + 3, 4);
            for (char &digit : port)
                digit = static_cast<char>(std::toupper(static_cast<unsigned char>(digit)));
            said +=
                "qportio: no device decodes port 0x" + port + " on the simulated PC: " +
                (transfer.starts_with("in") ? "it reads all ones\n" : "the write went nowhere\n");
        }
        EXPECT_EQ(outcome.err, said);
        EXPECT_EQ(outcome.transfers, c.transfers);
    }
}

struct UsageCase {
    std::vector<std::string> arguments;
    std::string error;
};

TEST_F(Qportio, BadArgumentsAreExplainedAndNothingIsTransferred)
{
    const std::vector<UsageCase> cases = {
        {{},
         "no command given: use read, write, ports, reset, show, set, memory, machine or "
         "recording"},
        {{"peek", "0x378"},
         "unknown command 'peek': use read, write, ports, reset, show, set, memory, machine or "
         "recording"},
        {{"raed", "0x378"},
         "unknown command 'raed' (did you mean read?): use read, write, ports, reset, show, set, "
         "memory, machine or recording"},
        {{"memroy"}, "unknown command 'memroy' (did you mean memory?)"},
        {{"wirte", "0x378", "1"}, "unknown command 'wirte' (did you mean write?)"},
        {{"port"}, "unknown command 'port' (did you mean ports?)"},
        {{"shwo"}, "unknown command 'shwo' (did you mean show?)"},
        {{"rest"}, "unknown command 'rest' (did you mean reset?)"},
        {{"Read", "0x378"}, "unknown command 'Read' (did you mean read?)"},
        {{"-x", "show"}, "options may not come before show"},
        {{"read"}, "PORT is missing"},
        {{"write", "0x378"}, "VALUE is missing"},
        {{"write", "0x378", "1", "2"}, "unexpected argument '2'"},
        {{"ports", "0x378"}, "unexpected argument '0x378'"},
        {{"ports", "-x"}, "options -w and -x apply to read and write only"},
        {{"read", "0x378", "0x10000"}, "port '0x10000' is outside 0..65535"},
        {{"read", "-w", "16", "0x378", "0xFFFF"}, "a 16-bit transfer at port 0xFFFF"},
        {{"read", "-q", "0x378"}, "unknown option '-q'"},
        {{"read", "-xq", "0x378"}, "unknown option '-q'"},
        {{"--bogus", "--help"}, "unknown option '--bogus'"},
        {{"read", "--hex=1", "0x378"}, "unknown option '--hex=1'"},
        {{"read", "0x378", "-w"}, "option '-w' needs a width"},
        {{"read", "0x378", "-xw"}, "option '-w' needs a width"},
        {{"read", "0x378", "--width"}, "option '--width' needs a width"},
        {{"read", "-wx", "0x378"}, "width 'x' is not 8, 16 or 32"},
        {{"read", "-w", "12", "0x378"}, "width '12' is not 8, 16 or 32"},
        {{"read", "--width=", "0x378"}, "width '' is not 8, 16 or 32"},
        {{"write", "-x", "0x378", "1"}, "option -x applies to read only"},
        {{"read", "0x10000"}, "port '0x10000' is outside 0..65535"},
        {{"read", "65536"}, "port '65536' is outside 0..65535"},
        {{"read", "-1"}, "port '-1' is outside 0..65535"},
        {{"read", "99999999999999999999999"}, "port '99999999999999999999999' is outside"},
        {{"read", "abc"}, "port 'abc' is not a number"},
        {{"read", "12abc"}, "port '12abc' is not a number"},
        {{"read", "0x"}, "port '0x' is not a number"},
        {{"read", ""}, "port '' is not a number"},
        {{"read", "+5"}, "port '+5' is not a number"},
        {{"read", " 5"}, "port ' 5' is not a number"},
        {{"read", "0x-5"}, "port '0x-5' is not a number"},
        {{"read", "0378"},
         "port '0378' has a leading zero, so it could be octal or decimal: "
         "write 378 for decimal or 0x378 for hex"},
        {{"read", "00"},
         "port '00' has a leading zero, so it could be octal or decimal: "
         "write 0 for decimal or 0x0 for hex"},
        {{"read", "099999999999999999999"}, "port '099999999999999999999' has a leading zero"},
        {{"write", "0x378", "-010"},
         "value '-010' has a leading zero, so it could be octal or "
         "decimal: write -10 for decimal or -0x10 for hex"},
        {{"read", "--5"}, "unknown option '--5'"},
        {{"read", "-w", "16", "0xFFFF"},
         "a 16-bit transfer at port 0xFFFF would reach past the last port, 0xFFFF; "
         "the highest port for it is 0xFFFE"},
        {{"read", "-w", "32", "0xFFFD"}, "a 32-bit transfer at port 0xFFFD would reach past"},
        {{"write", "-w", "32", "65535", "0"}, "a 32-bit transfer at port 0xFFFF would reach past"},
        {{"write", "0x378", "256"}, "value '256' does not fit in 8 bits: it must lie in -128..255"},
        {{"write", "0x378", "-129"}, "value '-129' does not fit in 8 bits"},
        {{"write", "0x378", "0x100"}, "value '0x100' does not fit in 8 bits"},
        {{"write", "-w", "16", "0x378", "65536"},
         "value '65536' does not fit in 16 bits: it must lie in -32768..65535"},
        {{"write", "-w", "16", "0x378", "-32769"}, "value '-32769' does not fit in 16 bits"},
        {{"write", "-w", "32", "0x378", "0x100000000"},
         "value '0x100000000' does not fit in 32 bits: it must lie in -2147483648..4294967295"},
        {{"write", "-w", "32", "0x378", "-2147483649"}, "value '-2147483649' does not fit"},
        {{"write", "-w", "32", "0x378", "-99999999999999999999999"},
         "value '-99999999999999999999999' does not fit in 32 bits"},
        {{"write", "0x378", "1.5"}, "value '1.5' is not a number"},
        {{"write", "0x378", "-"}, "value '-' is not a number"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        const Outcome outcome = run_qportio(c.arguments);
        EXPECT_EQ(outcome.exit_status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_TRUE(outcome.err.starts_with("qportio: " + c.error)) << outcome.err;
        EXPECT_TRUE(outcome.err.ends_with("Try 'qportio --help' for more information.\n"))
            << outcome.err;
        EXPECT_TRUE(outcome.transfers.empty());
    }
}

struct InformationCase {
    std::vector<std::string> arguments;
    std::string out_start;
};

// The first --help or --version wins over whatever follows it.
TEST_F(Qportio, HelpAndVersionGoToStandardOutput)
{
    const std::string help = "Usage: qportio [--simulated] read [-w 8|16|32] [-x] PORT...\n";
    const std::string version = "qportio " QPORTIO_VERSION " (libqport.so.1, simulated build)\n";
    const std::vector<InformationCase> cases = {
        {{"--help"}, help},
        {{"-h"}, help},
        {{"-xh"}, help},
        {{"read", "0x378", "--help"}, help},
        {{"read", "0x10000", "--help"}, help},
        {{"--help", "--bogus"}, help},
        {{"--help", "--version"}, help},
        {{"--version"}, version},
        {{"--version", "extra"}, version},
        {{"--version", "--help"}, version},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        const Outcome outcome = run_qportio(c.arguments);
        EXPECT_EQ(outcome.exit_status, 0);
        EXPECT_TRUE(outcome.out.starts_with(c.out_start)) << outcome.out;
        if (c.out_start == help) {
            EXPECT_NE(outcome.out.find("\nExit status:\n"), std::string::npos);
            // Each command of the usage lines is one that a mistyped
            // command's message offers.
            const std::string offered = run_qportio({"peek"}).err;
            std::istringstream lines(outcome.out.substr(0, outcome.out.find("\n\n")));
            for (std::string line; std::getline(lines, line);) {
                std::istringstream words(line.substr(line.find("qportio ") + 8));
                std::string command;
                do {
                    words >> command;
                } while (command.starts_with("[--"));
                if (!command.starts_with("--")) {
                    EXPECT_NE(offered.find(command), std::string::npos)
                        << command << ": " << offered;
                }
            }
            // The example names the simulated build that goes with the
            // loaded library (here that build itself), wherever it lies.
            EXPECT_NE(outcome.out.find("  LD_LIBRARY_PATH=" QPORT_SIMULATED_DIR " qportio read"),
                      std::string::npos)
                << outcome.out;
        } else {
            EXPECT_EQ(outcome.out, version);
        }
        EXPECT_EQ(outcome.err, "");
        EXPECT_TRUE(outcome.transfers.empty());
    }
}

TEST_F(Qportio, RefusedAccessGivesTheCauseAndTransfersNothing)
{
    for (const auto &arguments : std::vector<std::vector<std::string>>{
             {"read", "0x378"}, {"write", "-w", "32", "0x378", "0"}}) {
        SCOPED_TRACE(describe(arguments));
        const Outcome outcome =
            run_qportio(arguments, simulated_build, {"QPORT_SIM_REFUSE=no-privilege"});
        EXPECT_EQ(outcome.exit_status, 3);
        EXPECT_EQ(outcome.out, "");
        EXPECT_TRUE(outcome.err.starts_with("qportio: port access is refused.\n")) << outcome.err;
        EXPECT_NE(outcome.err.find("CAP_SYS_RAWIO"), std::string::npos) << outcome.err;
        EXPECT_TRUE(outcome.transfers.empty());
    }
}

TEST_F(Qportio, BadArgumentsAreReportedBeforeARefusal)
{
    const Outcome outcome =
        run_qportio({"read", "0x10000"}, simulated_build, {"QPORT_SIM_REFUSE=lockdown"});
    EXPECT_EQ(outcome.exit_status, 2);
    EXPECT_TRUE(outcome.err.starts_with("qportio: port '0x10000' is outside")) << outcome.err;
}

TEST_F(Qportio, AResultThatCannotBeWrittenIsAFailure)
{
    const Outcome outcome = run_qportio({"read", "0x379"}, simulated_build, {}, "/dev/full");
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(outcome.err, "qportio: cannot write to standard output: No space left on device\n");
}

// qportio read ... | head -c0: the reader is gone before the value is
// written. That is status 1 too, not a death by SIGPIPE.
TEST_F(Qportio, AReaderThatWentAwayIsAFailureNotASignal)
{
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);
    const Outcome outcome = run_qportio({"read", "0x379"}, simulated_build, {}, "", pipe_ends[1]);
    ::close(pipe_ends[1]);
    EXPECT_EQ(outcome.exit_status, 1) << "a signal death reads as -1";
    EXPECT_EQ(outcome.err, "qportio: cannot write to standard output: Broken pipe\n");
}

// The hardware build, where this machine refuses port access: the program
// must say so and stop. Where access is granted the case skips, since a
// real transfer would follow.
TEST(QportioOnHardware, RefusedAccessGivesTheCause)
{
    if (qport_access_status() == QPORT_ACCESS_GRANTED)
        GTEST_SKIP()
            << "this machine grants port access; hardware transfers run only in the emulated PC";
    if (qport_access_status() == QPORT_ACCESS_PARPORT_ONLY)
        GTEST_SKIP() << "this user reaches the machine's parallel port; transfers through it run "
                        "only in the emulated PC";
    const Outcome version = run_qportio({"--version"}, linked_build);
    ASSERT_EQ(version.out, "qportio " QPORTIO_VERSION " (libqport.so.1, hardware build)\n");

    const Outcome outcome = run_qportio({"read", "0x378"}, linked_build);
    EXPECT_EQ(outcome.exit_status, 3);
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(outcome.err.starts_with("qportio: port access is refused.\n")) << outcome.err;
    // The message's first line is the cause; later lines may name the program.
    const std::string message = qport_access_message();
    const std::string cause = message.substr(0, message.find('\n'));
    EXPECT_NE(outcome.err.find(cause), std::string::npos) << outcome.err;
}

} // namespace
