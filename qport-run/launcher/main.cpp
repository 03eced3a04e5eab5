// SPDX-License-Identifier: LGPL-2.1-or-later
// qport-run: runs an unmodified program with its port instructions going to
// one of qport's port spaces, through the preloaded libqport-run.so.
//
// Before it executes the program it makes sure that nothing can reach a
// real port behind qport's back: the program must be one the preload can
// enter (dynamically linked x86-64 on the C library's loader, not set-id,
// no file capabilities), the port permission this process inherited is
// given up (it would survive exec), and on the simulated port space the
// capability to ask for permission goes as well (with --drop-capabilities,
// every capability).
//
// On the simulated port space it follows exec by default, so that a whole
// test suite runs on the simulated PC: every program of the run shares one
// machine, made in a private folder that qport-run, staying as the
// program's parent, removes when the program ends.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <unistd.h>

#include "process_hygiene.h"
#include "program_check.h"
#include "run_as_parent.h"
#include "transfer_lines.h"

namespace {

// As env(1) and timeout(1) have them.
constexpr int exit_failure_of_our_own = 125;
constexpr int exit_cannot_run = 126;
constexpr int exit_not_found = 127;
// The program's transfers diverged from the recording --replay plays.
constexpr int exit_replay_diverged = 122;

constexpr const char *usage =
    "Usage: qport-run [OPTION]... [--] PROGRAM [ARGUMENT]...\n"
    "Runs PROGRAM with its own port instructions (in, out, ins, outs) made\n"
    "through qport, for the ports its ioperm() and iopl() were granted.\n"
    "\n"
    "  -s, --simulated     the simulated PC's port space (the default); PROGRAM\n"
    "                      and everything it starts lose CAP_SYS_RAWIO\n"
    "  -H, --hardware      this PC's ports, as far as qport's hardware build may\n"
    "                      reach them for you\n"
    "  -f, --follow-exec   keep the preload, and each thread's ports, in\n"
    "                      programs that PROGRAM executes (the default on the\n"
    "                      simulated PC, where they share one machine)\n"
    "      --no-follow-exec  programs that PROGRAM executes run without the\n"
    "                      preload (the default with --hardware and --replay)\n"
    "  -p, --permissive    PROGRAM starts with every port granted, as if it had\n"
    "                      called ioperm() for all (for programs that never ask)\n"
    "  -D, --drop-capabilities  PROGRAM runs without any capability, root too\n"
    "  -t, --trace[=DEST]  write the simulated trace to DEST (stderr or a file;\n"
    "                      stderr without DEST); the same as QPORT_TRACE=DEST\n"
    "      --record=FILE   write every transfer to FILE (emptied first), in the\n"
    "                      trace's format; the same as QPORT_RECORD=FILE\n"
    "      --replay=FILE   answer every port from the recording in FILE, checking\n"
    "                      the program's writes against it (simulated only)\n"
    "      --replay-ignore-writes=PORTS  do not check the values written to\n"
    "                      PORTS (0x378,0x37a-0x37b)\n"
    "      --no-patch      keep every port instruction on the trap: no hot site\n"
    "                      is rewritten into a jump (also QPORT_RUN_NO_PATCH=1)\n"
    "      --site-summary  say on stderr, as each process ends, how many port\n"
    "                      instruction sites were rewritten and why the others\n"
    "                      stayed trapped\n"
    "  -h, --help          show this help and exit\n"
    "  -V, --version       show the version and exit\n"
    "\n"
    "Exit status: PROGRAM's own; 122 if its transfers diverged from --replay's\n"
    "recording; 125 if qport-run failed; 126 if PROGRAM cannot run with the\n"
    "preload (statically linked, set-id, not x86-64) or cannot be executed; 127\n"
    "if PROGRAM was not found.\n";

// Whether the preload follows exec: as asked, else by the port space.
enum class FollowExec { by_default, asked, refused };

struct Options {
    bool hardware = false;
    bool no_patch = false;
    bool site_summary = false;
    FollowExec follow = FollowExec::by_default;
    // What `follow` comes to, once every option is read.
    bool follow_exec = false;
    bool permissive = false;
    bool drop_capabilities = false;
    std::string trace;
    // --trace without a destination: a word after it is PROGRAM.
    bool trace_to_stderr_by_default = false;
    // Record and replay.
    std::string record;
    std::string replay;
    std::string replay_ignore_writes;
    int program_index = 0;
};

// Long options of record and replay, past every character.
enum LongOnlyOption {
    record_option = 0x100,
    replay_option,
    replay_ignore_writes_option,
    no_patch_option,
    site_summary_option,
    no_follow_exec_option,
};

[[noreturn]] void fail(int status, const std::string &text)
{
    std::fprintf(stderr, "qport-run: %s\n", text.c_str());
    std::exit(status);
}

// Record and replay: a replay is of the simulated PC, for one program (a
// program it executes would replay from the start).
void check_record_and_replay(const Options &options)
{
    if (options.record.empty() && options.replay.empty() && options.replay_ignore_writes.empty())
        return;
    if (!options.replay.empty() && options.hardware)
        fail(exit_failure_of_our_own,
             "--replay answers from the simulated PC; not with --hardware");
    if (!options.replay.empty() && options.follow == FollowExec::asked)
        fail(exit_failure_of_our_own,
             "--replay plays the recording to one program; not with --follow-exec");
    if (!options.replay_ignore_writes.empty() && options.replay.empty())
        fail(exit_failure_of_our_own, "--replay-ignore-writes goes with --replay");
    if (!options.replay_ignore_writes.empty() &&
        !qport::parse_port_list(options.replay_ignore_writes))
        fail(exit_failure_of_our_own, "--replay-ignore-writes=" + options.replay_ignore_writes +
                                          " is no list of ports (0x378,0x37a-0x37b)");
}

// A recording that cannot be replayed is the user's mistake, told before
// the program starts rather than as its divergence afterwards.
void check_recording_to_replay(const std::string &path)
{
    const qport::Recording recording = qport::read_recording(path.c_str());
    if (recording.error.empty())
        return;
    fail(exit_failure_of_our_own,
         "cannot replay " + path +
             (recording.error_line != 0 ? ", line " + std::to_string(recording.error_line) : "") +
             ": " + recording.error);
}

// --record starts an empty recording, opened as the library opens it (no
// symbolic link followed in a directory shared with other users), which
// every process of the program then appends to.
void empty_recording(const std::string &path)
{
    if (path == "stdout" || path == "stderr")
        return;
    const int fd = qport::sim::open_output_file(
        path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
        qport::sim::Links::refused_in_shared_directories, qport::sim::Readers::owner_only);
    if (fd < 0 && errno != ENXIO) // a FIFO without a reader yet
        fail(exit_failure_of_our_own,
             "cannot record to " + path + ": " +
                 (errno == ELOOP   ? "a symbolic link in a directory shared with other users"
                  : errno == EPERM ? "another user's file, FIFO, socket or device"
                                   : std::strerror(errno)));
    // Emptied once it is known to be this user's own.
    struct stat about {};
    if (fd >= 0 && ::fstat(fd, &about) == 0 && S_ISREG(about.st_mode) && ::ftruncate(fd, 0) != 0)
        fail(exit_failure_of_our_own,
             "cannot empty the recording " + path + ": " + std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
}

Options parse_options(int argc, char **argv)
{
    static const option long_options[] = {
        {"simulated", no_argument, nullptr, 's'},
        {"hardware", no_argument, nullptr, 'H'},
        {"follow-exec", no_argument, nullptr, 'f'},
        {"no-follow-exec", no_argument, nullptr, no_follow_exec_option},
        {"permissive", no_argument, nullptr, 'p'},
        {"drop-capabilities", no_argument, nullptr, 'D'},
        {"trace", optional_argument, nullptr, 't'},
        {"record", required_argument, nullptr, record_option},
        {"replay", required_argument, nullptr, replay_option},
        {"replay-ignore-writes", required_argument, nullptr, replay_ignore_writes_option},
        {"no-patch", no_argument, nullptr, no_patch_option},
        {"site-summary", no_argument, nullptr, site_summary_option},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    Options options;
    // For scripts: rewriting off without changing the command line.
    if (const char *no_patch = ::secure_getenv("QPORT_RUN_NO_PATCH"))
        options.no_patch = *no_patch != '\0' && std::strcmp(no_patch, "0") != 0;
    int option = 0;
    // "+": the options end at PROGRAM, whose own options are its own.
    // --trace takes its destination only as --trace=DEST (or -tDEST), so
    // that "--trace outb 0x378 1" runs outb.
    while ((option = ::getopt_long(argc, argv, "+sHfpDt::hV", long_options, nullptr)) != -1) {
        switch (option) {
        case 's':
            options.hardware = false;
            break;
        case 'H':
            options.hardware = true;
            break;
        case 'f':
            options.follow = FollowExec::asked;
            break;
        case no_follow_exec_option:
            options.follow = FollowExec::refused;
            break;
        case 'p':
            options.permissive = true;
            break;
        case 'D':
            options.drop_capabilities = true;
            break;
        case 't':
            if (optarg != nullptr && *optarg == '\0')
                fail(exit_failure_of_our_own, "--trace needs a destination");
            options.trace = optarg != nullptr ? optarg : "stderr";
            options.trace_to_stderr_by_default = optarg == nullptr;
            break;
        case record_option:
            options.record = optarg;
            break;
        case replay_option:
            options.replay = optarg;
            break;
        case replay_ignore_writes_option:
            options.replay_ignore_writes = optarg;
            break;
        case no_patch_option:
            options.no_patch = true;
            break;
        case site_summary_option:
            options.site_summary = true;
            break;
        case 'h':
            std::fputs(usage, stdout);
            std::exit(std::fflush(stdout) == 0 ? 0 : exit_failure_of_our_own);
        case 'V':
            std::printf("qport-run %s\n", QPORT_RUN_VERSION);
            std::exit(std::fflush(stdout) == 0 ? 0 : exit_failure_of_our_own);
        default:
            std::fputs("Try 'qport-run --help'.\n", stderr);
            std::exit(exit_failure_of_our_own);
        }
    }
    if (optind >= argc)
        fail(exit_failure_of_our_own, "no PROGRAM given\nTry 'qport-run --help'.");
    check_record_and_replay(options);
    if (!options.replay.empty())
        check_recording_to_replay(options.replay);
    options.follow_exec =
        options.follow == FollowExec::asked ||
        (options.follow == FollowExec::by_default && !options.hardware && options.replay.empty());
    options.program_index = optind;
    return options;
}

std::string directory_of_this_program()
{
    const std::string self = qport::process::own_path();
    if (self.empty())
        fail(exit_failure_of_our_own, "cannot find where qport-run itself is (/proc/self/exe)");
    return self.substr(0, self.rfind('/'));
}

struct Files {
    std::string preload, hardware, simulated;
};

bool exists(const std::string &path) { return ::access(path.c_str(), R_OK) == 0; }

std::string canonical(const std::string &path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        fail(exit_failure_of_our_own, "cannot resolve " + path + ": " + std::strerror(errno));
    return resolved;
}

// The preload and both builds of qport, relative to this program: where
// `cmake --install` and the Debian package put them, else where the build
// tree has them.
Files find_files()
{
    const std::string here = directory_of_this_program() + "/";
    const Files layouts[] = {
        {here + QPORT_RUN_INSTALLED_PRELOAD, here + QPORT_RUN_INSTALLED_HARDWARE,
         here + QPORT_RUN_INSTALLED_SIMULATED},
        {here + QPORT_RUN_BUILD_PRELOAD, here + QPORT_RUN_BUILD_HARDWARE,
         here + QPORT_RUN_BUILD_SIMULATED},
    };
    for (const Files &layout : layouts) {
        if (exists(layout.preload))
            return {canonical(layout.preload), canonical(layout.hardware),
                    canonical(layout.simulated)};
    }
    fail(exit_failure_of_our_own,
         "cannot find libqport-run.so next to qport-run (looked for " + layouts[0].preload + ")");
}

// Permission survives exec, so a parent's would reach the program.
void give_up_port_permission()
{
    if (const int error = qport::process::give_up_port_permission(); error != 0)
        fail(exit_failure_of_our_own,
             std::string("cannot give up inherited port permission: ") + std::strerror(error));
}

// On the simulated port space nothing the program does may ask the kernel
// for real ports: CAP_SYS_RAWIO goes from every set of this process, which
// the program inherits.
void give_up_rawio()
{
    if (qport::process::drop_capability(CAP_SYS_RAWIO) != 0)
        fail(exit_failure_of_our_own, "CAP_SYS_RAWIO is still there; not running the program");
}

// --drop-capabilities: every capability goes, and no_new_privs keeps any
// program it executes from gaining one. Root stays user 0, owner of what
// root owns.
void drop_every_capability()
{
    if (qport::process::drop_every_capability() != 0)
        fail(exit_failure_of_our_own, "a capability is still there; not running the program");
}

// The environment the program starts with: ours in front of any preload the
// user has, and what the preload needs to know. On the simulated PC the
// simulated build is preloaded too (first: a sanitizer runtime it brings
// must come before the preload's interposers): a program linked to
// libqport.so.1 (qportio, Python's qport, a program of the user's) then uses
// it whatever its library path or its own RPATH would find, since the loader
// takes a library already loaded under the same SONAME. RUN_MACHINE, if not
// empty, is the machine every program of the run shares.
std::vector<std::string> program_environment(const Options &options, const Files &files,
                                             const std::string &run_machine)
{
    std::vector<std::string> environment;
    std::string preload = options.hardware ? files.preload : files.simulated + ":" + files.preload;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.starts_with("LD_PRELOAD=")) {
            if (variable.size() > 11)
                preload += ":" + variable.substr(11);
        } else if (!variable.starts_with("QPORT_RUN_") &&
                   !(variable.starts_with("QPORT_TRACE=") && !options.trace.empty()) &&
                   !(variable.starts_with("QPORT_RECORD=") && !options.record.empty()) &&
                   !(variable.starts_with("QPORT_SIM_REPLAY") && !options.replay.empty()) &&
                   !(variable.starts_with("QPORT_SIM_MACHINE=") && !run_machine.empty())) {
            environment.push_back(variable);
        }
    }
    environment.push_back("LD_PRELOAD=" + preload);
    environment.push_back("QPORT_RUN_LIBRARY=" +
                          (options.hardware ? files.hardware : files.simulated));
    if (options.follow_exec)
        environment.emplace_back("QPORT_RUN_FOLLOW_EXEC=1");
    if (!run_machine.empty())
        environment.push_back("QPORT_SIM_MACHINE=" + run_machine);
    if (options.no_patch)
        environment.emplace_back("QPORT_RUN_NO_PATCH=1");
    if (options.site_summary)
        environment.emplace_back("QPORT_RUN_SITE_SUMMARY=1");
    // The preload's grant, as text: I/O privilege level 0, ports 0 to ffff.
    if (options.permissive)
        environment.emplace_back("QPORT_RUN_PORT_GRANT=0:0-ffff");
    if (!options.trace.empty())
        environment.push_back("QPORT_TRACE=" + options.trace);
    if (!options.record.empty())
        environment.push_back("QPORT_RECORD=" + options.record);
    if (!options.replay.empty()) {
        environment.push_back("QPORT_SIM_REPLAY=" + options.replay);
        environment.push_back("QPORT_SIM_REPLAY_EXIT_STATUS=" +
                              std::to_string(exit_replay_diverged));
        if (!options.replay_ignore_writes.empty())
            environment.push_back("QPORT_SIM_REPLAY_IGNORE_WRITES=" + options.replay_ignore_writes);
    }
    return environment;
}

// Programs that follow exec on the simulated PC share a machine: the one
// QPORT_SIM_MACHINE names, else one of the run's own.
bool shares_a_machine_of_its_own(const Options &options)
{
    const char *named = ::secure_getenv("QPORT_SIM_MACHINE");
    return !options.hardware && options.follow_exec && (named == nullptr || *named == '\0');
}

std::vector<char *> pointers_to(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string &text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse_options(argc, argv);
    const std::string name = argv[options.program_index];
    const std::string program = qport_run::find_program(name);
    struct stat status {};
    if (program.empty() ||
        (::stat(program.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR)))
        fail(exit_not_found,
             name + ": not found" +
                 (options.trace_to_stderr_by_default
                      ? " (--trace takes a file only as --trace=FILE; the trace goes to stderr)"
                      : ""));
    if (const std::string why = qport_run::why_not_enterable(program); !why.empty())
        fail(exit_cannot_run, program + " " + why + ".");

    const Files files = find_files();
    // LD_PRELOAD splits its list at colons and spaces.
    for (const std::string &preloaded : {files.preload, files.simulated}) {
        if (preloaded.find_first_of(": ") != std::string::npos)
            fail(exit_failure_of_our_own,
                 "the path " + preloaded +
                     " holds a colon or a space, which LD_PRELOAD cannot carry");
    }
    if (!exists(options.hardware ? files.hardware : files.simulated))
        fail(exit_failure_of_our_own,
             "cannot find " + (options.hardware ? files.hardware : files.simulated));

    if (!options.record.empty())
        empty_recording(options.record);
    give_up_port_permission();
    if (options.drop_capabilities)
        drop_every_capability();
    else if (!options.hardware)
        give_up_rawio();

    std::vector<std::string> arguments(argv + options.program_index, argv + argc);
    std::vector<char *> argument_pointers = pointers_to(arguments);
    if (shares_a_machine_of_its_own(options)) {
        int wait_status = 0;
        {
            const qport_run::RunFolder folder;
            if (folder.path().empty())
                fail(exit_failure_of_our_own,
                     std::string("cannot make a folder for the run's machine: ") +
                         std::strerror(errno));
            std::vector<std::string> environment =
                program_environment(options, files, folder.path() + "/machine");
            std::vector<char *> environment_pointers = pointers_to(environment);
            wait_status = qport_run::run_as_child(program.c_str(), argument_pointers.data(),
                                                  environment_pointers.data());
            if (wait_status < 0)
                fail(exit_failure_of_our_own,
                     std::string("cannot start the program: ") + std::strerror(errno));
        }
        qport_run::end_as(wait_status);
    }
    std::vector<std::string> environment = program_environment(options, files, "");
    std::vector<char *> environment_pointers = pointers_to(environment);
    ::execve(program.c_str(), argument_pointers.data(), environment_pointers.data());
    fail(errno == ENOENT ? exit_not_found : exit_cannot_run,
         "cannot execute " + program + ": " + std::strerror(errno));
}
