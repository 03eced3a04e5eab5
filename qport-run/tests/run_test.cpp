// SPDX-License-Identifier: LGPL-2.1-or-later
// qport-run as its users meet it: real programs run under it on the
// simulated port space (our subject for the forms the others do not use,
// Debian's ioport tools, lspci), programs it must refuse, and the hardware
// build where the kernel refuses access.
//
// Nothing here can reach a real port: qport-run drops CAP_SYS_RAWIO on the
// simulated port space and checks that it is gone, the preload gives up any
// inherited permission, and the subject refuses to execute a port
// instruction unless the preload is in front and it holds no CAP_SYS_RAWIO.
// The safety case below checks all of that before the others rely on it.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const std::string launcher = QPORT_RUN_PROGRAM;
const std::string subject = QPORT_RUN_SUBJECT;
const std::string hot_subject = QPORT_RUN_HOT_SUBJECT;

struct Outcome {
    int exit_status = -1; // -1 when killed
    int signal = 0;
    std::string out;
    std::string err;
    // Trace lines without their time stamps: "out 8 0x0378 0x5a".
    std::vector<std::string> transfers;
};

class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        char pattern[] = "/tmp/qport-run-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        ::chmod(path_.c_str(), 0755);
    }
    ~TemporaryDirectory() { std::filesystem::remove_all(path_); }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string contents(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// Runs command with the caller's environment less anything of qport's,
// plus extra; the simulated trace goes to a file of its own.
Outcome run(const std::vector<std::string> &command, const std::vector<std::string> &extra = {})
{
    const TemporaryDirectory scratch;
    const std::string out_path = scratch.file("out"), err_path = scratch.file("err"),
                      trace_path = scratch.file("trace");
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        // The suite runs twice, with hot sites rewritten and without.
        if (!variable.starts_with("LD_PRELOAD=") &&
            (!variable.starts_with("QPORT_") || variable.starts_with("QPORT_RUN_NO_PATCH=")))
            environment.push_back(variable);
    }
    environment.push_back("QPORT_TRACE=" + trace_path);
    environment.insert(environment.end(), extra.begin(), extra.end());

    std::vector<char *> argv, envp;
    for (const std::string &argument : command)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    for (const std::string &variable : environment)
        envp.push_back(const_cast<char *>(variable.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = 0;
    Outcome outcome;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        ::waitpid(child, &status, 0);
        if (WIFEXITED(status))
            outcome.exit_status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            outcome.signal = WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.out = contents(out_path);
    outcome.err = contents(err_path);
    for (const std::string &line : lines_of(contents(trace_path)))
        outcome.transfers.push_back(line.substr(line.find(' ') + 1));
    return outcome;
}

std::vector<std::string> under_qport_run(const std::vector<std::string> &options,
                                         const std::vector<std::string> &program)
{
    std::vector<std::string> command{launcher};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), program.begin(), program.end());
    return command;
}

unsigned long long capability_set(const std::string &status, const std::string &name)
{
    const std::size_t at = status.find(name + ":");
    return at == std::string::npos
               ? ~0ULL
               : std::strtoull(status.c_str() + at + name.size() + 1, nullptr, 16);
}

constexpr unsigned long long cap_sys_rawio = 1ULL << 17;

