// SPDX-License-Identifier: LGPL-2.1-or-later
#include "guest_support.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "inherited_descriptors.h"
#include "qport_ext.h"

namespace guest {
namespace {

std::mutex notices_mutex;
std::vector<Notice> recent_notices;
std::vector<Notice> all_notices;
std::function<void(const Notice &)> notice_hook;

const char *phase_variable() { return std::getenv("QPORT_GUEST_PHASE"); }

} // namespace

Phase phase()
{
    const char *value = phase_variable();
    return value != nullptr && std::string(value) == "refused" ? Phase::refused : Phase::granted;
}

int expected_read(int granted_value)
{
    return phase() == Phase::granted ? granted_value : QPORT_REFUSED_READ;
}

int record_notice(const char *title, const char *text, void *)
{
    const Notice notice{title, text};
    std::function<void(const Notice &)> hook;
    {
        const std::lock_guard lock(notices_mutex);
        hook = notice_hook;
    }
    if (hook)
        hook(notice);
    const std::lock_guard lock(notices_mutex);
    recent_notices.push_back(notice);
    all_notices.push_back(notice);
    return 1;
}

std::vector<Notice> notices()
{
    const std::lock_guard lock(notices_mutex);
    return recent_notices;
}

void clear_notices()
{
    const std::lock_guard lock(notices_mutex);
    recent_notices.clear();
}

int notices_ever(const std::string &title)
{
    const std::lock_guard lock(notices_mutex);
    int count = 0;
    for (const Notice &notice : all_notices)
        count += notice.title == title ? 1 : 0;
    return count;
}

void set_notice_hook(std::function<void(const Notice &)> hook)
{
    const std::lock_guard lock(notices_mutex);
    notice_hook = std::move(hook);
}

namespace {

std::string read_all(int fd)
{
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

// What a program is told to expect (QPORT_GUEST_PHASE), and the boot phase
// on the kernel command line it is told so in.
struct Expectation {
    std::string name;
    std::string kernel_phase;
};

// Checks what every guest program checks first, then runs its tests if this
// is an expectation it is meant for, in its phase.
int run_tests_in(int argc, char **argv, const std::vector<Expectation> &expectations)
{
    if (!holds_only_standard_descriptors())
        return 1;
    // The console log is read as plain text.
    GTEST_FLAG_SET(color, "no");
    testing::InitGoogleTest(&argc, argv);
    const char *value = phase_variable();
    const std::string name = value != nullptr ? value : "";
    const std::string kernel_phase = phase_on_kernel_command_line();
    if (std::none_of(expectations.begin(), expectations.end(), [&](const Expectation &each) {
            return each.name == name && each.kernel_phase == kernel_phase;
        })) {
        std::cerr << "This program runs only inside the emulated PC, started by its /init "
                     "(QPORT_GUEST_PHASE and qport.phase= on the kernel command line).\n";
        return 2;
    }
    std::cout << "phase " << name << ", uid " << getuid() << ", gid " << getgid() << "\n";
    return RUN_ALL_TESTS();
}

} // namespace

Outcome run_program(const std::vector<std::string> &command)
{
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        return {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        std::vector<char *> argv;
        for (const std::string &word : command)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
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
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

int run_tests(int argc, char **argv)
{
    return run_tests_in(argc, argv, {{"granted", "granted"}, {"refused", "refused"}});
}

int run_parport_tests(int argc, char **argv)
{
    return run_tests_in(
        argc, argv, {{"lp-member", "parport"}, {"refused", "parport"}, {"lockdown", "lockdown"}});
}

int run_record_tests(int argc, char **argv)
{
    return run_tests_in(argc, argv, {{"record", "record"}});
}

} // namespace guest
