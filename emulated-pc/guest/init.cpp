// SPDX-License-Identifier: LGPL-2.1-or-later
// The emulated PC's first process. It mounts the kernel's file systems, looks
// up the phase that qport.phase= on the kernel command line names in the
// phase table (/etc/qport-phases, from emulated-pc/phases.cfg), prepares what the
// phase asks for, and runs the table's programs from /tests in its order, each
// as the table says: as root, as user and group 65534 (so without any
// capability, CAP_SYS_RAWIO included), the same in group lp, or as 65534 from
// a copy given the file capability cap_sys_rawio+ep with LD_LIBRARY_PATH
// naming the simulated build (which the loader's secure mode must ignore).
// Each program learns what to expect from QPORT_GUEST_PHASE.
//
// It prints one result line per run on the console, fails a program the table
// names that /tests lacks and one in /tests the phase does not run, and ends
// the machine through isa-debug-exit with the number of failures, so 0 means
// all passed. The host reads the console for the details and QEMU's exit
// status for the outcome.
//
// This program executes a port instruction itself, to reach isa-debug-exit;
// it is built for the guest only and never runs on the host. It takes that
// port first, before any preparation: a phase may lock the kernel down, which
// refuses ioperm even to root but leaves a permission already held. Every
// program it starts gives the port up before it runs.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/io.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include "kernel_command_line.h"
#include "parport_setup.h"
#include "phase_table.h"

namespace {

constexpr std::uint16_t debug_exit_port = 0xF4;
constexpr uid_t unprivileged_id = 65534;
constexpr unsigned program_time_limit_s = 60;
constexpr int most_reportable_failures = 0x7F;
// Where make-initramfs puts the simulated build for the quorrel phase.
constexpr const char *simulated_library_dir = "/usr/lib/qport-simulated";
// Quorrel itself, in the quorrel phase's initramfs.
constexpr const char *installed_quorrel = "/usr/bin/Quorrel";
// A tmpfs: the initramfs's own file system may keep no extended attributes.
constexpr const char *capable_copies_dir = "/run/capable";

constexpr const char *tests_dir = "/tests";
// Where the security file system shows and sets the kernel's lockdown.
constexpr const char *security_dir = "/sys/kernel/security";
constexpr const char *lockdown_file = "/sys/kernel/security/lockdown";

// Whether /init holds the permission for isa-debug-exit's port.
bool holds_exit_port = false;

// One start of a program: as whom, and what it is told.
struct Launch {
    std::filesystem::path program;
    std::string label;
    std::string expectation; // QPORT_GUEST_PHASE
    bool unprivileged;
    std::string library_path;       // LD_LIBRARY_PATH, unset when empty
    std::vector<gid_t> groups = {}; // supplementary groups when unprivileged
};

void report(const std::string &line)
{
    std::printf("qport-guest: %s\n", line.c_str());
    std::fflush(stdout);
}

double seconds_since(const timespec &start)
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

std::string format_seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

void mount_or_report(const char *source, const char *target, const char *type)
{
    if (::mount(source, target, type, 0, nullptr) != 0)
        report(std::string("cannot mount ") + target + ": " + std::strerror(errno));
}

// Console output stays readable whatever the kernel handed over.
void attach_console()
{
    const int console = ::open("/dev/console", O_RDWR);
    if (console < 0)
        return;
    ::dup2(console, STDOUT_FILENO);
    ::dup2(console, STDERR_FILENO);
    if (console > STDERR_FILENO)
        ::close(console);
}

// The programs in /tests that the phase never runs: an image built for
// another phase, or a table that forgot one.
std::vector<std::string> programs_not_run(const guest::BootPhase &phase)
{
    std::vector<std::string> strays;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(tests_dir, error)) {
        const std::string name = entry.path().filename().string();
        if (std::none_of(phase.runs.begin(), phase.runs.end(),
                         [&](const guest::ProgramRun &run) { return run.program == name; }))
            strays.push_back(name);
    }
    std::sort(strays.begin(), strays.end());
    return strays;
}