TEST(QportRunSafety, TheProgramHoldsNoWayToRealPorts)
{
    const Outcome status = run(under_qport_run({}, {"/bin/cat", "/proc/self/status"}));
    ASSERT_EQ(status.exit_status, 0) << status.err;
    for (const char *set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
        EXPECT_EQ(capability_set(status.out, set) & cap_sys_rawio, 0U) << set;
    // Root can lower its bounding set; anyone else gets no_new_privs instead.
    if (::geteuid() == 0)
        EXPECT_EQ(capability_set(status.out, "CapBnd") & cap_sys_rawio, 0U);
    else
        EXPECT_NE(status.out.find("NoNewPrivs:\t1"), std::string::npos);

    const Outcome safety = run(under_qport_run({}, {subject, "safety"}));
    EXPECT_EQ(safety.exit_status, 0) << safety.err;
    EXPECT_EQ(safety.out, "safe\n");
}

struct SubjectCase {
    std::string name;
    std::vector<std::string> options;
    std::string mode;
    int exit_status;
    int signal;
    std::vector<std::string> out;
    std::vector<std::string> transfers;
};

TEST(QportRunSubject, PortInstructionsOfEveryFormGoToTheSimulatedPortSpace)
{
    // The string forms' faults, on the program's stack and on an alternate one.
    const std::vector<std::string> string_fault_lines = {
        "outsb: SEGV_MAPERR at the next page's start: yes; rcx 0",
        "outsw across pages: SEGV_MAPERR at the next page's start: yes; rcx 0",
        "insb: SEGV_ACCERR at the read-only page's start: yes, a write: yes; rcx 0"};
    const std::vector<std::string> string_fault_transfers = {
        "out 8 0x0378 0x11",    "out 8 0x0378 0x22", "out 8 0x0378 0x33", "out 8 0x0378 0x44",
        "out 16 0x0378 0x3311", "in 8 0x0379 0x7f",  "in 8 0x0379 0x7f",  "in 8 0x0379 0x7f",
        "in 8 0x0379 0x7f",     "in 8 0x0379 0x7f"};
    const std::vector<SubjectCase> cases = {
        {"immediate forms at 8, 16 and 32 bits",
         {},
         "immediate",
         0,
         0,
         {"inb 0x11223344556677ff", "inw 0x112233445566ffff", "inl 0x00000000ffffffff"},
         {"out 8 0x0080 0x5a", "out 16 0x0080 0x1234", "out 32 0x0080 0x89abcdef",
          "in 8 0x0080 0xff", "in 16 0x0080 0xffff", "in 32 0x0080 0xffffffff"}},
        {"rep outsw and rep insb",
         {},
         "string",
         0,
         0,
         {"outsw: rcx 0, rsi advanced 8", "insb: rcx 0, rdi advanced 4, 04 04 04 04"},
         {"out 16 0x0378 0x1101", "out 16 0x0378 0x2202", "out 16 0x0378 0x3303",
          "out 16 0x0378 0x4404", "in 8 0x0378 0x04", "in 8 0x0378 0x04", "in 8 0x0378 0x04",
          "in 8 0x0378 0x04"}},
        {"the program's own handler catches NULL accesses",
         {},
         "own-handler",
         0,
         0,
         {"caught NULL access 1: si_code SEGV_MAPERR, address (nil)", "status 0x7f",
          "caught NULL access 2: si_code SEGV_MAPERR, address (nil)", "status 0x7f",
          "handler kept: yes"},
         {"in 8 0x0379 0x7f", "in 8 0x0379 0x7f"}},
        {"SA_RESETHAND: the second fault is fatal",
         {},
         "reset-hand",
         -1,
         SIGSEGV,
         {"status 0x7f", "caught NULL access 1", "status 0x7f"},
         {"in 8 0x0379 0x7f", "in 8 0x0379 0x7f"}},
        {"a program that blocks SIGSEGV keeps its port instructions",
         {},
         "masked",
         0,
         0,
         {"SIGSEGV blocked: yes", "status 0x7f"},
         {"in 8 0x0379 0x7f"}},
        {"the program's handler runs on its alternate stack",
         {},
         "alternate-stack",
         0,
         0,
         {"status 0x7f", "handler on the alternate stack: yes"},
         {"in 8 0x0379 0x7f"}},
        {"a raised SIGSEGV reaches the handler as sent",
         {},
         "raise",
         0,
         0,
         {"raised: si_code SI_TKILL", "returned"},
         {}},
        {"rep outsb faults at an unmapped page after the bytes before it",
         {},
         "string-fault",
         0,
         0,
         {"fault SEGV_MAPERR at the unmapped page: yes"},
         {"out 8 0x0378 0x11", "out 8 0x0378 0x22"}},
        {"a NULL access without a handler is fatal",
         {},
         "null-access",
         -1,
         SIGSEGV,
         {"status 0x7f"},
         {"in 8 0x0379 0x7f"}},
        {"a forked child keeps the preload",
         {},
         "fork",
         0,
         0,
         {"child: status 0x7f", "parent: child exit 0"},
         {"out 8 0x0378 0xc1", "in 8 0x0379 0x7f", "out 8 0x0378 0xa1"}},
        {"with --no-follow-exec an executed child runs without the preload",
         {"--no-follow-exec"},
         "exec",
         0,
         0,
         {"preload: absent", "exec child exit 4"},
         {}},
        {"an executed child keeps it, by default and with --follow-exec",
         {},
         "exec",
         0,
         0,
         {"child: transferred", "exec child exit 0"},
         {"out 8 0x0378 0xe7"}},
        {"--follow-exec keeps it",
         {"--follow-exec"},
         "exec",
         0,
         0,
         {"child: transferred", "exec child exit 0"},
         {"out 8 0x0378 0xe7"}},
        {"66 48 ED is in eax, dx: REX.W wins over 66",
         {},
         "rex-w",
         0,
         0,
         {"66 48 ED: 0x00000000ffffffff"},
         {"in 32 0x0080 0xffffffff"}},
        {"string forms fault where the processor does and go on once the page is there",
         {},
         "string-fault-resume",
         0,
         0,
         string_fault_lines,
         // The third input read is the one whose store faulted, lost as the
         // processor may lose it.
         string_fault_transfers},
        {"the same with the handler, and so the trap, on an alternate stack",
         {},
         "string-fault-resume-alternate",
         0,
         0,
         string_fault_lines,
         string_fault_transfers},
        {"an alternate stack with room for the kernel's frame, the handler and 512 bytes",
         {},
         "small-alternate-stack",
         0,
         0,
         {"enough room: transfers right, fault caught, canary intact",
          "too little room: killed by SIGSEGV, canary intact"},
         {"out 8 0x0378 0x3c", "in 8 0x0378 0x3c", "in 8 0x0378 0x3c", "in 8 0x0378 0x3c",
          "in 8 0x0378 0x3c", "in 8 0x0379 0x7f"}},
    };
    for (const SubjectCase &test : cases) {
        SCOPED_TRACE(test.name);
        const Outcome outcome = run(under_qport_run(test.options, {subject, test.mode}));
        EXPECT_EQ(outcome.exit_status, test.exit_status) << outcome.err;
        EXPECT_EQ(outcome.signal, test.signal);
        EXPECT_EQ(lines_of(outcome.out), test.out);
        EXPECT_EQ(outcome.transfers, test.transfers);
    }
}

// A flood of SIGSEGV from another thread while port instructions run: the
// trap holds it off while it works, and the program's handler takes it.
TEST(QportRunSubject, AFloodOfSigsegvWaitsForTheTrap)
{
    const Outcome outcome = run(under_qport_run({}, {subject, "segv-flood"}));
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(lines_of(outcome.out),
              (std::vector<std::string>{"the trap defers SIGSEGV: yes",
                                        "flood: 2000 of 2000 reads right, handler ran: yes"}));
    EXPECT_EQ(outcome.transfers.size(), 2000U);
}

// The vDSO's data, which the kernel cannot copy between processes' views:
// read all the same, and refused as read-only to ins.
TEST(QportRunSubject, StringFormsReachMemoryTheKernelCannotCopy)
{
    const Outcome outcome = run(under_qport_run({}, {subject, "string-device-memory"}));
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(lines_of(outcome.out),
              (std::vector<std::string>{"outsb from [vvar]: rcx 0",
                                        "insb into [vvar]: SEGV_ACCERR at its start: yes"}));
    ASSERT_EQ(outcome.transfers.size(), 9U);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_TRUE(outcome.transfers[i].starts_with("out 8 0x0378 ")) << outcome.transfers[i];
}

// 32-bit code in the 64-bit process (the user code segment 0x23): ECX and
// EDI, not RCX and RDI. Skipped where the machine has no such segment.
TEST(QportRunSubject, ThirtyTwoBitCodeCountsAndAddressesIn32Bits)
{
    const Outcome outcome = run(under_qport_run({}, {subject, "compat-code"}));
    if (outcome.exit_status == 77)
        GTEST_SKIP() << outcome.out;
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "32-bit rep insb: ecx 0, edi advanced 2, bytes 7f 7f ee\n");
    EXPECT_EQ(outcome.transfers,
              (std::vector<std::string>{"in 8 0x0379 0x7f", "in 8 0x0379 0x7f"}));
}

