// SPDX-License-Identifier: LGPL-2.1-or-later
// Port permission as root power, on real instructions: who keeps it when a
// program gives up its privileges, and who loses it.
//
// Each case runs in a child of its own, which gives up privileges for good;
// the test runner keeps root for the next case. The cases need root to start
// from, so in the refused phase they skip.
//
// Started with --raw-read as its only argument, the program instead reads
// the parallel port's data register with a bare `in` instruction, outside the
// library, and ends with 0 if the read was made or 3 if it faulted: that is
// how a program exec'd by a case shows what permission it inherited.
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/io.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "guest_support.h"
#include "privileges.h"
#include "qport.h"
#include "qport_ext.h"

namespace {

constexpr short parallel_data = 0x378;
constexpr int raw_read_made = 0;
constexpr int raw_read_faulted = 3;
// In the initramfs root, which only root may write.
constexpr const char *root_only_file = "/root-only";

sigjmp_buf fault_return;

void return_from_fault(int) { siglongjmp(fault_return, 1); }

// A bare port read, outside the library: true if the processor made it,
// false if it faulted for want of permission.
bool raw_read_succeeds()
{
    struct sigaction action {};
    action.sa_handler = return_from_fault;
    ::sigaction(SIGSEGV, &action, nullptr);
    if (sigsetjmp(fault_return, 1) != 0)
        return false;
    static_cast<void>(::inb(static_cast<unsigned short>(parallel_data)));
    return true;
}

// Runs work in a forked child and hands back its exit status, or -1 for a
// child that died by a signal.
template <typename Work> int in_child(Work work)
{
    const pid_t child = ::fork();
    if (child == 0) {
        // gtest's failures in the child end up in its exit status.
        work();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string status_field(const std::string &name)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            std::istringstream value(line.substr(name.size() + 1));
            std::string word;
            value >> word;
            return word;
        }
    }
    return "";
}

class Privileges : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (guest::phase() != guest::Phase::granted)
            GTEST_SKIP() << "these cases start from root";
    }
};

// The library asked for access at load in a process with one thread, so
// later threads hold it by descent: they transfer without asking again,
// which would fail once CAP_SYS_RAWIO is gone.
TEST_F(Privileges, AThreadCreatedAfterTheCapabilityDropTransfers)
{
    EXPECT_EQ(in_child([] {
                  ASSERT_FALSE(quorrel::dropPrivileges());
                  ASSERT_EQ(status_field("CapEff"), "0000000000000000");
                  int read_back = 0;
                  qport_access access = QPORT_ACCESS_OTHER;
                  std::thread later([&] {
                      outportb(parallel_data, 0x5A);
                      read_back = inportb(parallel_data);
                      access = qport_access_status();
                  });
                  later.join();
                  EXPECT_EQ(read_back, 0x5A);
                  EXPECT_EQ(access, QPORT_ACCESS_GRANTED);
              }),
              0);
}

// uid 0 with SUDO_UID, as sudo starts a program: the process becomes that
// user, with no capability and no way back, and its transfers still work.
TEST_F(Privileges, ASudoStartRunsAsTheUserAndStillTransfers)
{
    const int file = ::open(root_only_file, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    ::close(file);
    EXPECT_EQ(in_child([] {
                  ::setenv("SUDO_UID", "65534", 1);
                  ::setenv("SUDO_GID", "65534", 1);
                  std::ostringstream warnings;
                  ASSERT_FALSE(quorrel::startUnprivileged(warnings, quorrel::PortSpace::hardware));
                  EXPECT_EQ(::getuid(), 65534U);
                  EXPECT_EQ(::geteuid(), 65534U);
                  EXPECT_EQ(::getgid(), 65534U);
                  for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapAmb", "CapBnd"})
                      EXPECT_EQ(status_field(set), "0000000000000000") << set;
                  EXPECT_NE(::setuid(0), 0) << "root could be taken back";
                  EXPECT_NE(::access(root_only_file, W_OK), 0) << "root's files are writable";
                  outportb(parallel_data, 0x3C);
                  EXPECT_EQ(inportb(parallel_data), 0x3C);
                  outportb(parallel_data, 0x00);
              }),
              0);
}

// After qport_drop_access the thread's own instructions fault, a program
// it execs inherits nothing, and threads created afterwards ask the kernel
// for themselves. Without the call, the exec'd program could use every port.
TEST_F(Privileges, DroppedAccessFaultsAndDoesNotSurviveExec)
{
    const struct {
        const char *name;
        bool drop;
        int exec_outcome;
    } cases[] = {
        {"kept: the permission survives exec", false, raw_read_made},
        {"dropped", true, raw_read_faulted},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(in_child([&c] {
                      // So that the exec'd program cannot ask for access anew.
                      ASSERT_FALSE(quorrel::dropPrivileges());
                      if (c.drop) {
                          ASSERT_EQ(qport_drop_access(), 0);
                          EXPECT_EQ(qport_access_status(), QPORT_ACCESS_DROPPED);
                          EXPECT_FALSE(raw_read_succeeds());
                          EXPECT_EQ(inportb(parallel_data), QPORT_REFUSED_READ);
                          qport_access later_access = QPORT_ACCESS_GRANTED;
                          std::thread later([&] { later_access = qport_access_status(); });
                          later.join();
                          EXPECT_EQ(later_access, QPORT_ACCESS_NO_PRIVILEGE);
                      }
                      const pid_t exec_child = ::fork();
                      if (exec_child == 0) {
                          char name[] = "privileges_test";
                          char mode[] = "--raw-read";
                          char *arguments[] = {name, mode, nullptr};
                          ::execv("/proc/self/exe", arguments);
                          ::_exit(127);
                      }
                      int status = 0;
                      ::waitpid(exec_child, &status, 0);
                      EXPECT_TRUE(WIFEXITED(status));
                      EXPECT_EQ(WEXITSTATUS(status), c.exec_outcome);
                  }),
                  0);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--raw-read") == 0 &&
        guest::phase_on_kernel_command_line() == "granted")
        return raw_read_succeeds() ? raw_read_made : raw_read_faulted;
    return guest::run_tests(argc, argv);
}
