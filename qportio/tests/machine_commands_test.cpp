// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio on a shared simulated machine: separate runs, one port space.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;
    std::string out; // standard output and standard error, in that order
};

// Runs qportio with arguments on the simulated build, in the environment
// given (QPORT_SIM_MACHINE=... and the like), through the shell.
Outcome qportio(const std::string &environment, const std::string &arguments, bool simulated = true)
{
    const std::string command = "env -u QPORT_TRACE -u QPORT_SIM_DEVICE " +
                                std::string(simulated ? "LD_LIBRARY_PATH=" QPORT_SIMULATED_DIR " "
                                                      : "-u LD_LIBRARY_PATH ") +
                                environment + " " QPORTIO_PROGRAM " " + arguments + " 2>&1";
    Outcome run;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.out.append(buffer, got);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct Step {
    std::string arguments;
    int status;
    std::string out; // found in the output
};

TEST(QportioMachine, RunsShareTheMachineThatTheyName)
{
    char directory[] = "/tmp/qportio-machine-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string machine = std::string(directory) + "/machine";
    const std::string paper = std::string(directory) + "/paper";
    const std::string on_machine = "QPORT_SIM_MACHINE=" + machine;
    const Step steps[] = {
        {"write 0x378 0x55", 0, ""},
        {"read 0x378", 0, "85\n"}, // a run of its own, and still 0x55
        {"write -w 32 0x378 0xC100FF", 0, ""},
        {"show -n 2", 0,
         "lpt1: parallel-port at 0x0378-0x037a\n  data: 0xff\n  status: 0x7f\n"
         "  control: 0xe1\n  peripheral: none\n"},
        {"show -n 2", 0, "post: post-code at 0x0080\n  code: none\nkbc: i8042 at 0x0060\n"},
        {"show -n 2", 0, "  ldn1: parallel port, enabled, base 0x378, irq 7\n"},
        {"show -n 2", 0, "  ldnb: hardware monitor, enabled, base 0x290\n"},
        {"show -n 2", 0, "resets by programs: none\n"},
        {"show -n 2", 0, "last transfers: 2 of 3 recorded\n"},
        {"show", 0, "out 32 0x0378 0x00c100ff\n"},
        {"reset", 0, ""},
        {"read -x 0x37a", 0, "0xec\n"},
        {"show -n 0", 0, "last transfers: 0 of 1 recorded\n"},
        // The printer chosen once prints for every later run.
        {"read -x 0x379 QPORT_SIM_DEVICE=printer QPORT_SIM_PRINTER_OUTPUT=" + paper, 0, "0xdf\n"},
        {"write 0x378 0x51", 0, ""},
        {"write 0x37a 0x0d", 0, ""},
        {"write 0x37a 0x0c", 0, ""},
        {"show", 0,
         "  peripheral: printer\n  printer-output: " + paper +
             "\n  printed-bytes: 1\n  paper: Q\n"},
        {"read -x 0x379", 0, "0x1f\n"}, // the nAck pulse, then ready again
        {"write 0x378 0x52", 0, ""},
        {"write 0x37a 0x0d", 0, ""},
        {"write 0x37a 0x0c", 0, ""},
        {"show", 0, "  printed-bytes: 2\n  paper: QR\n"},
        {"show extra", 2, "show takes no argument but -n COUNT"},
        // Properties set by separate runs, and refused with their range.
        {"set hwmon temp1=52 fan2=1800", 0, ""},
        {"show", 0, "  temp1: 52.0 °C\n"},
        {"show", 0, "  fan2: 1800 rpm (count 188, divisor 4)\n"},
        {"set hwmon temp1=200", 7, "qport: hwmon temp1=200 refused: it takes -55 to 125 °C"},
        {"set ec memory-0x10=0x42 nothing=1", 7, "ec nothing=1: no such device or settable"},
        {"show", 0, "  memory-0x10: 42 00 00"},
        {"set ec", 2, "set takes a device and KEY=VALUE settings"},
        {"set ec event", 2, "set takes KEY=VALUE settings after the device"},
        // The reset line, pulled by a run of its own.
        {"write 0x64 0xfe", 0, "qport: the simulated PC was reset (keyboard controller: 0xfe"},
        {"show -n 0", 0, "resets by programs: 1, the last by keyboard controller: 0xfe to 0x64\n"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.arguments);
        const std::string &arguments = step.arguments;
        // Variables given after the arguments belong to the environment.
        const auto variables = arguments.find(" QPORT_");
        const Outcome run =
            variables == std::string::npos
                ? qportio(on_machine, arguments)
                : qportio(on_machine + arguments.substr(variables), arguments.substr(0, variables));
        EXPECT_EQ(run.status, step.status) << run.out;
        EXPECT_NE(run.out.find(step.out), std::string::npos) << run.out;
    }
    std::FILE *printed = std::fopen(paper.c_str(), "r");
    ASSERT_NE(printed, nullptr);
    EXPECT_EQ(std::fgetc(printed), 'Q');
    std::fclose(printed);
    std::system(("rm -rf " + std::string(directory)).c_str());
}

// More transfers than the machine's record keeps, in runs of their own:
// show tells how many were made, not how many it kept.
TEST(QportioMachine, ShowCountsEveryTransferRecorded)
{
    char directory[] = "/tmp/qportio-machine-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string machine = std::string(directory) + "/machine";
    const std::string environment = "QPORT_SIM_MACHINE=" + machine;
    ASSERT_EQ(qportio(environment, "reset").status, 0);
    const std::string reads = "yes 0x80 | head -n 70000 | env -u QPORT_TRACE LD_LIBRARY_PATH=" +
                              std::string(QPORT_SIMULATED_DIR) + " " + environment +
                              " xargs " QPORTIO_PROGRAM " read >/dev/null";
    ASSERT_EQ(std::system(reads.c_str()), 0);
    const Outcome shown = qportio(environment, "show -n 1");
    EXPECT_NE(shown.out.find("last transfers: 1 of 70000 recorded\n"), std::string::npos)
        << shown.out;
    std::system(("rm -rf " + std::string(directory)).c_str());
}

struct RefusalCase {
    const char *name;
    std::string environment;
    std::string arguments;
    bool simulated;
    int status;
    const char *out;
};

TEST(QportioMachine, TellsWhatItCannotDo)
{
    const RefusalCase cases[] = {
        {"a machine command on the hardware build", "", "show", false, 4,
         "needs the simulated build"},
        {"reset without a shared machine", "", "reset", true, 2, "set QPORT_SIM_MACHINE=PATH"},
        {"set without a shared machine", "", "set ec event=1", true, 2,
         "set acts on a shared machine: set QPORT_SIM_MACHINE=PATH"},
        {"an empty QPORT_SIM_MACHINE", "QPORT_SIM_MACHINE=", "show", true, 0,
         "machine: this process's own (QPORT_SIM_MACHINE is empty)"},
        {"an unknown device", "QPORT_SIM_DEVICE=scanner", "read 0x379", true, 0,
         "QPORT_SIM_DEVICE=scanner names no peripheral; it can be none, loopback, printer"},
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome run = qportio(c.environment, c.arguments, c.simulated);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    }
}

// A machine that was named but cannot be used stops every command that
// would act on it, after the library's reason: a script must not go on with
// a port space of its own, as if it were the machine it named.
TEST(QportioMachine, AMachineThatCannotBeUsedStopsTheRun)
{
    const char *const unusable[][2] = {
        {"/nonexistent/dir/pc", "cannot use the machine file /nonexistent/dir/pc: No such file"},
        {"/etc/passwd", "cannot use the machine file /etc/passwd: "},
    };
    for (const auto &[path, reason] : unusable) {
        for (const char *arguments : {"read 0x378", "write 0x378 0x55", "show", "reset"}) {
            SCOPED_TRACE(std::string(path) + ": " + arguments);
            const Outcome run = qportio(
                std::string("QPORT_SIM_MACHINE=") + path + " QPORT_TRACE=stdout", arguments);
            EXPECT_EQ(run.status, 5) << run.out;
            EXPECT_NE(run.out.find(reason), std::string::npos) << run.out;
            EXPECT_NE(run.out.find("qportio: QPORT_SIM_MACHINE=" + std::string(path) +
                                   " names a machine that cannot be used"),
                      std::string::npos)
                << run.out;
            // Nothing transferred, traced or shown.
            for (const char *absent : {" in 8 ", " out 8 ", "machine:", "is not set"})
                EXPECT_EQ(run.out.find(absent), std::string::npos) << absent << "\n" << run.out;
        }
    }
}

} // namespace
