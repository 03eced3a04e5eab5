// SPDX-License-Identifier: LGPL-2.1-or-later
// Giving up privileges, in a child process so that the test runner keeps
// its own. Run as root (as CI does) this starts from every capability; run
// as anyone else it still checks what an unprivileged start must end with.
// No port is touched.
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <vector>
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

// What `work` reports from a forked child, or why there is no report.
struct ChildOutcome {
    std::string error;
    std::string report;
};

template <typename Work> ChildOutcome inChild(Work work)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return {"pipe failed", {}};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        const std::string report = work();
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
    return {"", report};
}

std::string ownStatusText()
{
    std::ifstream status("/proc/self/status");
    std::ostringstream text;
    text << status.rdbuf();
    return text.str();
}

StatusFields fieldsOf(const std::string &report)
{
    std::istringstream text(report);
    return parseStatus(text);
}

ChildOutcome statusAfterDropInChild()
{
    return inChild([] {
        if (const std::error_code error = quorrel::dropPrivileges())
            return "error: " + error.message();
        return ownStatusText();
    });
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
    const ChildOutcome outcome = statusAfterDropInChild();
    ASSERT_EQ(outcome.error, "");
    const StatusFields after = fieldsOf(outcome.report);
    for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        EXPECT_EQ(after.at(set), noCapabilities) << set << " was " << before.at(set);
    EXPECT_EQ(after.at("NoNewPrivs"), "1");
    if (hasCapability(before.at("CapEff"), capSetpcap))
        EXPECT_EQ(after.at("CapBnd"), noCapabilities) << "was " << before.at("CapBnd");
    else
        EXPECT_EQ(after.at("CapBnd"), before.at("CapBnd"));
}

// A fake environment for invokingUser().
std::map<std::string, std::string> fakeEnvironment;
const char *fromFake(const char *name)
{
    const auto found = fakeEnvironment.find(name);
    return found == fakeEnvironment.end() ? nullptr : found->second.c_str();
}
gid_t groupOfUid(uid_t uid) { return uid == 1000 ? 1000 : static_cast<gid_t>(-1); }

