// SPDX-License-Identifier: LGPL-2.1-or-later
// The shared machine: a file that several processes map and act on, and
// every file that is not one refused, never misread.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

class SharedMachine : public ::testing::Test {
protected:
    void TearDown() override
    {
        qport_sim_use_machine(nullptr);
        qport_sim_reset();
    }
    ScratchDirectory directory;
};

// Captures what fn writes to standard error.
template <typename Fn> std::string standard_error_of(Fn fn)
{
    std::FILE *captured = std::tmpfile();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(captured), STDERR_FILENO);
    fn();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::rewind(captured);
    std::string text;
    for (int c = std::fgetc(captured); c != EOF; c = std::fgetc(captured))
        text += static_cast<char>(c);
    std::fclose(captured);
    return text;
}

TEST_F(SharedMachine, ProgramsNamingTheFileShareItsPortsAndRecord)
{
    qport_sim_reset();
    outportb(0x378, 0x21); // on this process's own port space
    const std::string machine = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    EXPECT_STREQ(qport_sim_machine_path(), machine.c_str());
    struct stat about {};
    ASSERT_EQ(::stat(machine.c_str(), &about), 0);
    EXPECT_EQ(about.st_mode & 0777, 0600U);
    EXPECT_EQ(qport_sim_peek(0x378), 0x00) << "a new machine is at reset";

    ProgramRun run;
    run.arguments = {QPORT_TRANSFER_SUBJECT};
    run.environment = {"QPORT_SIM_MACHINE=" + machine};
    run.directory = directory.path();
    const ProgramOutcome outcome = run_program(run);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(qport_sim_peek(0x378), 0x55) << "written by the other program";
    std::vector<qport_sim_transfer> transfers(64);
    transfers.resize(qport_sim_transfers(transfers.data(), transfers.size()));
    ASSERT_EQ(transfers.size(), 21U) << "its 20 writes and one read";
    EXPECT_EQ(transfers.back().direction, 'i');

    // And back: this process's own space is untouched by all that.
    ASSERT_EQ(qport_sim_use_machine(nullptr), 0);
    EXPECT_EQ(qport_sim_machine_path(), nullptr);
    EXPECT_EQ(qport_sim_peek(0x378), 0x21);
}

struct RefusedFileCase {
    const char *name;
    std::function<void(const std::string &)> make; // makes the file at the path
    const char *reason;
    int error;
};

void write_bytes(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST_F(SharedMachine, FilesThatAreNoMachineAreRefused)
{
    const RefusedFileCase cases[] = {
        {"a foreign file",
         [](const std::string &path) { write_bytes(path, std::string(4096, 'x')); },
         "not a machine file", EINVAL},
        {"an empty file", [](const std::string &path) { write_bytes(path, ""); }, "too short",
         EINVAL},
        {"a directory", [](const std::string &path) { ::mkdir(path.c_str(), 0700); },
         "Is a directory", EISDIR},
        {"another version",
         [&](const std::string &path) {
             ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
             qport_sim_use_machine(nullptr);
             std::FILE *file = std::fopen(path.c_str(), "r+b");
             const std::uint32_t version = 2;
             std::fseek(file, 8, SEEK_SET);
             std::fwrite(&version, sizeof version, 1, file);
             std::fclose(file);
         },
         "another version", EINVAL},
        {"a truncated machine",
         [&](const std::string &path) {
             ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
             qport_sim_use_machine(nullptr);
             ASSERT_EQ(::truncate(path.c_str(), 100000), 0);
         },
         "wrong size", EINVAL},
    };
    for (const RefusedFileCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = directory / c.name;
        c.make(path);
        outportb(0x378, 0x42);
        int result = 0;
        int error = 0;
        const std::string said = standard_error_of([&] {
            result = qport_sim_use_machine(path.c_str());
            error = errno;
        });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, c.error);
        EXPECT_NE(said.find(c.reason), std::string::npos) << said;
        EXPECT_NE(said.find("keeps its own port space"), std::string::npos) << said;
        EXPECT_EQ(qport_sim_machine_path(), nullptr);
        EXPECT_EQ(qport_sim_peek(0x378), 0x42) << "still on its own port space";
    }
}

} // namespace
