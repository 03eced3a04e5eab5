// SPDX-License-Identifier: LGPL-2.1-or-later
#include "guest_support.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>

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

int run_tests(int argc, char **argv)
{
    if (!holds_only_standard_descriptors())
        return 1;
    // The console log is read as plain text.
    GTEST_FLAG_SET(color, "no");
    testing::InitGoogleTest(&argc, argv);
    const char *value = phase_variable();
    const std::string name = value != nullptr ? value : "";
    if ((name != "granted" && name != "refused") || phase_on_kernel_command_line() != name) {
        std::cerr << "This program runs only inside the emulated PC, started by its /init "
                     "(QPORT_GUEST_PHASE and qport.phase= on the kernel command line).\n";
        return 2;
    }
    std::cout << "phase " << name << ", uid " << getuid() << "\n";
    return RUN_ALL_TESTS();
}

} // namespace guest
