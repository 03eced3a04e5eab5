// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio on a shared simulated machine: separate runs, one port space.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
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
        // A typo in the environment is the user's: nothing runs on another
        // PC than the one asked for.
        {"an unknown device", "QPORT_SIM_DEVICE=scanner", "read 0x379", true, 2,
         "QPORT_SIM_DEVICE=scanner names no peripheral; it can be none, loopback, printer"},
        {"an unknown profile", "QPORT_SIM_PROFILE=laptop", "write 0x378 1", true, 2,
         "qportio: the environment names what the simulated PC lacks (above), so nothing was "
         "done"},
        {"a setting's value", "QPORT_SIM_DEVICE=lcd:size=17x3", "show", true, 2,
         "size=17x3 (size can be COLUMNSxROWS"},
        {"an unknown refusal", "QPORT_SIM_REFUSE=lockdwn", "read 0x378", true, 2,
         "QPORT_SIM_REFUSE=lockdwn names no refusal"},
        // --simulated: the simulated build whatever the loader would find.
        {"--simulated without the library path", "", "--simulated --version", false, 0,
         "(libqport.so.1, simulated build)"},
        {"a machine command with --simulated", "", "--simulated show", false, 0,
         "machine: this process's own"},
        {"a typo the hardware build does not read", "QPORT_SIM_DEVICE=scanner", "--version", false,
         0, "hardware build"},
        // A port no device decodes reads all ones, and says so beside the value.
        {"a read no device decodes", "", "read 0x3788", true, 0,
         "qportio: no device decodes port 0x3788 on the simulated PC: it reads all ones"},
        {"a write no device decodes", "", "write 0x3788 0", true, 0,
         "qportio: no device decodes port 0x3788 on the simulated PC: the write went nowhere"},
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