// In the child: takes the identity the launch asks for, then becomes the
// program. Any failure ends the child with status 127.
[[noreturn]] void exec_program(const Launch &launch)
{
    // Port permission survives fork and exec: no program may start with
    // /init's. Giving it up needs no privilege, under lockdown too.
    if (::ioperm(debug_exit_port, 1, 0) != 0) {
        std::perror("qport-guest: cannot give up port 0xf4");
        std::_Exit(127);
    }
    // Close-on-exec: only the copy on standard input may reach the program.
    const int null_input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_input >= 0)
        ::dup2(null_input, STDIN_FILENO);
    if (launch.unprivileged) {
        // Leaving uid 0 for good clears every capability, CAP_SYS_RAWIO too.
        if (::setgroups(launch.groups.size(), launch.groups.data()) != 0 ||
            ::setgid(unprivileged_id) != 0 || ::setuid(unprivileged_id) != 0) {
            std::perror("qport-guest: cannot drop privileges");
            std::_Exit(127);
        }
    }
    ::setenv("QPORT_GUEST_PHASE", launch.expectation.c_str(), 1);
    if (!launch.library_path.empty())
        ::setenv("LD_LIBRARY_PATH", launch.library_path.c_str(), 1);
    ::alarm(program_time_limit_s);
    const std::string path = launch.program.string();
    char *const arguments[] = {const_cast<char *>(path.c_str()), nullptr};
    ::execv(path.c_str(), arguments);
    std::perror(("qport-guest: cannot run " + path).c_str());
    std::_Exit(127);
}

std::string describe(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    const int signal_number = WTERMSIG(status);
    std::string text = std::string("killed by signal ") + std::to_string(signal_number) + " (" +
                       ::strsignal(signal_number) + ")";
    if (signal_number == SIGALRM)
        text += ", over its " + std::to_string(program_time_limit_s) + " s limit";
    return text;
}

bool run_program(const Launch &launch)
{
    const std::string &name = launch.label;
    report("run " + name);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = ::fork();
    if (child < 0) {
        report("FAIL " + name + ": cannot fork: " + std::strerror(errno));
        return false;
    }
    if (child == 0)
        exec_program(launch);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const bool passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    report((passed ? "PASS " : "FAIL ") + name + " (" + describe(status) + ", " +
           format_seconds(seconds_since(start)) + ")");
    return passed;
}

// A copy of program on a tmpfs with the file capability cap_sys_rawio+ep, as
// setcap gives it; empty, with the reason reported, when it cannot be made.
std::filesystem::path copy_with_rawio_capability(const std::filesystem::path &program)
{
    std::filesystem::path copy = capable_copies_dir / program.filename();
    std::error_code error;
    // Mounted once: a second tmpfs over it would hide the copies made so far.
    static bool mounted = false;
    std::filesystem::create_directories(capable_copies_dir, error);
    if (!mounted && (!std::filesystem::is_directory(capable_copies_dir) ||
                     ::mount("tmpfs", capable_copies_dir, "tmpfs", 0, "mode=755") != 0)) {
        report(std::string("cannot mount a tmpfs at ") + capable_copies_dir + ": " +
               std::strerror(errno));
        return {};
    }
    mounted = true;
    if (!std::filesystem::copy_file(program, copy,
                                    std::filesystem::copy_options::overwrite_existing, error)) {
        report("cannot copy " + program.string() + ": " + error.message());
        return {};
    }
    vfs_cap_data capability{};
    capability.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capability.data[0].permitted = 1U << CAP_SYS_RAWIO;
    if (::chmod(copy.c_str(), 0755) != 0 ||
        ::setxattr(copy.c_str(), "security.capability", &capability, XATTR_CAPS_SZ_2, 0) != 0) {
        report("cannot give " + copy.string() + " its capability: " + std::strerror(errno));
        return {};
    }
    return copy;
}

Launch launch_of(const guest::ProgramRun &run)
{
    const std::filesystem::path program = std::filesystem::path(tests_dir) / run.program;
    Launch launch{program, run.label, run.expectation, run.as != guest::RunAs::root, ""};
    switch (run.as) {
    case guest::RunAs::root:
    case guest::RunAs::nobody:
        break;
    case guest::RunAs::nobody_in_lp:
        launch.groups = {guest::lp_group};
        break;
    case guest::RunAs::nobody_with_rawio:
        launch.program = copy_with_rawio_capability(program);
        launch.library_path = simulated_library_dir;
        break;
    }
    return launch;
}

// Read and closed before any program starts: a stream opens its file
// without close-on-exec.
guest::PhaseTable read_phase_table()
{
    std::ifstream file(guest::phase_table_path);
    if (!file.is_open())
        return {{}, std::strerror(errno)};
    return guest::read_phase_table(file);
}