struct GrantCase {
    std::string name;
    std::vector<std::string> options;
    std::string mode;
    std::vector<std::string> out;
    std::string err; // found in standard error, when not empty
    std::vector<std::string> environment = {};
};

// What a program that probes its access (an instruction under a SIGSEGV
// handler) finds: what ioperm() and iopl() granted, by the kernel's rules.
TEST(QportRunGrants, OnlyWhatTheProgramAskedForAsTheKernelGrantsIt)
{
    const std::vector<GrantCase> cases = {
        {"the kernel's rules",
         {},
         "grant-rules",
         {"not asked: 0x378 denied", "cli without iopl: denied",
          "ioperm(0x378, 2): ok; 0x378 allowed, 0x379 allowed, 0x37a denied, inw at 0x379 denied",
          "iopl(3): ok; 0x80 allowed, inl at 0xfffc allowed, inw at 0xffff denied",
          "cli at level 3: passed", "iopl(0): ok; 0x80 denied, 0x378 allowed",
          "ioperm(0x378, 1, off): ok; 0x378 denied, 0x379 allowed",
          "bad arguments: EINVAL EINVAL EINVAL EINVAL EINVAL"},
         "uses CLI/STI at I/O privilege level 3; taken as no-ops, as Linux does"},
        {"threads and fork inherit",
         {},
         "grant-threads",
         {"thread: 0x378 allowed, 0x80 denied", "thread after its ioperm: 0x80 allowed",
          "main: 0x80 denied", "C11 thread: 0x378 allowed", "thread after iopl(3): 0x80 allowed",
          "child: 0x378 allowed, 0x80 denied"},
         ""},
        {"--follow-exec keeps the grant across exec",
         {"--follow-exec"},
         "grant-exec",
         {"after exec: 0x378 allowed, 0x80 denied", "exec child exit 0"},
         ""},
        {"with --no-follow-exec, exec loses the trap and says so",
         {"--no-follow-exec"},
         "grant-exec",
         {"preload: absent", "exec child exit 4"},
         "executes " + subject + " without qport-run's trap; qport-run --follow-exec keeps it"},
        {"a program that asks for nothing has nothing",
         {},
         "grant-none",
         {"not asked: 0x80 denied", "after ioperm(0x80, 1, off): 0x80 denied, 0x81 denied"},
         ""},
        {"a grant in the user's environment is not taken",
         {"--follow-exec"},
         "grant-none",
         {"not asked: 0x80 denied", "after ioperm(0x80, 1, off): 0x80 denied, 0x81 denied"},
         "",
         {"QPORT_RUN_PORT_GRANT=3"}},
        {"a grant the program forges for exec is replaced by its own",
         {"--follow-exec"},
         "grant-exec-forged",
         {"after exec: 0x378 denied, 0x80 denied", "exec child exit 0"},
         ""},
        {"--permissive grants it everything until it gives some up",
         {"--permissive"},
         "grant-none",
         {"not asked: 0x80 allowed", "after ioperm(0x80, 1, off): 0x80 denied, 0x81 allowed"},
         ""},
    };
    for (const GrantCase &test : cases) {
        SCOPED_TRACE(test.name);
        const Outcome outcome =
            run(under_qport_run(test.options, {subject, test.mode}), test.environment);
        EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
        EXPECT_EQ(lines_of(outcome.out), test.out);
        if (!test.err.empty()) {
            EXPECT_NE(outcome.err.find(test.err), std::string::npos) << outcome.err;
            EXPECT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
        }
    }
}