// A folder of the test's own, removed with what it holds.
class Scratch {
public:
    Scratch()
    {
        char directory[] = "/tmp/qportio-described-XXXXXX";
        if (::mkdtemp(directory) != nullptr)
            path_ = directory;
    }
    ~Scratch() { std::system(("rm -rf " + path_).c_str()); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    std::string file(const std::string &name, const std::string &text, mode_t mode = 0600) const
    {
        std::string path = path_ + "/" + name;
        FILE *file = std::fopen(path.c_str(), "w");
        if (file != nullptr) {
            std::fwrite(text.data(), 1, text.size(), file);
            std::fclose(file);
        }
        ::chmod(path.c_str(), mode);
        return path;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// machine create builds the machine the file describes: the profile, a
// peripheral with its settings, device properties, presets and a memory
// loaded from a file named relative to the description.
TEST(QportioMachine, CreateBuildsTheMachineTheFileDescribes)
{
    const Scratch scratch;
    scratch.file("flash.bin", std::string(1 << 20, '\x5a'));
    const std::string description = scratch.file("pc.toml", R"(# the PC the suite needs
profile = "pc"

[devices.lpt1]
peripheral = "spi-flash:chip=w25q80"

[devices.hwmon]
temp1 = 52
fan2 = 1800
in0 = 1.45

[presets]
0x300 = 0x5a

[memories]
lpt1-w25q80 = "flash.bin"
)");
    const std::string machine = scratch.path() + "/pc";
    // Twice: create builds an existing machine anew.
    for (int run = 0; run < 2; ++run) {
        const Outcome created = qportio("", "machine create " + machine + " --from " + description);
        ASSERT_EQ(created.status, 0) << created.out;
        EXPECT_EQ(qportio("QPORT_SIM_MACHINE=" + machine, "write 0x300 0x00").status, 0);
    }
    const Step checks[] = {
        {"read -x 0x300", 0, "0x5a\n"},
        {"show -n 0", 0, "  peripheral: spi-flash\n  chip: w25q80\n"},
        {"show -n 0", 0, "  temp1: 52.0 °C\n"},
        {"show -n 0", 0, "  fan2: 1800 rpm"},
        {"show -n 0", 0, "  in0: 1.450 V\n"},
        {"memory save lpt1-w25q80 " + scratch.path() + "/saved", 0, ""},
    };
    for (const Step &step : checks) {
        SCOPED_TRACE(step.arguments);
        const Outcome run = qportio("QPORT_SIM_MACHINE=" + machine, step.arguments);
        EXPECT_EQ(run.status, step.status) << run.out;
        EXPECT_NE(run.out.find(step.out), std::string::npos) << run.out;
    }
    EXPECT_EQ(std::system(
                  ("cmp -s " + scratch.path() + "/saved " + scratch.path() + "/flash.bin").c_str()),
              0);
}

// A description is refused with its file, line and key, and why; one that
// another user could have written is not read at all.
TEST(QportioMachine, CreateRefusesADescriptionWhereItIsWrong)
{
    const Scratch scratch;
    struct Case {
        std::string text;
        mode_t mode;
        std::string said;
    };
    const Case cases[] = {
        {"profile = \"pcx\"\n", 0600, "bad.toml:1: profile: no profile pcx; it can be pc, bare"},
        {"\nprofil = \"pc\"\n", 0600, "bad.toml:2: profil: not part of a machine description"},
        {"[devices.lpt9]\nx = 1\n", 0600,
         "bad.toml:1: devices.lpt9: the machine has no device lpt9; it has lpt1, "},
        {"[devices.hwmon]\ntemp9 = 1\n", 0600,
         "bad.toml:2: devices.hwmon.temp9: hwmon has no property temp9"},
        {"[devices.hwmon]\ntemp1 = 999\n", 0600,
         "bad.toml:2: devices.hwmon.temp1: hwmon does not take 999 for temp1"},
        {"[devices.hwmon]\ntemp1 = [1, 2]\n", 0600, "bad.toml:2: devices.hwmon.temp1: a value is"},
        {"[devices.lpt1]\nperipheral = \"lcd:size=17x3\"\n", 0600,
         "bad.toml:2: devices.lpt1.peripheral: a setting the peripheral does not take: size=17x3"},
        {"[devices.lpt1]\nperipheral = \"laser\"\n", 0600,
         "bad.toml:2: devices.lpt1.peripheral: no peripheral laser; it can be "},
        {"[presets]\n0x10000 = 1\n", 0600, "bad.toml:2: presets.0x10000: a port is 0 to 0xFFFF"},
        {"[presets]\n0x300 = 256\n", 0600, "bad.toml:2: presets.0x300: a preset is a byte"},
        {"[memories]\nlpt1-w25q80 = \"bad.toml\"\n", 0600,
         "bad.toml:2: memories.lpt1-w25q80: the machine has no memory lpt1-w25q80; it has none"},
        {"profile = \n", 0600, "bad.toml:1: "},
        {"profile = \"pc\"\n", 0620, "bad.toml: other users may write it"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.text);
        const std::string description = scratch.file("bad.toml", test.text, test.mode);
        const Outcome run =
            qportio("", "machine create " + scratch.path() + "/pc --from " + description);
        EXPECT_EQ(run.status, 9) << run.out;
        EXPECT_NE(run.out.find("qportio: " + scratch.path() + "/" + test.said), std::string::npos)
            << run.out;
    }
    const Step usage[] = {
        {"machine create " + scratch.path() + "/pc", 2, "machine takes create PATH --from FILE"},
        {"machine make pc --from x", 2, "machine takes create PATH --from FILE"},
    };
    for (const Step &step : usage) {
        const Outcome run = qportio("", step.arguments);
        EXPECT_EQ(run.status, step.status) << run.out;
        EXPECT_NE(run.out.find(step.out), std::string::npos) << run.out;
    }
    const Outcome hardware = qportio("", "machine create x --from y", false);
    EXPECT_EQ(hardware.status, 4) << hardware.out;
}

// QPORT_SIM_MACHINE_DESCRIPTION describes a process's own machine, and a
// shared one only when the process makes its file: later processes find the
// machine as it was left.
TEST(QportioMachine, TheEnvironmentDescribesAMachineWhenItIsMade)
{
    const Scratch scratch;
    const std::string described =
        "QPORT_SIM_MACHINE_DESCRIPTION=" + scratch.file("pc.toml", "[presets]\n0x300 = 0x5a\n");
    EXPECT_EQ(qportio(described, "read -x 0x300").out, "0x5a\n");
    const std::string shared = described + " QPORT_SIM_MACHINE=" + scratch.path() + "/pc";
    EXPECT_EQ(qportio(shared, "read -x 0x300").out, "0x5a\n");
    EXPECT_EQ(qportio(shared, "write 0x300 0x00").status, 0);
    EXPECT_EQ(qportio("QPORT_SIM_MACHINE=" + scratch.path() + "/pc", "reset").status, 0);
    // Reset took the preset away: nothing answers the port now.
    EXPECT_EQ(qportio(shared, "read -x 0x300").out,
              "qportio: no device decodes port 0x0300 on the simulated PC: it reads all ones\n"
              "0xff\n");
    const Outcome refused =
        qportio("QPORT_SIM_MACHINE_DESCRIPTION=" + scratch.path() + "/none", "read -x 0x300");
    EXPECT_NE(refused.out.find("QPORT_SIM_MACHINE_DESCRIPTION: " + scratch.path() +
                               "/none: No such file or directory; the machine is not described"),
              std::string::npos)
        << refused.out;
}

} // namespace
