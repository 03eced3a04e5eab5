// SPDX-License-Identifier: LGPL-2.1-or-later
// A port-I/O program of the old kind, for the forms Debian's tools do not
// use: it calls ioperm() and executes port instructions itself. The tests
// run it under qport-run:
//     qport_run_subject MODE [ARGUMENT...]
// Before its first port instruction it makes sure that the instruction
// cannot reach a real port: qport-run's preload must be in front of the C
// library's ioperm(), and the process must hold no CAP_SYS_RAWIO (so no
// permission can have been obtained for it). Otherwise it exits with 4.
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int exit_unsafe = 4;

bool preload_in_front()
{
    Dl_info info{};
    void *ioperm_found = ::dlsym(RTLD_DEFAULT, "ioperm");
    return ioperm_found != nullptr && ::dladdr(ioperm_found, &info) != 0 &&
           info.dli_fname != nullptr && std::strstr(info.dli_fname, "libqport-run.so") != nullptr;
}

bool holds_rawio()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("CapEff:") || line.starts_with("CapPrm:")) {
            if (((std::strtoull(line.c_str() + 7, nullptr, 16) >> 17) & 1U) != 0)
                return true;
        }
    }
    return false;
}

void make_sure_ports_are_trapped()
{
    if (!preload_in_front()) {
        std::puts("preload: absent");
        std::exit(exit_unsafe);
    }
    if (holds_rawio()) {
        std::puts("unsafe: CAP_SYS_RAWIO");
        std::exit(exit_unsafe);
    }
    // What an old program does first; the preload answers it.
    if (::ioperm(0x378, 3, 1) != 0 || ::iopl(3) != 0) {
        std::puts("ioperm refused");
        std::exit(1);
    }
}

// ---------------------------------------------------------------- forms
// The accumulator after each immediate-form input, its upper bits set
// beforehand: 8 and 16 bits keep them, 32 bits clears them.
void immediate()
{
    std::uint64_t rax = 0x5A;
    asm volatile("outb %%al, $0x80" : : "a"(rax) : "memory");
    rax = 0x1234;
    asm volatile("outw %%ax, $0x80" : : "a"(rax) : "memory");
    rax = 0x89ABCDEF;
    asm volatile("outl %%eax, $0x80" : : "a"(rax) : "memory");
    for (const char *form : {"inb", "inw", "inl"}) {
        rax = 0x1122334455667788;
        if (form[2] == 'b')
            asm volatile("inb $0x80, %%al" : "+a"(rax) : : "memory");
        else if (form[2] == 'w')
            asm volatile("inw $0x80, %%ax" : "+a"(rax) : : "memory");
        else
            asm volatile("inl $0x80, %%eax" : "+a"(rax) : : "memory");
        std::printf("%s 0x%016llx\n", form, static_cast<unsigned long long>(rax));
    }
}

