// SPDX-License-Identifier: LGPL-2.1-or-later
// The attacker's side of Quorrel's file capability: an unprivileged user runs
// the cap_sys_rawio+ep copy of the real program and offers it code through
// every channel a Qt program might take it from: environment variables,
// command-line options and the user's configuration files. None of it may
// run, and Quorrel must open none of those files. The attacker's code would
// leave a mark and write 0xEE to the debug console's port, which the host
// checks in the debug console and QEMU's trace.
//
// Controls, on the copy without capability, show that the channels are real:
// there Qt loads the plugin that QT_PLUGIN_PATH offers and reads the user's
// configuration files; only options are ignored in every mode.
//
// Runs only inside the emulated PC, started by its /init in the quorrel phase
// as user 65534 (the phase's second launch, without capability, has nothing
// left to do).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "attacker/payload.h"
#include "inherited_descriptors.h"
#include "kernel_command_line.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char *capableQuorrel = "/run/capable/Quorrel";
constexpr const char *plainQuorrel = "/usr/bin/Quorrel";
// Installed by the initramfs, owned by root; the attacker copies them.
constexpr const char *attackerFiles = "/usr/lib/qport-attack";
const fs::path workArea = "/tmp/qport-attack";
const fs::path pluginPath = workArea / "plugins";
const fs::path home = workArea / "home";
// What the program printed, shown when it ended by itself.
constexpr const char *programOutput = "/tmp/qport-attack-output";

int failures = 0;

void report(const std::string &line)
{
    std::printf("qport-quorrel-attack: %s\n", line.c_str());
    std::fflush(stdout);
}

void check(bool holds, const std::string &what)
{
    if (!holds) {
        ++failures;
        report("FAIL " + what);
    }
}

void writeFile(const fs::path &path, const std::string &text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// The user's files: plugins where QT_PLUGIN_PATH will point, and settings
// files under the home that could name code or paths.
void prepareAttackerFiles()
{
    fs::remove_all(workArea);
    fs::create_directories(pluginPath / "generic");
    fs::create_directories(pluginPath / "styles");
    fs::copy_file(fs::path(attackerFiles) / "libevil_generic_plugin.so",
                  pluginPath / "generic" / "libevil_generic_plugin.so");
    fs::copy_file(fs::path(attackerFiles) / "libevil_style_plugin.so",
                  pluginPath / "styles" / "libevil_style_plugin.so");
    fs::copy_file(fs::path(attackerFiles) / "libevil_preload.so",
                  pluginPath / "libevil_preload.so");
    writeFile(home / ".config/fontconfig/fonts.conf",
              "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
              "<fontconfig><dir>/tmp/qport-attack/fonts</dir></fontconfig>\n");
    writeFile(home / ".config/QtProject/qtlogging.ini", "[Rules]\n*.debug=true\n");
    writeFile(home / ".config/gtk-3.0/settings.ini",
              "[Settings]\ngtk-modules=/tmp/qport-attack/plugins/libevil_preload.so\n");
    writeFile(home / ".config/Trolltech.conf", "[Qt]\nstyle=evilstyle\n");
    writeFile(home / ".Xdefaults", "*customization: -evil\n");
}

// Which of the user's files the program opens: an inotify watch on every
// directory under the home.
class OpenWatch {
public:
    OpenWatch() : fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        add(home);
        for (const auto &entry : fs::recursive_directory_iterator(home))
            if (entry.is_directory())
                add(entry.path());
    }
    ~OpenWatch() { ::close(fd); }
    OpenWatch(const OpenWatch &) = delete;
    OpenWatch &operator=(const OpenWatch &) = delete;

    // The files opened since the last call. Not const: it takes the events
    // off the watch.
    std::vector<std::string> opened() // NOLINT(readability-make-member-function-const)
    {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            for (char *at = buffer; at < buffer + got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                if (event->len > 0)
                    names.emplace_back(event->name);
                at += sizeof(inotify_event) + event->len;
            }
        }
        return names;
    }

private:
    // Not const: it changes what the watch reports.
    void add(const fs::path &directory) // NOLINT(readability-make-member-function-const)
    {
        ::inotify_add_watch(fd, directory.c_str(), IN_OPEN);
    }
    int fd;
};

struct Channel {
    std::string name;
    std::vector<std::string> environment; // besides the common ones
    std::vector<std::string> options;
};

struct Outcome {
    std::string marks; // what the attacker's code left, if it ran
    std::vector<std::string> opened;
    bool aliveAtTheEnd = false; // still showing its window when stopped
    double markAfterMs = -1;    // when the mark appeared
    int exitStatus = 0;
};

std::string fileText(const char *path)
{
    std::ifstream file(path);
    std::string text, line;
    while (std::getline(file, line))
        text += line + "\n";
    return text;
}

