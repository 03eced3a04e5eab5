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
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

class SharedMachine : public FreshMachine {
protected:
    ScratchDirectory directory;
};

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

// Recording costs every transfer on the machine; a process that only looks
// at a shared machine through qport_sim.h leaves its setting as it is.
TEST_F(SharedMachine, LookingAtASharedMachineLeavesItsRecordingAlone)
{
    const std::string machine = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    qport_sim_record_transfers(0);
    ProgramRun run;
    run.arguments = {QPORT_TRANSFER_SUBJECT, "look"};
    run.environment = {"QPORT_SIM_MACHINE=" + machine};
    run.directory = directory.path();
    const ProgramOutcome outcome = run_program(run);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "shared\n85\n");
    EXPECT_EQ(qport_sim_transfers(nullptr, 0), 0U);
    qport_sim_record_transfers(1);
}

struct RefusedFileCase {
    const char *name;
    std::function<void(const std::string &)> make; // makes the file at the path
    const char *reason;
    int error;
};

// Written with the mode a machine file has, so that only the bytes are wrong.
void write_bytes(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
    ::chmod(path.c_str(), 0600);
}

// A new machine file at path, left for the case to spoil.
void create_machine(const std::string &path)
{
    ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
    qport_sim_use_machine(nullptr);
}

// Writes value's bytes over the file's at offset.
template <typename Value> void overwrite(const std::string &path, long offset, Value value)
{
    std::FILE *file = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr) << path;
    std::fseek(file, offset, SEEK_SET);
    std::fwrite(&value, sizeof value, 1, file);
    std::fclose(file);
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
        {"a machine of the first version, before devices were",
         [&](const std::string &path) {
             create_machine(path);
             overwrite(path, 8, std::uint32_t{1}); // the version
         },
         "another version", EINVAL},
        {"a FIFO, which is not waited on",
         [](const std::string &path) { ::mkfifo(path.c_str(), 0600); }, "not a regular file",
         EINVAL},
        {"a symbolic link to a machine",
         [&](const std::string &path) {
             const std::string target = path + ".target";
             create_machine(target);
             ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
         },
         "symbolic link", ELOOP},
        {"a machine other users may read",
         [&](const std::string &path) {
             create_machine(path);
             ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
         },
         "must have mode 0600", EPERM},
        {"a machine of a library built with other devices",
         [&](const std::string &path) {
             create_machine(path);
             overwrite(path, 24, std::uint64_t{0x5EED}); // after magic, version and two sizes
         },
         "another build of this library", EINVAL},
        {"a truncated machine",
         [&](const std::string &path) {
             create_machine(path);
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

// Another user who creates the machine file first (in /tmp, say) must not
// choose what this process writes where: the printer's output path comes
// from the file, so a victim using it would append printed bytes to any file
// the victim may write.
TEST_F(SharedMachine, AnotherUsersMachineIsRefusedAndNothingIsWritten)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a file that belongs to another user";
    const std::string shared = directory / "tmp";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string victim = directory / "victims-file";
    write_bytes(victim, "untouched\n");
    const std::string machine = shared + "/pc";
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    ASSERT_EQ(qport_sim_set_printer_output(victim.c_str()), 0);
    ASSERT_EQ(qport_sim_set_device(QPORT_SIM_DEVICE_PRINTER), 0);
    qport_sim_use_machine(nullptr);
    constexpr uid_t nobody = 65534;
    ASSERT_EQ(::chown(machine.c_str(), nobody, nobody), 0);

    const std::string said = standard_error_of([&] {
        EXPECT_EQ(qport_sim_use_machine(machine.c_str()), -1);
        EXPECT_EQ(errno, EPERM);
    });
    EXPECT_NE(said.find("belongs to another user"), std::string::npos) << said;
    // A byte strobed now goes to this process's own printer, which prints
    // nowhere.
    qport_sim_set_device(QPORT_SIM_DEVICE_PRINTER);
    outportb(0x378, 'X');
    outportb(0x37A, 0x0D);
    outportb(0x37A, 0x0C);
    EXPECT_EQ(file_text(victim), "untouched\n");
    qport_sim_set_device(QPORT_SIM_DEVICE_NONE);
}

// The printer's output path may come from a machine file, so it is never
// followed through a symbolic link; the trace's is not followed in a
// directory shared with other users, where the link may be theirs.
TEST_F(SharedMachine, OutputsFollowNoLinkAnotherUserCouldPlace)
{
    const std::string shared = directory / "tmp";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string own = directory / "own";
    ASSERT_EQ(::mkdir(own.c_str(), 0700), 0);
    const std::string victim = directory / "victims-file";
    write_bytes(victim, "untouched\n");

    struct Case {
        const char *name;
        std::string link;
        std::function<int(const char *)> open;
        int expected; // 0 or the errno
    };
    const Case cases[] = {
        {"the trace through a link in a shared directory", shared + "/trace",
         [](const char *path) { return qport_sim_trace_to(path); }, ELOOP},
        {"the trace through the user's own link elsewhere", own + "/trace",
         [](const char *path) { return qport_sim_trace_to(path); }, 0},
        {"the printer's output through a link anywhere", own + "/paper",
         [](const char *path) { return qport_sim_set_printer_output(path); }, ELOOP},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::symlink(victim.c_str(), c.link.c_str()), 0);
        errno = 0;
        const int result = c.open(c.link.c_str());
        EXPECT_EQ(result, c.expected == 0 ? 0 : -1);
        if (c.expected != 0) {
            EXPECT_EQ(errno, c.expected);
        }
        qport_sim_trace_to(nullptr);
        qport_sim_set_printer_output(nullptr);
    }
    EXPECT_EQ(file_text(victim), "untouched\n");
}

} // namespace
