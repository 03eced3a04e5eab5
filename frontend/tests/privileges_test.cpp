// Giving up privileges, in a child process so that the test runner keeps
// its own. Run as root (as CI does) this starts from every capability; run
// as anyone else it still checks what an unprivileged start must end with.
// No port is touched.
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "privileges.h"

namespace {

using StatusFields = std::map<std::string, std::string>;

StatusFields parseStatus(std::istream &text)
{
    StatusFields fields;
    std::string line;
    while (std::getline(text, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::istringstream value(line.substr(colon + 1));
        value >> fields[line.substr(0, colon)];
    }
    return fields;
}

StatusFields ownStatus()
{
    std::ifstream status("/proc/self/status");
    return parseStatus(status);
}

// The child's /proc/self/status after the drop, or the drop's error.
struct ChildOutcome {
    std::string error;
    StatusFields status;
};

ChildOutcome statusAfterDropInChild()
{
    int channel[2];
    if (::pipe(channel) != 0)
        return {"pipe failed", {}};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::string report;
        if (const std::error_code error = quorrel::dropPrivileges()) {
            report = "error: " + error.message();
        } else {
            std::ifstream status("/proc/self/status");
            std::ostringstream text;
            text << status.rdbuf();
            report = text.str();
        }
        const char *next = report.data();
        std::size_t left = report.size();
        while (left > 0) {
            const ssize_t written = ::write(channel[1], next, left);
            if (written <= 0)
                ::_exit(1);
            next += written;
            left -= static_cast<std::size_t>(written);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(channel[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<std::size_t>(got));
    ::close(channel[0]);
    int wait_status = 0;
    ::waitpid(child, &wait_status, 0);
    if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0)
        return {"the child did not end normally", {}};
    if (report.rfind("error: ", 0) == 0)
        return {report, {}};
    std::istringstream text(report);
    return {"", parseStatus(text)};
}

bool hasCapability(const std::string &mask, unsigned capability)
{
    return (std::stoull(mask, nullptr, 16) >> capability) & 1U;
}

constexpr unsigned capSetpcap = 8;
constexpr const char *noCapabilities = "0000000000000000";

TEST(DropPrivileges, LeavesNoCapabilityAndNoWayToGainOne)
{
    const StatusFields before = ownStatus();
    const ChildOutcome after = statusAfterDropInChild();
    ASSERT_EQ(after.error, "");
    for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        EXPECT_EQ(after.status.at(set), noCapabilities) << set << " was " << before.at(set);
    EXPECT_EQ(after.status.at("NoNewPrivs"), "1");
    if (hasCapability(before.at("CapEff"), capSetpcap))
        EXPECT_EQ(after.status.at("CapBnd"), noCapabilities) << "was " << before.at("CapBnd");
    else
        EXPECT_EQ(after.status.at("CapBnd"), before.at("CapBnd"));
}

} // namespace