// Starts program through channel, waits until the attacker's mark appears,
// the program ends, or waitMs pass, then stops it.
Outcome run(const char *program, const Channel &channel, double waitMs, OpenWatch &watch)
{
    fs::remove(attackerMarks);
    static_cast<void>(watch.opened());
    std::vector<std::string> environment = {"QT_QPA_PLATFORM=offscreen", "HOME=" + home.string(),
                                            "PATH=/usr/bin:/bin"};
    environment.insert(environment.end(), channel.environment.begin(), channel.environment.end());
    std::vector<std::string> arguments = {"Quorrel"};
    arguments.insert(arguments.end(), channel.options.begin(), channel.options.end());

    const Clock::time_point start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char *> argv, envp;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        for (std::string &entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        const int output = ::open(programOutput, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        ::execve(program, argv.data(), envp.data());
        ::_exit(127);
    }
    Outcome outcome;
    int status = 0;
    bool ended = false;
    for (;;) {
        const double elapsedMs =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (outcome.markAfterMs < 0 && fs::exists(attackerMarks))
            outcome.markAfterMs = elapsedMs;
        if (::waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            break;
        }
        if (outcome.markAfterMs >= 0 || elapsedMs >= waitMs)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    outcome.aliveAtTheEnd = !ended;
    outcome.exitStatus = status;
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    outcome.marks = fileText(attackerMarks);
    outcome.opened = watch.opened();
    return outcome;
}

std::string joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none" : text;
}

void describe(const std::string &who, const Channel &channel, const Outcome &outcome)
{
    std::string marks = outcome.marks;
    std::replace(marks.begin(), marks.end(), '\n', ' ');
    report(who + ", " + channel.name + ": attacker's code " +
           (marks.empty() ? "did not run" : "ran (" + marks + ")") +
           ", user's files opened: " + joined(outcome.opened) +
           (outcome.aliveAtTheEnd
                ? ", window up"
                : ", ended with wait status " + std::to_string(outcome.exitStatus)));
    if (!outcome.aliveAtTheEnd) {
        std::ifstream output(programOutput);
        std::string line;
        for (int lines = 0; lines < 5 && std::getline(output, line); ++lines)
            report("  it printed: " + line);
    }
}

// The attack program itself runs with the capability its launch gave it;
// an attacker has none.
void dropOwnCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capset, &header, sets) != 0)
        report(std::string("cannot give up capabilities: ") + std::strerror(errno));
}

} // namespace

int main()
{
    if (!guest::holds_only_standard_descriptors())
        return 1;
    const char *expectation = std::getenv("QPORT_GUEST_PHASE");
    if (guest::phase_on_kernel_command_line() != "quorrel" || expectation == nullptr) {
        std::fputs("This program runs only inside the emulated PC, started by its /init "
                   "(qport.phase=quorrel on the kernel command line).\n",
                   stderr);
        return 2;
    }
    if (std::string(expectation) != "granted") {
        report("passed (nothing to do without capability)");
        return 0;
    }
    dropOwnCapabilities();
    prepareAttackerFiles();
    OpenWatch watch;

    const std::string plugins = "QT_PLUGIN_PATH=" + pluginPath.string();
    const Channel genericPlugin{"QT_PLUGIN_PATH and QT_QPA_GENERIC_PLUGINS",
                                {plugins, "QT_QPA_GENERIC_PLUGINS=evilgeneric"},
                                {}};
    const Channel userFiles{"configuration files in the user's home", {}, {}};
    const Channel pluginOption{"-plugin evilgeneric", {plugins}, {"-plugin", "evilgeneric"}};

    // Controls: the channels work where no privilege is at stake.
    const Outcome loaded = run(plainQuorrel, genericPlugin, 20000, watch);
    describe("control without capability", genericPlugin, loaded);
    check(loaded.marks.find("generic plugin") != std::string::npos,
          "the control did not load the offered plugin: the attack proves nothing");
    const double waitMs = std::max(3000.0, 3 * loaded.markAfterMs);
    const Outcome read = run(plainQuorrel, userFiles, waitMs, watch);
    describe("control without capability", userFiles, read);
    check(!read.opened.empty(), "the control opened none of the user's files: the watch is blind");
    const Outcome ignored = run(plainQuorrel, pluginOption, waitMs, watch);
    describe("without capability", pluginOption, ignored);
    check(ignored.marks.empty(), "an option loaded a plugin without capability");

    const Channel attacks[] = {
        genericPlugin,
        {"QT_PLUGIN_PATH and QT_STYLE_OVERRIDE", {plugins, "QT_STYLE_OVERRIDE=evilstyle"}, {}},
        pluginOption,
        {"-style evilstyle", {plugins}, {"-style", "evilstyle"}},
        {"-platformpluginpath and -platform",
         {},
         {"-platformpluginpath", (pluginPath / "generic").string(), "-platform", "evilgeneric"}},
        {"LD_PRELOAD", {"LD_PRELOAD=" + (pluginPath / "libevil_preload.so").string()}, {}},
        {"XDG_CONFIG_HOME and FONTCONFIG_FILE",
         {"XDG_CONFIG_HOME=" + (home / ".config").string(),
          "FONTCONFIG_FILE=" + (home / ".config/fontconfig/fonts.conf").string()},
         {}},
        userFiles,
    };
    for (const Channel &channel : attacks) {
        const Outcome outcome = run(capableQuorrel, channel, waitMs, watch);
        describe("cap_sys_rawio+ep", channel, outcome);
        check(outcome.marks.empty(), channel.name + ": the attacker's code ran");
        check(outcome.opened.empty(), channel.name + ": the user's files were opened");
        check(outcome.aliveAtTheEnd, channel.name + ": Quorrel did not keep its window up");
    }
    report(failures == 0 ? "passed" : "failed");
    return failures == 0 ? 0 : 1;
}
