// SPDX-License-Identifier: LGPL-2.1-or-later
// Recordings made on a real PC's ports, for the host to replay: util-linux's
// hwclock reading QEMU's MC146818 clock through its registers, and Debian's
// outb and inb on the parallel port, each unmodified under
// qport-run --hardware --record. The recordings and what each program
// printed go to the export directory, which /init hands to the host after
// the runs; the host's checker (check-record-replay) replays them on the
// simulated PC and expects the same output.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guest_support.h"
#include "phase_table.h"

namespace {

// Where the image has them: qport-run in its installed layout, which finds
// its preload and both builds of the library relative to itself, and
// util-linux's hwclock where Debian installs it.
constexpr const char *qport_run = QPORT_GUEST_QPORT_RUN;
constexpr const char *hwclock = QPORT_GUEST_HWCLOCK;

std::string exported(const std::string &name)
{
    return (std::filesystem::path(guest::export_dir) / name).string();
}

std::string content_of(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    ASSERT_TRUE(file.good()) << path;
}

// A recording's transfers without their times, one a line.
std::vector<std::string> transfers_of(const std::string &recording)
{
    std::vector<std::string> transfers;
    std::istringstream lines(content_of(recording));
    for (std::string line; std::getline(lines, line);)
        transfers.push_back(line.substr(line.find(' ') + 1));
    return transfers;
}

// qport-run --hardware --record=EXPORT_DIR/NAME.rec PROGRAM ARGUMENTS...,
// its standard output kept as NAME.out beside the recording.
guest::Outcome record(const std::string &name, const std::vector<std::string> &command)
{
    std::vector<std::string> words = {qport_run, "--hardware",
                                      "--record=" + exported(name + ".rec")};
    words.insert(words.end(), command.begin(), command.end());
    guest::Outcome outcome = guest::run_program(words);
    write_file(exported(name + ".out"), outcome.out);
    return outcome;
}

TEST(RecordOnRealPorts, HwclockReadsTheRealClockThroughItsRegisters)
{
    const guest::Outcome outcome =
        record("hwclock", {hwclock, "--directisa", "--utc", "--noadjfile", "-r", "--verbose"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("\nHw clock time : "), std::string::npos) << outcome.out;
    // Register A's update flag polled, then the time's registers: an index
    // written to 0x70, the register read from 0x71, all at 8 bits.
    const std::vector<std::string> transfers = transfers_of(exported("hwclock.rec"));
    ASSERT_GT(transfers.size(), 10U);
    for (const std::string &transfer : transfers) {
        ASSERT_TRUE(transfer.starts_with("out 8 0x0070 0x") ||
                    transfer.starts_with("in 8 0x0071 0x"))
            << transfer;
    }
}

TEST(RecordOnRealPorts, OutbWritesTheParallelPortsDataRegister)
{
    const guest::Outcome outcome = record("outb", {"/usr/bin/outb", "0x378", "0x55"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(transfers_of(exported("outb.rec")), std::vector<std::string>{"out 8 0x0378 0x55"});
}

TEST(RecordOnRealPorts, InbReadsTheParallelPortsStatus)
{
    const guest::Outcome outcome = record("inb", {"/usr/bin/inb", "0x379"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    // inb prints the value in decimal; the recording has it in hex.
    const std::vector<std::string> transfers = transfers_of(exported("inb.rec"));
    ASSERT_EQ(transfers.size(), 1U);
    ASSERT_TRUE(transfers[0].starts_with("in 8 0x0379 0x")) << transfers[0];
    const unsigned long value = std::stoul(transfers[0].substr(14), nullptr, 16);
    EXPECT_EQ(outcome.out, std::to_string(value) + "\n");
}

} // namespace

int main(int argc, char **argv)
{
    // The host replays hwclock with TZ=UTC; the guest has no time zone files.
    ::setenv("TZ", "UTC", 1);
    return guest::run_record_tests(argc, argv);
}