TEST(InvokingUser, IsTakenOnlyFromWellFormedVariablesOfARootStart)
{
    struct Case {
        const char *name;
        uid_t ruid, euid;
        gid_t rgid, egid;
        std::map<std::string, std::string> environment;
        std::optional<quorrel::InvokingUser> expected;
    };
    const Case cases[] = {
        {"sudo", 0, 0, 0, 0, {{"SUDO_UID", "1000"}, {"SUDO_GID", "1001"}}, {{1000, 1001, true}}},
        {"sudo without SUDO_GID", 0, 0, 0, 0, {{"SUDO_UID", "1000"}}, {{1000, 1000, true}}},
        {"pkexec", 0, 0, 0, 0, {{"PKEXEC_UID", "1000"}}, {{1000, 1000, true}}},
        {"pkexec, unknown user", 0, 0, 0, 0, {{"PKEXEC_UID", "4242"}}, std::nullopt},
        {"plain root", 0, 0, 0, 0, {}, std::nullopt},
        {"sudo from root", 0, 0, 0, 0, {{"SUDO_UID", "0"}, {"SUDO_GID", "0"}}, std::nullopt},
        {"sudo to root's group",
         0,
         0,
         0,
         0,
         {{"SUDO_UID", "1000"}, {"SUDO_GID", "0"}},
         std::nullopt},
        {"a signed uid", 0, 0, 0, 0, {{"SUDO_UID", "-1"}}, std::nullopt},
        {"a uid with trailing text", 0, 0, 0, 0, {{"SUDO_UID", "1000 "}}, std::nullopt},
        {"the kernel's 'unchanged'", 0, 0, 0, 0, {{"SUDO_UID", "4294967295"}}, std::nullopt},
        {"an overflowing uid", 0, 0, 0, 0, {{"SUDO_UID", "99999999999"}}, std::nullopt},
        {"a user's own start", 1000, 1000, 1000, 1000, {{"SUDO_UID", "1"}}, std::nullopt},
        {"set-user-ID root", 1000, 0, 1000, 1000, {}, {{1000, 1000, false}}},
        {"set-group-ID", 1000, 1000, 1000, 42, {}, {{1000, 1000, false}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fakeEnvironment = c.environment;
        const auto user =
            quorrel::invokingUser(c.ruid, c.euid, c.rgid, c.egid, fromFake, groupOfUid);
        ASSERT_EQ(user.has_value(), c.expected.has_value());
        if (user) {
            EXPECT_EQ(user->uid, c.expected->uid);
            EXPECT_EQ(user->gid, c.expected->gid);
            EXPECT_EQ(user->lookUpGroups, c.expected->lookUpGroups);
        }
    }
}

TEST(WindowEnvironment, KeepsWhatAWindowNeedsAndNothingThatNamesCode)
{
    const char *const environment[] = {
        "DISPLAY=:0",
        "XAUTHORITY=/run/user/1000/gdm/Xauthority",
        "LANG=de_DE.UTF-8",
        "LC_ALL=../../tmp/evil",
        "LANGUAGE=de:en",
        "QT_QPA_PLATFORM=offscreen:configfile=/tmp/evil.json",
        "QT_PLUGIN_PATH=/tmp/evil",
        "QT_QPA_PLATFORM_PLUGIN_PATH=/tmp/evil",
        "QT_QPA_GENERIC_PLUGINS=evil",
        "QT_STYLE_OVERRIDE=evil",
        "QT_QPA_PLATFORMTHEME=evil",
        "LD_PRELOAD=/tmp/evil.so",
        "LD_LIBRARY_PATH=/tmp",
        "XDG_CONFIG_HOME=/tmp/evil",
        "XDG_DATA_DIRS=/tmp/evil",
        "FONTCONFIG_FILE=/tmp/evil.conf",
        "GTK_MODULES=evil",
        "HOME=/home/user",
        "PATH=/tmp/evil:/usr/bin",
        "DISPLAYX=:1",
        "XDG_RUNTIME_DIR=/run/user/1000",
    };
    const auto kept = quorrel::windowEnvironment(environment, "/home/user/.Xauthority");
    const std::vector<std::string> expected = {
        "DISPLAY=:0",
        "XAUTHORITY=/run/user/1000/gdm/Xauthority",
        "XDG_RUNTIME_DIR=/run/user/1000",
        "LANG=de_DE.UTF-8",
        "LANGUAGE=de:en",
        "HOME=/nonexistent",
        "PATH=/usr/bin:/bin",
    };
    EXPECT_EQ(kept, expected);

    // Without XAUTHORITY the cookie is looked for in the user's real home.
    const char *const bare[] = {"DISPLAY=:1", "QT_QPA_PLATFORM=xcb"};
    const std::vector<std::string> expectedBare = {"DISPLAY=:1", "QT_QPA_PLATFORM=xcb",
                                                   "XAUTHORITY=/home/user/.Xauthority",
                                                   "HOME=/nonexistent", "PATH=/usr/bin:/bin"};
    EXPECT_EQ(quorrel::windowEnvironment(bare, "/home/user/.Xauthority"), expectedBare);
}

// A sudo start, played in a child of the test runner as root: the process
// ends up as the invoking user, with no capability, no way back to root and
// none of the variables the attacker set.
TEST(StartUnprivileged, UnderSudoRunsAsTheInvokingUserWithAWindowsEnvironmentOnly)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to play a sudo start";
    const ChildOutcome outcome = inChild([] {
        ::setenv("SUDO_UID", "65534", 1);
        ::setenv("SUDO_GID", "65534", 1);
        ::setenv("QT_PLUGIN_PATH", "/tmp/evil", 1);
        ::setenv("DISPLAY", ":7", 1);
        std::ostringstream warnings;
        if (const std::error_code error =
                quorrel::startUnprivileged(warnings, quorrel::PortSpace::hardware))
            return "error: " + error.message();
        std::string report = ownStatusText();
        report += "Environment:\t";
        for (char **entry = environ; *entry != nullptr; ++entry)
            report += std::string(*entry) + ",";
        report += "\nShadowWritable:\t";
        report += ::access("/etc/shadow", W_OK) == 0 ? "yes" : "no";
        report += "\nBackToRoot:\t";
        report += ::setuid(0) == 0 ? "yes" : "no";
        report += "\nWarnings:\t" + std::to_string(warnings.str().size()) + "\n";
        return report;
    });
    ASSERT_EQ(outcome.error, "");
    const StatusFields after = fieldsOf(outcome.report);
    EXPECT_EQ(after.at("Uid"), "65534");
    EXPECT_EQ(after.at("Gid"), "65534");
    for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapAmb", "CapBnd"})
        EXPECT_EQ(after.at(set), noCapabilities) << set;
    EXPECT_EQ(after.at("NoNewPrivs"), "1");
    EXPECT_EQ(after.at("ShadowWritable"), "no");
    EXPECT_EQ(after.at("BackToRoot"), "no");
    EXPECT_EQ(after.at("Warnings"), "0") << "a sudo start is no plain root start";
    const std::string environment = outcome.report.substr(outcome.report.find("Environment:"));
    EXPECT_NE(environment.find("DISPLAY=:7,"), std::string::npos) << environment;
    EXPECT_NE(environment.find("HOME=/nonexistent,"), std::string::npos) << environment;
    for (const char *gone : {"QT_PLUGIN_PATH", "SUDO_UID"})
        EXPECT_EQ(environment.find(gone), std::string::npos) << gone;
}

// Plain root, with nobody to switch to: the window goes on as root and the
// warning says how to avoid that on the build in use. The simulated port
// space needs no capability, so none is spoken of; for the hardware the
// warning points to the documentation, which says whom to let run the
// program before it is given one, never to a bare setcap.
TEST(StartUnprivileged, AsPlainRootTellsWhatTheBuildInUseNeeds)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to play a plain root start";
    const struct {
        quorrel::PortSpace portSpace;
        const char *expected;
    } cases[] = {
        {quorrel::PortSpace::simulated,
         "Quorrel: the window runs as root. The simulated port space needs no privilege: "
         "start Quorrel as yourself.\n"},
        {quorrel::PortSpace::hardware,
         "Quorrel: the window runs as root. To use the ports as yourself instead, restrict who "
         "may run the program, then give it the capability, as explained in\n   "
         " " QPORT_REAL_ACCESS_DOC "\n"},
    };
    for (const auto &c : cases) {
        const ChildOutcome outcome = inChild([&c] {
            for (const char *invoker : {"SUDO_UID", "SUDO_GID", "PKEXEC_UID"})
                ::unsetenv(invoker);
            std::ostringstream warnings;
            if (const std::error_code error = quorrel::startUnprivileged(warnings, c.portSpace))
                return "error: " + error.message();
            return warnings.str();
        });
        ASSERT_EQ(outcome.error, "");
        EXPECT_EQ(outcome.report, c.expected);
    }
}

} // namespace