TEST(QportRunSubject, ThreadsEachTrapTheirOwnInstructions)
{
    const Outcome outcome = run(under_qport_run({}, {subject, "threads"}));
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "threads: 1000 of 1000 reads gave 0x7f\n");
    EXPECT_EQ(outcome.transfers.size(), 1000U);
}

void write_file(const std::string &path, const std::string &bytes, mode_t mode)
{
    std::ofstream(path, std::ios::binary) << bytes;
    ::chmod(path.c_str(), mode);
}

// The first bytes of an ELF file: class, and machine at offset 18.
std::string elf_header(unsigned char elf_class, unsigned short machine)
{
    std::string header(64, '\0');
    header.replace(0, 4,
                   "\x7f"
                   "ELF");
    header[4] = static_cast<char>(elf_class);
    header[5] = 1; // little-endian
    header[6] = 1;
    header[16] = 2; // ET_EXEC
    header[18] = static_cast<char>(machine & 0xFF);
    header[19] = static_cast<char>(machine >> 8);
    return header;
}

struct RefusalCase {
    std::string name;
    std::function<std::string(const TemporaryDirectory &)> make_program;
    std::string message;
};

TEST(QportRunRefuses, ProgramsThePreloadCannotEnterBeforeTheyStart)
{
    const auto copy_of_subject = [](const TemporaryDirectory &directory, mode_t mode) {
        std::string path = directory.file("subject-copy");
        write_file(path, contents(subject), mode);
        return path;
    };
    const std::vector<RefusalCase> cases = {
        {"statically linked",
         [](const TemporaryDirectory &) { return std::string(QPORT_RUN_STATIC_SUBJECT); },
         "is statically linked"},
        {"set-user-ID", [&](const TemporaryDirectory &d) { return copy_of_subject(d, 04755); },
         "is set-user-ID"},
        {"set-group-ID", [&](const TemporaryDirectory &d) { return copy_of_subject(d, 02755); },
         "is set-group-ID"},
        {"64-bit ARM",
         [](const TemporaryDirectory &d) {
             write_file(d.file("arm64"), elf_header(2, 183), 0755);
             return d.file("arm64");
         },
         "is a program for 64-bit ARM, not x86-64"},
        {"32-bit x86",
         [](const TemporaryDirectory &d) {
             write_file(d.file("i386"), elf_header(1, 3), 0755);
             return d.file("i386");
         },
         "is a program for 32-bit x86, not x86-64"},
        {"a script on a static interpreter",
         [](const TemporaryDirectory &d) {
             write_file(d.file("script"), std::string("#!") + QPORT_RUN_STATIC_SUBJECT + "\n",
                        0755);
             return d.file("script");
         },
         "is a script whose interpreter"},
        {"neither ELF nor script",
         [](const TemporaryDirectory &d) {
             write_file(d.file("text"), "echo hello\n", 0755);
             return d.file("text");
         },
         "is neither an ELF program nor a script"},
    };
    for (const RefusalCase &test : cases) {
        SCOPED_TRACE(test.name);
        const TemporaryDirectory directory;
        const std::string program = test.make_program(directory);
        const Outcome outcome = run(under_qport_run({}, {program, "safety"}));
        EXPECT_EQ(outcome.exit_status, 126);
        EXPECT_NE(outcome.err.find(test.message), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(QportRunRefuses, BadCommandLinesWithTheirOwnStatus)
{
    struct Case {
        std::vector<std::string> arguments;
        int exit_status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, 125, "no PROGRAM given"},
        {{"--no-such-option", "true"}, 125, "Try 'qport-run --help'"},
        {{"--trace=", "true"}, 125, "--trace needs a destination"},
        {{"qport-run-no-such-program"}, 127, "not found"},
        {{"/nonexistent/program"}, 127, "/nonexistent/program: not found"},
        {{"--trace", "/nonexistent/trace", "outb", "0x378", "1"},
         127,
         "/nonexistent/trace: not found (--trace takes a file only as --trace=FILE"},
    };
    for (const Case &test : cases) {
        const Outcome outcome = run(under_qport_run(test.arguments, {}));
        EXPECT_EQ(outcome.exit_status, test.exit_status) << outcome.err;
        EXPECT_NE(outcome.err.find(test.message), std::string::npos) << outcome.err;
    }
    const Outcome help = run({launcher, "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("Usage: qport-run"), std::string::npos);
}

// A QPORT_SIM_ variable naming what the simulated PC lacks stops the run
// before the program's own code, with qport-run's status; the library's
// line names the word and what it can be.
TEST(QportRunRefuses, TyposInTheEnvironmentBeforeTheProgramStarts)
{
    const std::pair<std::string, std::string> typos[] = {
        {"QPORT_SIM_DEVICE=loopbak", "names no peripheral; it can be none, loopback"},
        {"QPORT_SIM_PROFILE=pcc", "QPORT_SIM_PROFILE=pcc names no machine; it can be pc"},
        {"QPORT_SIM_DEVICE=lcd:size=17x3", "size=17x3 (size can be COLUMNSxROWS"},
    };
    for (const auto &[variable, said] : typos) {
        SCOPED_TRACE(variable);
        const Outcome outcome = run(under_qport_run({}, {"/bin/echo", "ran"}), {variable});
        EXPECT_EQ(outcome.exit_status, 125) << outcome.err;
        EXPECT_NE(outcome.err.find(said), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("qport-run: not running the program: the environment names "
                                   "what the simulated PC lacks"),
                  std::string::npos)
            << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
}

// --trace with no destination traces to standard error, and the word after
// it is the program.
TEST(QportRunOptions, TraceWithoutDestinationGoesToStandardError)
{
    const Outcome outcome = run(under_qport_run({"--trace"}, {"outb", "0x378", "1"}));
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("out 8 0x0378 0x01"), std::string::npos) << outcome.err;
}

// Root under --simulated keeps every capability but CAP_SYS_RAWIO, as the
// documentation says; --drop-capabilities leaves it none, for good.
TEST(QportRunSafety, DropCapabilitiesLeavesRootNone)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "root's capabilities need root";
    const Outcome kept = run(under_qport_run({}, {"/bin/cat", "/proc/self/status"}));
    ASSERT_EQ(kept.exit_status, 0) << kept.err;
    EXPECT_NE(capability_set(kept.out, "CapEff") & ~cap_sys_rawio, 0U);

    const Outcome dropped =
        run(under_qport_run({"--drop-capabilities"}, {"/bin/cat", "/proc/self/status"}));
    ASSERT_EQ(dropped.exit_status, 0) << dropped.err;
    for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
        EXPECT_EQ(capability_set(dropped.out, set), 0U) << set;
    EXPECT_NE(dropped.out.find("NoNewPrivs:\t1"), std::string::npos);

    const Outcome transfers = run(under_qport_run({"--drop-capabilities"}, {subject, "immediate"}));
    EXPECT_EQ(transfers.exit_status, 0) << transfers.err;
    EXPECT_EQ(transfers.transfers.size(), 6U);
}

// Debian's ioport tools: each transfer at its width, values as the
// simulated parallel port gives them.
TEST(QportRunDebianTools, IoportToolsTransferAtTheirWidths)
{
    struct Case {
        std::vector<std::string> command;
        std::string out;
        std::string transfer;
    };
    const std::vector<Case> cases = {
        {{"outb", "0x378", "0x5a"}, "", "out 8 0x0378 0x5a"},
        {{"outw", "0x378", "0x1234"}, "", "out 16 0x0378 0x1234"},
        {{"outl", "0x378", "0x12345678"}, "", "out 32 0x0378 0x12345678"},
        {{"inb", "0x379"}, "127\n", "in 8 0x0379 0x7f"},
        {{"inw", "--hex", "0x378"}, "7f00\n", "in 16 0x0378 0x7f00"},
        {{"inl", "--hex", "0x378"}, "ffec7f00\n", "in 32 0x0378 0xffec7f00"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.command[0]);
        const Outcome outcome = run(under_qport_run({}, test.command));
        EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, test.out);
        EXPECT_EQ(outcome.transfers, std::vector<std::string>{test.transfer});
    }
}

// Two unmodified programs, one after the other, on one shared machine.
TEST(QportRunDebianTools, AWriteByOneAndAReadByTheNextAgree)
{
    const TemporaryDirectory directory;
    const std::string machine = "QPORT_SIM_MACHINE=" + directory.file("machine");
    const Outcome write = run(under_qport_run({}, {"outb", "0x378", "0x55"}), {machine});
    ASSERT_EQ(write.exit_status, 0) << write.err;
    const Outcome read = run(under_qport_run({}, {"inb", "0x378"}), {machine});
    EXPECT_EQ(read.exit_status, 0) << read.err;
    EXPECT_EQ(read.out, "85\n");
    EXPECT_EQ(read.transfers, std::vector<std::string>{"in 8 0x0378 0x55"});
}

// env runs outb: by default outb's transfer is made; with --no-follow-exec
// outb runs untrapped, and qport-run says so on one line.
TEST(QportRunDebianTools, AProgramRunByAnotherFollowsUnlessTold)
{
    const Outcome lost =
        run(under_qport_run({"--no-follow-exec"}, {"env", "outb", "0x378", "0x55"}));
    EXPECT_NE(lost.exit_status, 0);
    const std::vector<std::string> notices = lines_of(lost.err);
    EXPECT_EQ(std::count_if(notices.begin(), notices.end(),
                            [](const std::string &line) { return line.starts_with("qport-run:"); }),
              1);
    EXPECT_NE(lost.err.find("qport-run: env executes outb without qport-run's trap; qport-run "
                            "--follow-exec keeps it there"),
              std::string::npos)
        << lost.err;
    const Outcome kept = run(under_qport_run({}, {"env", "outb", "0x378", "0x55"}));
    EXPECT_EQ(kept.exit_status, 0) << kept.err;
    EXPECT_EQ(kept.transfers, std::vector<std::string>{"out 8 0x0378 0x55"});
}

// A program linked to libqport.so.1 uses the simulated build under
// qport-run, whatever its library path says (here: the hardware build,
// which would refuse, since the program holds no CAP_SYS_RAWIO): the
// simulated PC's status register reads 0x7f.
TEST(QportRunDebianTools, AProgramLinkedToQportUsesTheSimulatedBuild)
{
    const Outcome outcome = run(under_qport_run({}, {QPORT_RUN_QPORTIO, "read", "-x", "0x379"}),
                                {std::string("LD_LIBRARY_PATH=") + QPORT_RUN_HARDWARE_BUILD_DIR});
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "0x7f\n") << outcome.err;
    EXPECT_EQ(outcome.transfers, std::vector<std::string>{"in 8 0x0379 0x7f"});
}

// bash keeps its own copy of the environment, which the preload's unsetenv()
// does not reach: what exec hands over is still without qport-run's preload
// and variables, so that what qport-run says is what happens.
TEST(QportRunDebianTools, WithoutFollowingAShellsChildrenRunWithoutThePreload)
{
    const Outcome outcome =
        run(under_qport_run({"--no-follow-exec"}, {"/bin/bash", "-c", "env; outb 0x378 0x55"}),
            {"LD_PRELOAD=/nonexistent/users-own.so"});
    EXPECT_NE(outcome.exit_status, 0);
    EXPECT_TRUE(outcome.transfers.empty());
    EXPECT_EQ(outcome.out.find("QPORT_RUN_"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find("libqport"), std::string::npos) << outcome.out;
    // The user's own preload stays.
    EXPECT_NE(outcome.out.find("LD_PRELOAD=/nonexistent/users-own.so\n"), std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.err.find("qport-run: bash executes /usr/bin/env without qport-run's trap"),
              std::string::npos)
        << outcome.err;
}

// Following exec, the programs of one run share a machine of the run's own
// in a folder only the user may enter, which is gone when the run ends; a
// machine the user names is shared instead, and --no-follow-exec gives each
// program a machine of its own.
TEST(QportRunFollowingExec, TheProgramsOfARunShareOneMachine)
{
    const std::string script =
        "outb 0x378 0x55; inb 0x378; stat -c '%a %U' \"${QPORT_SIM_MACHINE%/*}\"; "
        "echo \"$QPORT_SIM_MACHINE\"";
    const Outcome run_machine = run(under_qport_run({}, {"/bin/sh", "-c", script}));
    ASSERT_EQ(run_machine.exit_status, 0) << run_machine.err;
    const std::vector<std::string> lines = lines_of(run_machine.out);
    ASSERT_EQ(lines.size(), 3U) << run_machine.out;
    EXPECT_EQ(lines[0], "85");
    EXPECT_TRUE(lines[1].starts_with("700 ")) << lines[1];
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(lines[2]).parent_path()))
        << lines[2] << " was left behind";

    const TemporaryDirectory directory;
    const std::string named = directory.file("machine");
    const Outcome user_machine =
        run(under_qport_run({}, {"/bin/sh", "-c", script}), {"QPORT_SIM_MACHINE=" + named});
    ASSERT_EQ(user_machine.exit_status, 0) << user_machine.err;
    EXPECT_EQ(lines_of(user_machine.out).back(), named);
    EXPECT_TRUE(std::filesystem::exists(named));

    const Outcome own_machines =
        run(under_qport_run({"--no-follow-exec"}, {"/bin/sh", "-c", "inb 0x378 || echo lost"}));
    EXPECT_EQ(lines_of(own_machines.out), std::vector<std::string>{"lost"});
}

