// SPDX-License-Identifier: LGPL-2.1-or-later
// A port-I/O program of the old kind, for the forms Debian's tools do not
// use: it calls ioperm() and executes port instructions itself, and, in
// the modes named grant-..., probes what it was granted as such programs
// do, trying an instruction and catching SIGSEGV. The tests run it under
// qport-run:
//     qport_run_subject MODE [ARGUMENT...]
// Before its first port instruction it makes sure that the instruction
// cannot reach a real port: qport-run's preload must be in front of the C
// library's ioperm(), and the process must hold no CAP_SYS_RAWIO (so no
// permission can have been obtained for it). Otherwise it exits with 4.
#include <atomic>
#include <cerrno>
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
#include <sys/syscall.h>
#include <sys/wait.h>
#include <threads.h>
#include <ucontext.h>
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
}

// What an old program does first; the preload answers it.
void ask_for_ports()
{
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

// ---------------------------------------------------------------- grants
// What a probing program learns: the instruction ran, or SIGSEGV came with
// the general-protection fault's signature (SI_KERNEL, no address, trap 13).
thread_local sigjmp_buf probe_recovery;
thread_local siginfo_t probe_info;
thread_local long long probe_trap;

void probe_caught(int /*signal*/, siginfo_t *info, void *context)
{
    probe_info = *info;
    probe_trap = static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_TRAPNO];
    siglongjmp(probe_recovery, 1);
}

void catch_probes()
{
    struct sigaction action {};
    action.sa_sigaction = probe_caught;
    action.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &action, nullptr);
}

std::string outcome_of_fault()
{
    if (probe_info.si_code == SI_KERNEL && probe_info.si_addr == nullptr && probe_trap == 13)
        return "denied";
    return "other fault";
}

// in al/ax/eax, dx at port, width bytes.
std::string try_port(std::uint16_t port, unsigned width = 1)
{
    if (sigsetjmp(probe_recovery, 1) != 0)
        return outcome_of_fault();
    std::uint32_t value = 0;
    if (width == 1)
        asm volatile("inb %w1, %b0" : "+a"(value) : "Nd"(port) : "memory");
    else if (width == 2)
        asm volatile("inw %w1, %w0" : "+a"(value) : "Nd"(port) : "memory");
    else
        asm volatile("inl %w1, %k0" : "+a"(value) : "Nd"(port) : "memory");
    return "allowed";
}

std::string try_interrupt_flag()
{
    if (sigsetjmp(probe_recovery, 1) != 0)
        return outcome_of_fault();
    asm volatile("cli\n\tsti" : : : "memory");
    return "passed";
}

const char *error_of(int result)
{
    if (result == 0)
        return "ok";
    return errno == EINVAL ? "EINVAL" : "other error";
}

// Permission as the kernel keeps it: nothing until asked, exactly the
// ports ioperm() names, everything with iopl(3), the kernel's argument
// checks, and CLI/STI as no-ops at level 3 only.
void grant_rules()
{
    catch_probes();
    std::printf("not asked: 0x378 %s\n", try_port(0x378).c_str());
    std::printf("cli without iopl: %s\n", try_interrupt_flag().c_str());
    const char *asked = error_of(::ioperm(0x378, 2, 1));
    std::printf("ioperm(0x378, 2): %s; ", asked);
    std::printf("0x378 %s, ", try_port(0x378).c_str());
    std::printf("0x379 %s, ", try_port(0x379).c_str());
    std::printf("0x37a %s, ", try_port(0x37A).c_str());
    std::printf("inw at 0x379 %s\n", try_port(0x379, 2).c_str());
    asked = error_of(::iopl(3));
    std::printf("iopl(3): %s; ", asked);
    std::printf("0x80 %s, ", try_port(0x80).c_str());
    std::printf("inl at 0xfffc %s, ", try_port(0xFFFC, 4).c_str());
    std::printf("inw at 0xffff %s\n", try_port(0xFFFF, 2).c_str());
    std::printf("cli at level 3: %s\n", try_interrupt_flag().c_str());
    asked = error_of(::iopl(0));
    std::printf("iopl(0): %s; ", asked);
    std::printf("0x80 %s, ", try_port(0x80).c_str());
    std::printf("0x378 %s\n", try_port(0x378).c_str());
    asked = error_of(::ioperm(0x378, 1, 0));
    std::printf("ioperm(0x378, 1, off): %s; ", asked);
    std::printf("0x378 %s, ", try_port(0x378).c_str());
    std::printf("0x379 %s\n", try_port(0x379).c_str());
    std::printf("bad arguments:");
    std::printf(" %s", error_of(::ioperm(0x10000, 1, 1)));
    std::printf(" %s", error_of(::ioperm(0xFFFF, 2, 1)));
    std::printf(" %s", error_of(::ioperm(0x80, 0, 1)));
    std::printf(" %s", error_of(::iopl(4)));
    std::printf(" %s\n", error_of(::iopl(-1)));
}