// Locks the kernel down as Secure Boot does, in integrity mode, which
// forbids port access even to root; it stays so until the machine ends. ""
// when done, else what failed.
std::string lock_down_kernel()
{
    if (!holds_exit_port)
        return "the kernel is not locked down: /init would lose its way out";
    const int file = ::open(lockdown_file, O_RDWR | O_CLOEXEC);
    if (file < 0)
        return std::string("cannot open ") + lockdown_file + ": " + std::strerror(errno);
    constexpr std::string_view mode = "integrity";
    const bool written =
        ::write(file, mode.data(), mode.size()) == static_cast<ssize_t>(mode.size());
    const int error = errno;
    char buffer[128] = {};
    const ssize_t length = ::pread(file, buffer, sizeof buffer - 1, 0);
    ::close(file);
    if (!written)
        return std::string("cannot lock the kernel down: ") + std::strerror(error);
    const std::string shown(buffer, length > 0 ? static_cast<std::size_t>(length) - 1 : 0);
    if (shown.find("[integrity]") == std::string::npos)
        return "the kernel's lockdown reads '" + shown + "', not integrity";
    report("kernel locked down: " + shown);
    return "";
}

// "" when done, else what failed.
std::string prepare(guest::Preparation preparation)
{
    switch (preparation) {
    case guest::Preparation::none:
        return "";
    case guest::Preparation::parallel_port:
        return guest::prepare_parallel_port();
    case guest::Preparation::locked_down_parallel_port:
        // The modules first: the locked-down kernel would take no module
        // that it cannot check.
        if (std::string problem = guest::prepare_parallel_port(); !problem.empty())
            return problem;
        return lock_down_kernel();
    case guest::Preparation::capable_quorrel:
        // The real program, for the attacker's test, with the capability
        // that setcap would give it.
        return copy_with_rawio_capability(installed_quorrel).empty()
                   ? std::string("cannot give ") + installed_quorrel + " its capability"
                   : "";
    }
    return "unknown preparation";
}

