// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port without root, on Debian's own parport, parport_pc and
// ppdev modules: run as an unprivileged user in group lp, byte transfers on
// 0x378..0x37A go through /dev/parport0 and reach QEMU's parallel port (the
// host checks QEMU's trace and the bytes the port printed); everything else
// is refused, the EPP registers 0x37B..0x37F too, since the kernel finds no
// EPP on QEMU's port. Run as a user not in lp, everything is refused as
// without the route. Run as root in a locked-down kernel, which refuses root
// direct access, the route is the same as in group lp.
//
// The tests run in this order: the first ones before this process makes any
// query (nothing may be opened at load), the qportio ones before this process
// claims the port (each qportio claims it for itself), the busy one last.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "guest_support.h"
#include "qport.h"
#include "qport_ext.h"

namespace {

constexpr short data_port = 0x378;
constexpr short status_port = 0x379;
constexpr short control_port = 0x37A;
constexpr const char *qportio = "/usr/bin/qportio";
constexpr const char *range_text = "parallel port 0x378\u20130x37A through /dev/parport0";

std::string expectation() { return std::getenv("QPORT_GUEST_PHASE"); }
bool locked_down() { return expectation() == "lockdown"; }
// Whether this run reaches the port through its device.
bool in_lp() { return expectation() == "lp-member" || locked_down(); }

char byte(int value) { return static_cast<char>(value); }
int signed_byte(int value) { return static_cast<signed char>(value); }

// File descriptors of this process open on a parallel port's device, with
// whether each is close-on-exec.
std::vector<std::pair<int, bool>> open_parport_devices()
{
    std::vector<std::pair<int, bool>> found;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.string().starts_with("/dev/parport")) {
            const int fd = std::stoi(entry.path().filename().string());
            found.emplace_back(fd, (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        }
    }
    return found;
}

guest::Outcome run_qportio(const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{qportio};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return guest::run_program(command);
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(ParallelPort, NothingIsOpenedBeforeTheFirstQuery)
{
    EXPECT_TRUE(open_parport_devices().empty());
}

TEST(ParallelPort, QportioListsThePortAndReadsSeveralRegisters)
{
    const guest::Outcome listing = run_qportio({"ports"});
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_TRUE(contains(listing.out, "  parport0: ports 0x378-0x37A")) << listing.out;
    EXPECT_TRUE(contains(listing.out, in_lp() ? "this user may open /dev/parport0\n"
                                              : "this user may not open /dev/parport0 "
                                                "(Permission denied): it belongs to group lp"))
        << listing.out;

    struct Case {
        std::vector<std::string> arguments;
        std::string out; // in group lp
        std::string err; // the start of standard error when refused
    };
    const Case cases[] = {
        {{"write", "0x378", "0x3c"}, "", ""},
        {{"read", "-x", "0x378", "0x37a"}, "0x3c\n0xcc\n", ""},
        {{"read", "-w", "16", "0x378"}, "", "qportio: a 16-bit transfer is refused.\n"},
        {{"read", "0x378", "0x80"}, "", "qportio: port 0x0080 is refused.\n"},
        // No EPP on this port: its EPP registers are no part of the route.
        {{"read", "0x37b"}, "", "qportio: port 0x037B is refused.\n"},
        {{"write", "-w", "32", "0x37c", "0"}, "", "qportio: port 0x037C is refused.\n"},
    };
    for (const Case &c : cases) {
        std::string command;
        for (const std::string &argument : c.arguments)
            command += " " + argument;
        SCOPED_TRACE("qportio" + command);
        const guest::Outcome outcome = run_qportio(c.arguments);
        if (in_lp() && c.err.empty()) {
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_EQ(outcome.out, c.out);
            EXPECT_EQ(outcome.err, "");
        } else {
            EXPECT_EQ(outcome.status, 3);
            EXPECT_EQ(outcome.out, "");
            EXPECT_TRUE(
                outcome.err.starts_with(in_lp() ? c.err : "qportio: port access is refused.\n"))
                << outcome.err;
            EXPECT_EQ(contains(outcome.err, range_text), in_lp()) << outcome.err;
        }
    }
}

TEST(ParallelPort, StatusSaysWhatIsReachable)
{
    qport_parport_route routes[2]{};
    const std::string message = qport_access_message();
    // The kernel's reason for refusing direct access, with or without the
    // route.
    EXPECT_EQ(qport_access_errno(), EPERM);
    EXPECT_EQ(qport_direct_access_status(),
              locked_down() ? QPORT_ACCESS_LOCKDOWN : QPORT_ACCESS_NO_PRIVILEGE);
    EXPECT_TRUE(contains(message, locked_down() ? "the kernel is locked down (integrity mode)"
                                                : "lacks the CAP_SYS_RAWIO capability"))
        << message;
    if (!in_lp()) {
        EXPECT_EQ(qport_access_status(), QPORT_ACCESS_NO_PRIVILEGE);
        EXPECT_EQ(qport_parport_routes(routes, 2), 0U);
        EXPECT_FALSE(contains(message, "parallel port")) << message;
        EXPECT_TRUE(open_parport_devices().empty());
        return;
    }
    EXPECT_EQ(qport_access_status(), QPORT_ACCESS_PARPORT_ONLY);
    ASSERT_EQ(qport_parport_routes(routes, 2), 1U);
    EXPECT_EQ(routes[0].first_port, 0x378);
    EXPECT_EQ(routes[0].last_port, 0x37A);
    EXPECT_STREQ(routes[0].device, "/dev/parport0");
    EXPECT_EQ(qport_parport_routes(nullptr, 0), 1U);
    EXPECT_TRUE(message.starts_with("Only the parallel port is reachable: 8-bit transfers on " +
                                    std::string(range_text)))
        << message;
    // Bytes on data, status and control only: the kernel finds no EPP here.
    std::ifstream modes("/proc/sys/dev/parport/parport0/modes");
    std::string mode_list;
    std::getline(modes, mode_list);
    EXPECT_FALSE(contains(mode_list, "EPP")) << mode_list;
    for (unsigned port = 0x378; port <= 0x37F; ++port) {
        SCOPED_TRACE(port);
        const auto reached = static_cast<unsigned short>(port);
        EXPECT_EQ(qport_parport_reaches(reached, 8), port <= 0x37A ? 1 : 0);
        EXPECT_EQ(qport_parport_reaches(reached, 16), 0);
        EXPECT_EQ(qport_parport_reaches(reached, 32), 0);
    }
    // Opened once the query needed it, and never handed to an exec'd program.
    const auto open_devices = open_parport_devices();
    ASSERT_EQ(open_devices.size(), 1U);
    EXPECT_TRUE(open_devices[0].second) << "not close-on-exec";
}

TEST(ParallelPort, ByteTransfersReachTheRegisters)
{
    guest::clear_notices();
    // The data latch reads back what was written; the host finds these
    // values in QEMU's trace only from the run in group lp.
    const std::vector<int> values =
        in_lp() ? std::vector<int>{0xA5, 0x5A, 0xC3, 0x00} : std::vector<int>{0x99};
    for (const int value : values) {
        outportb(data_port, byte(value));
        EXPECT_EQ(inportb(data_port), in_lp() ? signed_byte(value) : -1) << value;
    }
    // QEMU's port with nothing attached: not busy, acknowledged, selected,
    // no error (0xD8 or with the unused bits set).
    const int status = inportb(status_port);
    if (in_lp())
        EXPECT_EQ(status & 0xF8, 0xD8) << status;
    else
        EXPECT_EQ(status, -1);

    // Control as a raw read shows it: the four lines, the direction bit, and
    // the unwired bits 6 and 7 as ones. Printing a character: data, then a
    // strobe with nInit and nSelectIn high; the host finds "OK" in the file
    // behind QEMU's port.
    struct Step {
        int data; // -1: none
        int control;
        int reads;
    };
    const Step steps[] = {
        {'O', 0x0D, 0xCD}, {-1, 0x0C, 0xCC}, {'K', 0x0D, 0xCD},
        {-1, 0x0C, 0xCC},  {-1, 0x2C, 0xEC}, {-1, 0x0C, 0xCC},
    };
    for (const Step &step : steps) {
        if (step.data >= 0)
            outportb(data_port, byte(step.data));
        outportb(control_port, byte(step.control));
        EXPECT_EQ(inportb(control_port), in_lp() ? signed_byte(step.reads) : -1)
            << "after writing " << step.control;
    }
    const auto notices = guest::notices();
    ASSERT_EQ(notices.size(), in_lp() ? 0U : 1U);
}

TEST(ParallelPort, WideTransfersAndOtherPortsAreRefused)
{
    if (!in_lp())
        GTEST_SKIP() << "without the route every transfer is refused, shown above";
    guest::clear_notices();
    outportb(data_port, byte(0x11));
    EXPECT_EQ(inportw(data_port), -1);
    EXPECT_EQ(inport(data_port), -1);
    outportw(data_port, static_cast<short>(0x2222));
    outport(data_port, 0x33333333);
    // The EPP registers of a port without EPP, and the ECP ones: the host
    // finds no access to 0x37B..0x37F in QEMU's trace.
    for (short port = 0x37B; port <= 0x37F; ++port) {
        EXPECT_EQ(inportb(port), -1) << port;
        outportb(port, byte(0x44));
    }
    EXPECT_EQ(inportw(0x37C), -1);
    EXPECT_EQ(inport(0x37C), -1);
    outport(0x37C, 0x44444444);
    EXPECT_EQ(inportb(0x778), -1);
    // The debug console, which must stay empty.
    outportb(0x457A, byte('X'));
    EXPECT_EQ(inportb(data_port), 0x11);
    const auto notices = guest::notices();
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_EQ(notices[0].title, "Port access refused");
    EXPECT_EQ(notices[0].text, qport_access_message());
}

// A thread that gives its access up, as before an exec, cannot go on
// through the route either, while the other threads keep it.
TEST(ParallelPort, AThreadThatDropsItsAccessLeavesTheRoute)
{
    if (!in_lp())
        GTEST_SKIP() << "without the route there is nothing to drop";
    outportb(data_port, byte(0x42));
    int status_after_drop = -1, read_after_drop = 0;
    std::thread([&] {
        EXPECT_EQ(inportb(data_port), 0x42);
        EXPECT_EQ(qport_drop_access(), 0);
        status_after_drop = qport_access_status();
        read_after_drop = inportb(data_port);
        outportb(data_port, byte(0x99)); // must not reach the port
    }).join();
    EXPECT_EQ(status_after_drop, QPORT_ACCESS_DROPPED);
    EXPECT_EQ(read_after_drop, -1);
    EXPECT_EQ(inportb(data_port), 0x42);
    EXPECT_EQ(qport_access_status(), QPORT_ACCESS_PARPORT_ONLY);
}

TEST(ParallelPort, ABusyPortIsRefusedAfterABoundedWait)
{
    if (!in_lp())
        GTEST_SKIP() << "a user not in lp cannot claim the port";
    // This process holds the port since its first transfer.
    const guest::Outcome outcome = run_qportio({"read", "0x378"});
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(outcome.err.starts_with("qportio: Parallel port busy.\nThe parallel port "
                                        "0x378\u20130x37A (/dev/parport0) is held by another "
                                        "program, through /dev/parport0"))
        << outcome.err;
    EXPECT_TRUE(contains(outcome.err, "fuser -v /dev/parport0")) << outcome.err;
    EXPECT_GE(outcome.seconds, 0.9);
    EXPECT_LT(outcome.seconds, 5.0);
}

} // namespace

int main(int argc, char **argv)
{
    qport_set_presenter(guest::record_notice, nullptr);
    return guest::run_parport_tests(argc, argv);
}