// rep outsw of four words to the data latch, then rep insb of four bytes
// back: each reads the low byte of the last word written.
void string_forms()
{
    const std::uint16_t words[4] = {0x1101, 0x2202, 0x3303, 0x4404};
    const std::uint16_t *source = words;
    std::uint64_t count = 4;
    asm volatile("cld\n\trep outsw" : "+S"(source), "+c"(count) : "d"(0x378) : "memory");
    std::printf("outsw: rcx %llu, rsi advanced %lld\n", static_cast<unsigned long long>(count),
                static_cast<long long>(reinterpret_cast<const char *>(source) -
                                       reinterpret_cast<const char *>(words)));
    std::uint8_t bytes[4] = {};
    std::uint8_t *destination = bytes;
    count = 4;
    asm volatile("cld\n\trep insb" : "+D"(destination), "+c"(count) : "d"(0x378) : "memory");
    std::printf("insb: rcx %llu, rdi advanced %lld, %02x %02x %02x %02x\n",
                static_cast<unsigned long long>(count), static_cast<long long>(destination - bytes),
                bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::uint8_t read_status_port()
{
    std::uint8_t value = 0;
    asm volatile("inb %w1, %b0" : "=a"(value) : "Nd"(std::uint16_t{0x379}) : "memory");
    return value;
}

// Zero, read at run time so the compiler sees no NULL access to object to.
volatile std::uintptr_t null_address = 0;

// NOLINTNEXTLINE(performance-no-int-to-ptr): the NULL access is the point
int read_null() { return *reinterpret_cast<volatile int *>(null_address); }

sigjmp_buf recovery;
volatile void *faulting_address;

void recover(int /*signal*/, siginfo_t *info, void * /*context*/)
{
    faulting_address = info->si_addr;
    siglongjmp(recovery, info->si_code);
}

// The program's own SIGSEGV handler catches real NULL accesses, before and
// after port instructions, which keep working around it.
void own_handler()
{
    struct sigaction action {};
    action.sa_sigaction = recover;
    action.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &action, nullptr);
    for (int round = 1; round <= 2; ++round) {
        if (const int code = sigsetjmp(recovery, 1); code == 0) {
            [[maybe_unused]] const int value = read_null();
            std::puts("NULL read did not fault");
        } else {
            std::printf("caught NULL access %d: si_code %s, address %p\n", round,
                        code == SEGV_MAPERR ? "SEGV_MAPERR" : "other", faulting_address);
        }
        std::printf("status 0x%02x\n", read_status_port());
    }
    struct sigaction current {};
    ::sigaction(SIGSEGV, nullptr, &current);
    std::printf("handler kept: %s\n", current.sa_sigaction == recover ? "yes" : "no");
}

// A real fault with no handler of the program's: killed by SIGSEGV.
void null_access()
{
    std::printf("status 0x%02x\n", read_status_port());
    std::fflush(stdout);
    [[maybe_unused]] const int value = read_null();
}

// SA_RESETHAND: the first fault reaches the handler, the second the
// default action.
void reset_hand()
{
    struct sigaction action {};
    action.sa_sigaction = recover;
    action.sa_flags = SA_SIGINFO | static_cast<int>(SA_RESETHAND);
    ::sigaction(SIGSEGV, &action, nullptr);
    for (int round = 1; round <= 2; ++round) {
        if (sigsetjmp(recovery, 1) == 0) {
            std::printf("status 0x%02x\n", read_status_port());
            std::fflush(stdout);
            [[maybe_unused]] const int value = read_null();
        } else {
            std::printf("caught NULL access %d\n", round);
        }
    }
}

// A program that blocks SIGSEGV is told so, and its port instructions
// still work.
void masked()
{
    sigset_t segv;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    ::sigprocmask(SIG_BLOCK, &segv, nullptr);
    sigset_t current;
    ::sigprocmask(SIG_BLOCK, nullptr, &current);
    std::printf("SIGSEGV blocked: %s\n", sigismember(&current, SIGSEGV) == 1 ? "yes" : "no");
    std::printf("status 0x%02x\n", read_status_port());
}

// A handler on the alternate stack runs there, for a fault and around port
// instructions.
void alternate_stack()
{
    static char stack[64 * 1024];
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    ::sigaltstack(&alternate, nullptr);
    struct sigaction action {};
    action.sa_sigaction = [](int, siginfo_t *, void *) {
        const char here = 0;
        const bool on_it = &here >= stack && &here < stack + sizeof stack;
        siglongjmp(recovery, on_it ? 1 : 2);
    };
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigaction(SIGSEGV, &action, nullptr);
    std::printf("status 0x%02x\n", read_status_port());
    if (const int where = sigsetjmp(recovery, 1); where == 0) [[maybe_unused]]
        const int value = read_null();
    else
        std::printf("handler on the alternate stack: %s\n", where == 1 ? "yes" : "no");
}

// A SIGSEGV sent by a process reaches the handler as sent.
void raised()
{
    struct sigaction action {};
    action.sa_sigaction = [](int, siginfo_t *info, void *) {
        std::printf("raised: si_code %s\n", info->si_code == SI_TKILL ? "SI_TKILL" : "other");
    };
    action.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &action, nullptr);
    ::raise(SIGSEGV);
    std::puts("returned");
}