// Writes all of text to file; false on an error.
bool write_all(int file, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(file, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes the file at path to port as its header, its bytes and a newline;
// adds its length to bytes. "" when done, else what failed.
std::string copy_framed(const std::filesystem::path &path, int port, std::size_t &bytes)
{
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat status {};
    if (file < 0 || ::fstat(file, &status) != 0) {
        const std::string reason = std::strerror(errno);
        if (file >= 0)
            ::close(file);
        return "cannot read " + path.string() + ": " + reason;
    }
    const auto length = static_cast<std::size_t>(status.st_size);
    std::string problem;
    if (!write_all(port, "qport-export: file " + path.filename().string() + " " +
                             std::to_string(length) + "\n"))
        problem =
            std::string("cannot write to ") + guest::export_port + ": " + std::strerror(errno);
    std::size_t copied = 0;
    char buffer[65536];
    while (problem.empty() && copied < length) {
        const ssize_t got = ::read(file, buffer, std::min(sizeof buffer, length - copied));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            problem = path.string() + " changed while it was exported";
        } else if (!write_all(port, std::string_view(buffer, static_cast<std::size_t>(got)))) {
            problem =
                std::string("cannot write to ") + guest::export_port + ": " + std::strerror(errno);
        }
        copied += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    ::close(file);
    if (problem.empty() && !write_all(port, "\n"))
        problem =
            std::string("cannot write to ") + guest::export_port + ": " + std::strerror(errno);
    bytes += copied;
    return problem;
}

// For a phase with export = yes: every file the runs left in the export
// directory, in name order, to the second serial port, which QEMU writes to
// WORK_DIR/export.bin; the host's split-export takes the stream apart.
// Each file is framed as
//   qport-export: file NAME LENGTH\n   LENGTH bytes   \n
// and the stream ends with "qport-export: end COUNT\n", so that a stream cut
// short shows. "" when done, else what failed.
std::string export_files(std::string &summary)
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(guest::export_dir, error)) {
        if (!entry.is_regular_file(error))
            return entry.path().string() + " is not a regular file";
        files.push_back(entry.path());
    }
    if (error)
        return std::string("cannot list ") + guest::export_dir + ": " + error.message();
    std::sort(files.begin(), files.end());
    const int port = ::open(guest::export_port, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (port < 0)
        return std::string("cannot open ") + guest::export_port + ": " + std::strerror(errno);
    // Raw: no newline becomes CR LF, no byte is taken for a control.
    termios settings{};
    if (::tcgetattr(port, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::cfsetospeed(&settings, B115200);
        ::tcsetattr(port, TCSANOW, &settings);
    }
    std::size_t bytes = 0;
    std::string problem;
    for (const std::filesystem::path &path : files) {
        problem = copy_framed(path, port, bytes);
        if (!problem.empty())
            break;
    }
    if (problem.empty() &&
        !write_all(port, "qport-export: end " + std::to_string(files.size()) + "\n"))
        problem =
            std::string("cannot write to ") + guest::export_port + ": " + std::strerror(errno);
    // Every byte out of the port before the machine ends.
    ::tcdrain(port);
    ::close(port);
    summary = std::to_string(files.size()) + " files, " + std::to_string(bytes) + " bytes";
    return problem;
}

// Ends the machine with code through isa-debug-exit; QEMU then exits with
// (code << 1) | 1. Should that fail, the machine reboots, which -no-reboot
// turns into QEMU exiting with 0: never mistaken for a pass.
[[noreturn]] void end_machine(int code)
{
    if (holds_exit_port || ::ioperm(debug_exit_port, 1, 1) == 0)
        ::outb(static_cast<unsigned char>(code), debug_exit_port);
    report(std::string("isa-debug-exit did not end the machine: ") + std::strerror(errno));
    ::sync();
    ::reboot(RB_AUTOBOOT);
    for (;;)
        ::pause();
}

} // namespace

int main()
{
    mount_or_report("proc", "/proc", "proc");
    mount_or_report("sysfs", "/sys", "sysfs");
    mount_or_report("devtmpfs", "/dev", "devtmpfs");
    attach_console();
    // As on an installed system, where the library reads the lockdown.
    mount_or_report("securityfs", security_dir, "securityfs");
    holds_exit_port = ::ioperm(debug_exit_port, 1, 1) == 0;
    if (!holds_exit_port)
        report(std::string("cannot take port 0xf4 for isa-debug-exit: ") + std::strerror(errno));

    timespec boot{};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const double booted_after =
        static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;

    const std::string phase_name = guest::phase_on_kernel_command_line();
    report("phase " + (phase_name.empty() ? std::string("(none)") : phase_name) +
           ", kernel up after " + format_seconds(booted_after) + " of guest time");
    const guest::PhaseTable table = read_phase_table();
    if (!table.problem.empty()) {
        report(std::string("result: cannot read the phase table ") + guest::phase_table_path +
               ": " + table.problem);
        end_machine(most_reportable_failures);
    }
    const guest::BootPhase *phase = guest::find_phase(table, phase_name);
    if (phase == nullptr) {
        std::string known;
        for (const guest::BootPhase &each : table.phases)
            known += (known.empty() ? "" : ", ") + each.name;
        report("result: no valid qport.phase= on the kernel command line (" + known + ")");
        end_machine(most_reportable_failures);
    }
    if (const std::string problem = prepare(phase->preparation); !problem.empty()) {
        report("result: " + problem);
        end_machine(most_reportable_failures);
    }

    const bool exports = phase->settings.at("export") == "yes";
    if (exports) {
        std::error_code error;
        std::filesystem::create_directories(guest::export_dir, error);
        if (error) {
            report(std::string("result: cannot make ") + guest::export_dir + ": " +
                   error.message());
            end_machine(most_reportable_failures);
        }
    }

    int failed = 0, runs = 0;
    for (const std::string &stray : programs_not_run(*phase)) {
        report("FAIL " + stray + " (in " + tests_dir + " but phase " + phase->name +
               " never runs it: see the phase table)");
        ++runs;
        ++failed;
    }
    for (const guest::ProgramRun &run : phase->runs) {
        ++runs;
        std::error_code error;
        if (!std::filesystem::is_regular_file(std::filesystem::path(tests_dir) / run.program,
                                              error)) {
            report("FAIL " + run.label + " (" + tests_dir + "/" + run.program +
                   " is missing from this image)");
            ++failed;
            continue;
        }
        const Launch launch = launch_of(run);
        if (launch.program.empty())
            report("FAIL " + launch.label + " (could not be prepared)");
        if (launch.program.empty() || !run_program(launch))
            ++failed;
    }
    if (exports) {
        std::string summary;
        if (const std::string problem = export_files(summary); problem.empty()) {
            report("exported " + summary + " to " + guest::export_port);
        } else {
            report(std::string("FAIL export to ") + guest::export_port + " (" + problem + ")");
            ++failed;
        }
    }
    report("result: " + std::to_string(failed) + " of " + std::to_string(runs) +
           " programs failed");
    end_machine(std::min(failed, most_reportable_failures));
}