// Threads start with their creator's grant and keep their own; a forked
// child has its parent's.
void grant_threads()
{
    catch_probes();
    ::ioperm(0x378, 1, 1);
    std::thread([] {
        std::printf("thread: 0x378 %s, 0x80 %s\n", try_port(0x378).c_str(), try_port(0x80).c_str());
        ::ioperm(0x80, 1, 1);
        std::printf("thread after its ioperm: 0x80 %s\n", try_port(0x80).c_str());
    }).join();
    std::printf("main: 0x80 %s\n", try_port(0x80).c_str());
    thrd_t c11{};
    thrd_create(
        &c11,
        [](void *) {
            std::printf("C11 thread: 0x378 %s\n", try_port(0x378).c_str());
            return 0;
        },
        nullptr);
    thrd_join(c11, nullptr);
    ::iopl(3);
    std::thread([] {
        std::printf("thread after iopl(3): 0x80 %s\n", try_port(0x80).c_str());
    }).join();
    ::iopl(0);
    std::fflush(stdout);
    if (const pid_t child = ::fork(); child == 0) {
        std::printf("child: 0x378 %s, 0x80 %s\n", try_port(0x378).c_str(), try_port(0x80).c_str());
        std::exit(0);
    } else {
        ::waitpid(child, nullptr, 0);
    }
}