// The run's folder goes in $XDG_RUNTIME_DIR only when that is the user's own
// folder that nobody else may enter: one that others may write, or another
// user's, could be prepared for the run.
TEST(QportRunFollowingExec, TheRunsFolderIsMadeOnlyWhereNobodyElseReaches)
{
    const TemporaryDirectory directory;
    const std::string private_runtime = directory.file("private");
    const std::string shared_runtime = directory.file("shared");
    ASSERT_EQ(::mkdir(private_runtime.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(shared_runtime.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared_runtime.c_str(), 0777), 0);
    const struct {
        std::string runtime;
        std::string expected_base;
    } cases[] = {
        {private_runtime, private_runtime},
        {shared_runtime, "/tmp"},
        {"relative", "/tmp"},
        {"/", "/tmp"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.runtime);
        const Outcome outcome =
            run(under_qport_run({}, {"/bin/sh", "-c", "echo \"$QPORT_SIM_MACHINE\""}),
                {"XDG_RUNTIME_DIR=" + test.runtime});
        ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
        EXPECT_TRUE(outcome.out.starts_with(test.expected_base + "/qport-run.")) << outcome.out;
    }
}

// While qport-run waits for the program, it ends as the program ended (its
// status, or its signal), and a signal another process sends qport-run
// reaches the program; the run's folder goes either way.
TEST(QportRunFollowingExec, QportRunEndsAsTheProgramEnded)
{
    struct Case {
        const char *name;
        const char *script;
        int exit_status;
        int signal;
    };
    const Case cases[] = {
        {"an exit status", "exit 42", 42, 0},
        {"killed by a signal", "kill -TERM $$", -1, SIGTERM},
        {"a signal sent to qport-run reaches the program",
         "(kill -USR1 $PPID) & sleep 5; echo not reached", -1, SIGUSR1},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        const Outcome outcome = run(under_qport_run({}, {"/bin/sh", "-c", test.script}));
        EXPECT_EQ(outcome.exit_status, test.exit_status) << outcome.err;
        EXPECT_EQ(outcome.signal, test.signal);
        EXPECT_EQ(outcome.out, "");
    }
}

// Configuration cycles of mechanism #1 only: 32-bit writes of the address
// and reads of the data ports at the widths lspci asks for, which find the
// simulated PC's PCI functions.
TEST(QportRunDebianTools, LspciMakesItsConfigurationCyclesThroughQport)
{
    const Outcome outcome = run(under_qport_run({}, {"lspci", "-A", "intel-conf1"}));
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_NE(outcome.out.find("00:00.0 Host bridge"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("00:03.0 Parallel controller"), std::string::npos) << outcome.out;
    ASSERT_FALSE(outcome.transfers.empty());
    EXPECT_EQ(outcome.transfers.front(), "out 32 0x0cf8 0x80000000");
    const std::regex configuration_cycle("out 32 0x0cf8 0x[0-9a-f]{8}|in (8|16|32) 0x0cf[c-f] .*");
    for (const std::string &transfer : outcome.transfers)
        EXPECT_TRUE(std::regex_match(transfer, configuration_cycle)) << transfer;
}

// Runs command as nobody when the test runs as root, so that no permission
// can exist (the subject itself refuses to run if it holds CAP_SYS_RAWIO),
// and checks that the subject read all ones at every width.
Outcome run_refused_subject(const std::vector<std::string> &command)
{
    std::vector<std::string> as_nobody;
    if (::geteuid() == 0)
        as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    as_nobody.insert(as_nobody.end(), command.begin(), command.end());
    Outcome outcome = run(as_nobody);
    EXPECT_NE(outcome.exit_status, 4) << "the subject found a way to real ports: " << outcome.out;
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(lines_of(outcome.out),
              (std::vector<std::string>{"inb 0x11223344556677ff", "inw 0x112233445566ffff",
                                        "inl 0x00000000ffffffff"}));
    return outcome;
}

// The hardware build, for a user the kernel refuses: every transfer is
// refused cleanly and said so on standard error.
TEST(QportRunHardware, RefusedAccessGivesAllOnesAndSaysWhy)
{
    const Outcome outcome =
        run_refused_subject(under_qport_run({"--hardware"}, {subject, "immediate"}));
    EXPECT_NE(outcome.err.find("Port access refused"), std::string::npos) << outcome.err;
    EXPECT_TRUE(outcome.transfers.empty());
}

// A port instruction that qport's library itself executes without the
// kernel's permission (the hardware build in a thread that lost it) is
// answered as refused, not fatal. Run without the launcher, to load a
// stand-in library, and as nobody so that no permission can exist.
TEST(QportRunHardware, AFaultInsideQportIsARefusedTransfer)
{
    const Outcome outcome = run_refused_subject(
        {"/usr/bin/env", std::string("LD_PRELOAD=") + QPORT_RUN_PRELOAD,
         std::string("QPORT_RUN_LIBRARY=") + QPORT_RUN_REFUSING_QPORT, subject, "immediate"});
    EXPECT_NE(outcome.err.find("the kernel refused qport a port transfer"), std::string::npos)
        << outcome.err;
}

} // namespace

namespace {

// ---------------------------------------------------------------- hot sites
// Whether this run of the suite rewrites hot sites (the default).
bool rewriting()
{
    const char *no_patch = std::getenv("QPORT_RUN_NO_PATCH");
    return no_patch == nullptr || *no_patch == '\0' || std::string(no_patch) == "0";
}

std::string site_state() { return rewriting() ? "rewritten" : "trapped"; }

std::size_t count_of(const std::vector<std::string> &lines, const std::string &line)
{
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

} // namespace

// Each form and width, hot, leaves RAX as the trap does (whose values the
// subject's own test checks against the processor's rules): a read merges
// 8 and 16 bits into RAX and zero-extends 32.
TEST(QportRunHotSites, EveryFormLeavesWhatTheTrapLeaves)
{
    const Outcome trapped = run(under_qport_run({"--no-patch"}, {hot_subject, "forms"}));
    const Outcome outcome = run(under_qport_run({"--site-summary"}, {hot_subject, "forms"}));
    ASSERT_EQ(trapped.exit_status, 0) << trapped.err;
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    std::string expected = trapped.out;
    expected.replace(expected.find("site trapped"), 12, "site " + site_state());
    EXPECT_EQ(outcome.out, expected);
    EXPECT_NE(outcome.out.find("inb dx: rax a5a5a5a5c3c3c3"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("inl imm: rax 00000000"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find("changed"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.transfers, trapped.transfers);
    EXPECT_NE(outcome.err.find(rewriting()
                                   ? "12 port instruction sites: 12 rewritten"
                                   : "no port instruction site rewritten: rewriting is off"),
              std::string::npos)
        << outcome.err;
}

// Threads run two sites in a loop while they go hot and are rewritten
// under them: each write made once, every read right, over a million
// iterations (fewer when every one traps).
TEST(QportRunHotSites, ThreadsLoseNoTransferWhileTheirSitesAreRewritten)
{
    const long iterations = rewriting() ? 250000 : 2500;
    const Outcome outcome =
        run(under_qport_run({}, {hot_subject, "threads", "4", std::to_string(iterations)}));
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "threads: 4 of " + std::to_string(iterations) +
                               ", 0 wrong reads, sites " + site_state() + " and " + site_state() +
                               "\n");
    for (const char *thread : {"0x01", "0x02", "0x03", "0x04"})
        EXPECT_EQ(count_of(outcome.transfers, std::string("out 8 0x0080 ") + thread),
                  static_cast<std::size_t>(iterations))
            << thread;
    EXPECT_EQ(outcome.transfers.size(), 8U * static_cast<std::size_t>(iterations) + 1);
}

// Jumps from elsewhere to the instructions after the port instruction,
// whose bytes the rewrite replaced, run them as before.
TEST(QportRunHotSites, JumpsIntoTheReplacedBytesRunWhatWasThere)
{
    const Outcome outcome = run(under_qport_run({}, {hot_subject, "punned"}));
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "from the port instruction: 0x107f\n"
                           "into the next: 0x1055\n"
                           "into the one after: 0x1055\n"
                           "from the port instruction again: 0x107f\n"
                           "site " +
                               site_state() + "\n");
}

// The trampoline calls qport with the direction flag clear, as the calling
// convention wants, and gives the program's back.
TEST(QportRunHotSites, TheDirectionFlagComesBackAsItWas)
{
    const Outcome outcome = run(under_qport_run({}, {hot_subject, "direction-flag"}));
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "direction flag: al 0x7f, flag kept, site " + site_state() + "\n");
}

// A rewritten site stays rewritten in a forked child; a program executed
// with --follow-exec rewrites its own.
TEST(QportRunHotSites, ForkAndExecAfterARewrite)
{
    const Outcome outcome = run(under_qport_run({"--follow-exec"}, {hot_subject, "fork-exec"}));
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    const std::string state = site_state();
    EXPECT_EQ(outcome.out, "parent: site " + state + "\nchild: site " + state +
                               ", status 0x7f\nexecuted: site " + state +
                               "\nparent: child exit 0\n");
    for (const char *value : {"0x11", "0x22", "0x44", "0x33"})
        EXPECT_EQ(count_of(outcome.transfers, std::string("out 8 0x0080 ") + value), 200U) << value;
}

// A port given up after its site went hot faults at the site itself, as
// the processor's general-protection fault, and transfers again once
// granted again.
TEST(QportRunHotSites, APortGivenUpFaultsAtTheRewrittenSite)
{
    const Outcome outcome = run(under_qport_run({}, {hot_subject, "revoked"}));
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    const std::string fault = "revoked: SIGSEGV code 128 at the site, trap 13, error 0\n";
    EXPECT_EQ(outcome.out,
              "site " + site_state() + "\n" + fault + fault + fault + "granted again: 0x7f\n");
}

// Two threads made with a bare clone(), sharing the TLS of the thread
// that made them, write through one site at once.
TEST(QportRunHotSites, ThreadsWithoutTlsOfTheirOwnTransferSafely)
{
    const Outcome outcome = run(under_qport_run({}, {hot_subject, "raw-clone"}));
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "raw clone threads: done\n");
    EXPECT_EQ(count_of(outcome.transfers, "out 8 0x0080 0x51"), 20000U);
    EXPECT_EQ(count_of(outcome.transfers, "out 8 0x0080 0x52"), 20000U);
}