// rep outsb reaching an unmapped page faults there, after the bytes before
// it went out, as the processor does it.
void string_fault()
{
    const long page = ::sysconf(_SC_PAGESIZE);
    auto *pages =
        static_cast<char *>(::mmap(nullptr, static_cast<std::size_t>(2 * page),
                                   PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ::munmap(pages + page, static_cast<std::size_t>(page));
    char *const last_two = pages + page - 2;
    last_two[0] = 0x11;
    last_two[1] = 0x22;
    struct sigaction action {};
    action.sa_sigaction = recover;
    action.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &action, nullptr);
    const char *source = last_two;
    std::uint64_t count = 4;
    if (const int code = sigsetjmp(recovery, 1); code == 0)
        asm volatile("cld\n\trep outsb" : "+S"(source), "+c"(count) : "d"(0x378) : "memory");
    else
        std::printf("fault %s at the unmapped page: %s\n",
                    code == SEGV_MAPERR ? "SEGV_MAPERR" : "other",
                    faulting_address == pages + page ? "yes" : "no");
}

void threads()
{
    constexpr int thread_count = 4;
    constexpr int reads_each = 250;
    std::vector<int> right(thread_count);
    std::vector<std::thread> workers;
    for (int t = 0; t < thread_count; ++t) {
        workers.emplace_back([&right, t] {
            for (int i = 0; i < reads_each; ++i)
                right[static_cast<std::size_t>(t)] += read_status_port() == 0x7F ? 1 : 0;
        });
    }
    int total = 0;
    for (int t = 0; t < thread_count; ++t) {
        workers[static_cast<std::size_t>(t)].join();
        total += right[static_cast<std::size_t>(t)];
    }
    std::printf("threads: %d of %d reads gave 0x7f\n", total, thread_count * reads_each);
}

void fork_child()
{
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        asm volatile("outb %%al, %w1" : : "a"(std::uint8_t{0xC1}), "Nd"(std::uint16_t{0x378}));
        std::printf("child: status 0x%02x\n", read_status_port());
        std::exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    asm volatile("outb %%al, %w1" : : "a"(std::uint8_t{0xA1}), "Nd"(std::uint16_t{0x378}));
    std::printf("parent: child exit %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

// Executes this program again in mode "child-transfer": whether the
// preload went along shows in what the child prints and transfers.
int exec_self(const char *self)
{
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(self, self, "child-transfer", static_cast<char *>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::printf("exec child exit %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

void child_transfer()
{
    asm volatile("outb %%al, %w1" : : "a"(std::uint8_t{0xE7}), "Nd"(std::uint16_t{0x378}));
    std::puts("child: transferred");
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    make_sure_ports_are_trapped();
    if (mode == "safety") {
        std::puts("safe");
    } else if (mode == "immediate") {
        immediate();
    } else if (mode == "string") {
        string_forms();
    } else if (mode == "own-handler") {
        own_handler();
    } else if (mode == "reset-hand") {
        reset_hand();
    } else if (mode == "masked") {
        masked();
    } else if (mode == "alternate-stack") {
        alternate_stack();
    } else if (mode == "raise") {
        raised();
    } else if (mode == "string-fault") {
        string_fault();
    } else if (mode == "null-access") {
        null_access();
    } else if (mode == "threads") {
        threads();
    } else if (mode == "fork") {
        fork_child();
    } else if (mode == "exec") {
        return exec_self(argv[0]);
    } else if (mode == "child-transfer") {
        child_transfer();
    } else {
        std::fprintf(stderr, "qport_run_subject: unknown mode '%s'\n", mode.c_str());
        return 2;
    }
    return 0;
}