// The grant survives exec, as the kernel keeps it: the program executed
// asks for nothing and probes.
int grant_exec(const char *self)
{
    ::ioperm(0x378, 1, 1);
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(self, self, "grant-after-exec", static_cast<char *>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::printf("exec child exit %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

// A grant of its own making in the environment it hands to exec counts for
// nothing: the program executed gets the thread's real one.
int grant_exec_forged(const char *self)
{
    std::vector<std::string> variables;
    for (char **entry = environ; *entry != nullptr; ++entry)
        variables.emplace_back(*entry);
    variables.emplace_back("QPORT_RUN_PORT_GRANT=3");
    std::vector<char *> envp;
    for (std::string &variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        char mode[] = "grant-after-exec";
        char *const argv[] = {const_cast<char *>(self), mode, nullptr};
        ::execve(self, argv, envp.data());
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::printf("exec child exit %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

void grant_after_exec()
{
    catch_probes();
    std::printf("after exec: 0x378 %s, 0x80 %s\n", try_port(0x378).c_str(), try_port(0x80).c_str());
}

// Asks for nothing: under --permissive everything is granted from the
// start, and what the program gives up is gone.
void grant_none()
{
    catch_probes();
    std::printf("not asked: 0x80 %s\n", try_port(0x80).c_str());
    ::ioperm(0x80, 1, 0);
    std::printf("after ioperm(0x80, 1, off): 0x80 %s, 0x81 %s\n", try_port(0x80).c_str(),
                try_port(0x81).c_str());
}

// ---------------------------------------------------------------- robustness
std::atomic<int> flood_handled{0};

// A SIGSEGV sent again and again by another thread while port instructions
// run: the program's handler takes each, and nothing piles up.
void segv_flood()
{
    // The trap as the kernel has it: SIGSEGV blocked while it runs.
    struct {
        void *handler;
        unsigned long flags;
        void *restorer;
        std::uint64_t mask;
    } trap{};
    ::syscall(SYS_rt_sigaction, SIGSEGV, nullptr, &trap, sizeof trap.mask);
    std::printf("the trap defers SIGSEGV: %s\n",
                (trap.flags & SA_NODEFER) == 0 && (trap.mask & (1U << (SIGSEGV - 1))) != 0 ? "yes"
                                                                                           : "no");
    struct sigaction action {};
    action.sa_handler = [](int) { flood_handled.fetch_add(1); };
    ::sigaction(SIGSEGV, &action, nullptr);
    const pid_t main_thread = ::gettid();
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::thread sender([&] {
        while (!stop.load()) {
            ::syscall(SYS_tgkill, ::getpid(), main_thread, SIGSEGV);
            sent.fetch_add(1);
        }
    });
    while (sent.load() < 1000) {
    }
    int right = 0;
    for (int i = 0; i < 2000; ++i)
        right += read_status_port() == 0x7F ? 1 : 0;
    stop = true;
    sender.join();
    std::printf("flood: %d of 2000 reads right, handler ran: %s\n", right,
                flood_handled.load() > 0 ? "yes" : "no");
}

std::size_t round_up(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

sigjmp_buf stack_recovery;

void leave_handler(int /*signal*/, siginfo_t * /*info*/, void * /*context*/)
{
    siglongjmp(stack_recovery, 1);
}

// How deep the kernel's signal frame and a handler reach into an
// alternate stack, measured with SIGUSR1, which the preload leaves alone:
// leave_handler, or one that returns at once (the kernel's frame alone).
std::size_t native_signal_depth(bool leave)
{
    static unsigned char measured[64 * 1024];
    std::memset(measured, 0xA5, sizeof measured);
    stack_t alternate{};
    alternate.ss_sp = measured;
    alternate.ss_size = sizeof measured;
    stack_t old{};
    ::sigaltstack(&alternate, &old);
    struct sigaction action {};
    action.sa_sigaction = leave ? leave_handler : [](int, siginfo_t *, void *) {};
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigaction(SIGUSR1, &action, nullptr);
    if (sigsetjmp(stack_recovery, 1) == 0)
        ::raise(SIGUSR1);
    ::sigaltstack(&old, nullptr);
    std::size_t untouched = 0;
    while (untouched < sizeof measured && measured[untouched] == 0xA5)
        ++untouched;
    return sizeof measured - untouched;
}

// On an alternate stack of size bytes with a page of canary below it, in
// a child: port instructions of each kind and a NULL access caught by a
// handler on that stack. The stack is shared with this process, so the
// canary can be checked even when the child is killed.
std::string port_instructions_on_alternate_stack(std::size_t size)
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t mapped = page + round_up(size, page);
    auto *memory = static_cast<unsigned char *>(
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::memset(memory, 0x5A, page);
    auto *results = memory + page + size; // above the stack, out of its way
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        stack_t alternate{};
        alternate.ss_sp = memory + page;
        alternate.ss_size = size;
        ::sigaltstack(&alternate, nullptr);
        struct sigaction action {};
        action.sa_sigaction = leave_handler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        ::sigaction(SIGSEGV, &action, nullptr);
        std::uint8_t bytes[4] = {};
        std::uint8_t *destination = bytes;
        std::uint64_t count = 4;
        asm volatile("outb %%al, %w1" : : "a"(std::uint8_t{0x3C}), "Nd"(std::uint16_t{0x378}));
        asm volatile("cld\n\trep insb" : "+D"(destination), "+c"(count) : "d"(0x378) : "memory");
        results[0] = read_status_port() == 0x7F && bytes[3] == 0x3C ? 1 : 2;
        if (sigsetjmp(stack_recovery, 1) == 0) [[maybe_unused]]
            const int value = read_null();
        else
            results[1] = 1;
        std::_Exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    bool canary_intact = true;
    for (std::size_t i = 0; i < page; ++i)
        canary_intact = canary_intact && memory[i] == 0x5A;
    std::string outcome = WIFSIGNALED(status)
                              ? std::string("killed by ") +
                                    (WTERMSIG(status) == SIGSEGV ? "SIGSEGV" : "another signal")
                              : std::string("transfers ") + (results[0] == 1 ? "right" : "wrong") +
                                    ", fault " + (results[1] == 1 ? "caught" : "missed");
    ::munmap(memory, mapped);
    return outcome + (canary_intact ? ", canary intact" : ", canary overwritten");
}

// Room for the kernel's frame and the handler as natively, plus the trap's
// 512 bytes, in whole KiB (4 KiB on most processors): works. Room for the
// kernel's frame and a little more: the process ends with SIGSEGV, as the
// kernel ends it when its own frame does not fit.
void small_alternate_stack()
{
    const std::size_t with_handler = native_signal_depth(true);
    const std::size_t kernel_frame = native_signal_depth(false);
    std::printf("enough room: %s\n",
                port_instructions_on_alternate_stack(round_up(with_handler + 512, 1024)).c_str());
    std::printf("too little room: %s\n",
                port_instructions_on_alternate_stack(round_up(kernel_frame + 64, 64)).c_str());
}

// ---------------------------------------------------------------- string faults
sigjmp_buf fault_recovery;
siginfo_t fault_info;
long long fault_error_code;
char *map_on_fault;
int map_protection;
// Whether the handler runs on an alternate stack, and so the trap too.
int handler_stack_flag = 0;

// Maps the page the fault names (or opens it up) and returns, as a
// program that pages its memory in on demand does: the instruction must go
// on from where it stopped.
void page_in(int /*signal*/, siginfo_t *info, void *context)
{
    fault_info = *info;
    fault_error_code = static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_ERR];
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    char *const start =
        static_cast<char *>(info->si_addr) - reinterpret_cast<std::uintptr_t>(info->si_addr) % page;
    if (start != map_on_fault)
        siglongjmp(fault_recovery, 1);
    if (::mprotect(start, page, map_protection) != 0 &&
        ::mmap(start, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) == MAP_FAILED)
        siglongjmp(fault_recovery, 1);
    start[0] = 0x33;
    start[1] = 0x44;
    map_on_fault = nullptr;
}

const char *code_name(int code)
{
    return code == SEGV_MAPERR ? "SEGV_MAPERR" : code == SEGV_ACCERR ? "SEGV_ACCERR" : "other";
}

// Two pages, the second unmapped or read-only; the handler maps it or
// makes it writable and returns.
char *two_pages(int second)
{
    const long page = ::sysconf(_SC_PAGESIZE);
    auto *pages =
        static_cast<char *>(::mmap(nullptr, static_cast<std::size_t>(2 * page),
                                   PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (second == PROT_NONE)
        ::munmap(pages + page, static_cast<std::size_t>(page));
    else
        ::mprotect(pages + page, static_cast<std::size_t>(page), second);
    map_on_fault = pages + page;
    map_protection = PROT_READ | PROT_WRITE;
    struct sigaction action {};
    action.sa_sigaction = page_in;
    action.sa_flags = SA_SIGINFO | handler_stack_flag;
    ::sigaction(SIGSEGV, &action, nullptr);
    return pages + page;
}

// A string form's registers, kept in memory so that they survive a
// siglongjmp out of the instruction.
struct StringRun {
    std::uintptr_t at;
    std::uint64_t count;
};

[[gnu::noinline]] void rep_outsb(StringRun &run)
{
    asm volatile("cld\n\trep outsb" : "+S"(run.at), "+c"(run.count) : "d"(0x378) : "memory");
}

[[gnu::noinline]] void rep_outsw(StringRun &run)
{
    asm volatile("cld\n\trep outsw" : "+S"(run.at), "+c"(run.count) : "d"(0x378) : "memory");
}

[[gnu::noinline]] void rep_insb(StringRun &run)
{
    asm volatile("cld\n\trep insb" : "+D"(run.at), "+c"(run.count) : "d"(0x379) : "memory");
}

// rep outsb, rep outsw across the end of a page into one that is not
// there, and rep insb into a read-only page: each faults at the second
// page's first byte, and goes on once the handler has fixed it. With
// on_alternate_stack, the handler and the trap run on an alternate stack.
void string_fault_resume(bool on_alternate_stack)
{
    if (on_alternate_stack) {
        static char stack[16 * 1024];
        stack_t alternate{};
        alternate.ss_sp = stack;
        alternate.ss_size = sizeof stack;
        ::sigaltstack(&alternate, nullptr);
        handler_stack_flag = SA_ONSTACK;
    }
    char *second = two_pages(PROT_NONE);
    second[-2] = 0x11;
    second[-1] = 0x22;
    StringRun run{reinterpret_cast<std::uintptr_t>(second - 2), 4};
    if (sigsetjmp(fault_recovery, 1) == 0) {
        rep_outsb(run);
        std::printf("outsb: %s at the next page's start: %s; rcx %llu\n",
                    code_name(fault_info.si_code), fault_info.si_addr == second ? "yes" : "no",
                    static_cast<unsigned long long>(run.count));
    }
    second = two_pages(PROT_NONE);
    second[-1] = 0x11;
    run = {reinterpret_cast<std::uintptr_t>(second - 1), 1};
    if (sigsetjmp(fault_recovery, 1) == 0) {
        rep_outsw(run);
        std::printf("outsw across pages: %s at the next page's start: %s; rcx %llu\n",
                    code_name(fault_info.si_code), fault_info.si_addr == second ? "yes" : "no",
                    static_cast<unsigned long long>(run.count));
    }
    second = two_pages(PROT_READ);
    run = {reinterpret_cast<std::uintptr_t>(second - 2), 4};
    if (sigsetjmp(fault_recovery, 1) == 0) {
        rep_insb(run);
        std::printf("insb: %s at the read-only page's start: %s, a write: %s; rcx %llu\n",
                    code_name(fault_info.si_code), fault_info.si_addr == second ? "yes" : "no",
                    (fault_error_code & 2) != 0 ? "yes" : "no",
                    static_cast<unsigned long long>(run.count));
    }
}

// The vDSO's data pages are a mapping the kernel cannot copy from another
// process's view (VM_IO, VM_PFNMAP): outs reads them all the same, and ins
// is refused with SEGV_ACCERR, as they are read-only.
void string_device_memory()
{
    std::ifstream maps("/proc/self/maps");
    void *vvar = nullptr;
    for (std::string line; std::getline(maps, line);) {
        if (line.find("[vvar]") != std::string::npos)
            std::sscanf(line.c_str(), "%p", &vvar);
    }
    const auto start = reinterpret_cast<std::uintptr_t>(vvar);
    if (start == 0) {
        std::puts("no [vvar] mapping");
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = page_in;
    action.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &action, nullptr);
    map_on_fault = nullptr;
    StringRun run{start, 8};
    if (sigsetjmp(fault_recovery, 1) == 0) {
        rep_outsb(run);
        std::printf("outsb from [vvar]: rcx %llu\n", static_cast<unsigned long long>(run.count));
    } else {
        std::printf("outsb from [vvar]: %s\n", code_name(fault_info.si_code));
    }
    run = {start, 1};
    if (sigsetjmp(fault_recovery, 1) == 0)
        rep_insb(run);
    std::printf("insb into [vvar]: %s at its start: %s\n", code_name(fault_info.si_code),
                fault_info.si_addr == vvar ? "yes" : "no");
}

// ---------------------------------------------------------------- decoding
// 66 48 ED: REX.W wins over 66, so this is in eax, dx.
void rex_w_over_operand_size()
{
    std::uint64_t rax = 0x1122334455667788;
    asm volatile(".byte 0x66, 0x48, 0xED" : "+a"(rax) : "d"(0x80) : "memory");
    std::printf("66 48 ED: 0x%016llx\n", static_cast<unsigned long long>(rax));
}

// 32-bit code in this 64-bit process, through a far call to the 32-bit
// user code segment: rep insb with ECX 2 and junk in the upper halves of
// RCX and RDI, which 32-bit code does not see. Where the machine offers no
// 32-bit segment (some virtual machines), it says so and exits with 77.
int compat_code()
{
    unsigned long rights = 0;
    unsigned char valid = 0;
    asm volatile("lar %2, %0\n\tsetz %1"
                 : "=r"(rights), "=q"(valid)
                 : "r"(static_cast<unsigned long>(0x23)));
    if (valid == 0) {
        std::puts("no 32-bit code segment on this machine");
        return 77;
    }
    auto *low =
        static_cast<std::uint8_t *>(::mmap(nullptr, 8192, PROT_READ | PROT_WRITE | PROT_EXEC,
                                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
    // 64-bit: keep RSP, switch to a stack below 4 GiB, far call, back.
    const std::uint8_t entry[] = {
        0x48, 0x89, 0x25, 0, 0, 0, 0, // mov %rsp, saved(%rip)
        0x48, 0x8d, 0x25, 0, 0, 0, 0, // lea stack_top(%rip), %rsp
        0xff, 0x1d, 0,    0, 0, 0,    // lcall *far_pointer(%rip)
        0x48, 0x8b, 0x25, 0, 0, 0, 0, // mov saved(%rip), %rsp
        0xc3,                         // ret
    };
    constexpr std::uint32_t saved = 0x100, far_pointer = 0x110, code32 = 0x200, stack_top = 0x1000;
    std::memcpy(low, entry, sizeof entry);
    const auto put32 = [low](std::uint32_t at, std::uint32_t value) {
        std::memcpy(low + at, &value, 4);
    };
    put32(3, saved - 7);
    put32(10, stack_top - 14);
    put32(16, far_pointer - 20);
    put32(23, saved - 27);
    put32(far_pointer, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(low + code32)));
    low[far_pointer + 4] = 0x23;
    low[far_pointer + 5] = 0;
    // 32-bit: load the flat data segment into ES, rep insb, far return.
    const std::uint8_t code[] = {0x8e, 0xc0, 0xf3, 0x6c, 0xcb}; // mov %eax,%es; rep insb; lret
    std::memcpy(low + code32, code, sizeof code);
    std::uint8_t *buffer = low + 0x1800;
    std::memset(buffer, 0xEE, 4);
    std::uint64_t rcx = 0xDEAD000000000002;
    std::uint64_t rdi = 0x1234567800000000 | reinterpret_cast<std::uintptr_t>(buffer);
    asm volatile("call *%[entry]"
                 : "+c"(rcx), "+D"(rdi)
                 : [entry] "r"(low), "a"(0x2b), "d"(0x379)
                 : "rsi", "r8", "r9", "r10", "r11", "memory");
    std::printf(
        "32-bit rep insb: ecx %llu, edi advanced %lld, bytes %02x %02x %02x\n",
        static_cast<unsigned long long>(rcx & 0xFFFFFFFF),
        static_cast<long long>((rdi & 0xFFFFFFFF) - reinterpret_cast<std::uintptr_t>(buffer)),
        buffer[0], buffer[1], buffer[2]);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    make_sure_ports_are_trapped();
    if (!mode.starts_with("grant-"))
        ask_for_ports();
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
    } else if (mode == "grant-rules") {
        grant_rules();
    } else if (mode == "grant-threads") {
        grant_threads();
    } else if (mode == "grant-exec") {
        return grant_exec(argv[0]);
    } else if (mode == "grant-exec-forged") {
        return grant_exec_forged(argv[0]);
    } else if (mode == "grant-after-exec") {
        grant_after_exec();
    } else if (mode == "grant-none") {
        grant_none();
    } else if (mode == "segv-flood") {
        segv_flood();
    } else if (mode == "small-alternate-stack") {
        small_alternate_stack();
    } else if (mode == "string-fault-resume") {
        string_fault_resume(false);
    } else if (mode == "string-fault-resume-alternate") {
        string_fault_resume(true);
    } else if (mode == "string-device-memory") {
        string_device_memory();
    } else if (mode == "rex-w") {
        rex_w_over_operand_size();
    } else if (mode == "compat-code") {
        return compat_code();
    } else {
        std::fprintf(stderr, "qport_run_subject: unknown mode '%s'\n", mode.c_str());
        return 2;
    }
    return 0;
}
