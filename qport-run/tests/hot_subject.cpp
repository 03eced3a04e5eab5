// SPDX-License-Identifier: LGPL-2.1-or-later
// Port instruction sites made hot, for qport-run's rewriting of them; the
// tests run it with rewriting on and off and expect the same output:
//     qport_run_hot_subject MODE [ARGUMENT...]
// It says whether each site it knows was rewritten ("rewritten" when its
// first byte became a jump), so that a test can tell both runs apart.
// Like qport_run_subject it exits with 4 unless the preload is in front
// and the process holds no CAP_SYS_RAWIO.
#include <atomic>
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
#include <sched.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

// Each port instruction form at a site of its own, followed by
// instructions the rewriter moves. The in forms take RAX from the first
// argument and give it back; the out forms write its low bytes. The port
// is the second argument (0x80 for the immediate forms).
asm(R"(
        .text
        .macro  site name, instruction:vararg
        .globl  hot_\name
        .type   hot_\name, @function
        .p2align 4
hot_\name:
        movq    %rdi, %rax
        movl    %esi, %edx
        .globl  hot_\name\()_site
hot_\name\()_site:
        \instruction
        movq    %rax, %rcx
        movq    %rcx, %rax
        ret
        .size   hot_\name, .-hot_\name
        .endm
        site    inb_dx, inb %dx, %al
        site    inw_dx, inw %dx, %ax
        site    inl_dx, inl %dx, %eax
        site    inb_imm, inb $0x80, %al
        site    inw_imm, inw $0x80, %ax
        site    inl_imm, inl $0x80, %eax
        site    outb_dx, outb %al, %dx
        site    outw_dx, outw %ax, %dx
        site    outl_dx, outl %eax, %dx
        site    outb_imm, outb %al, $0x80
        site    outw_imm, outw %ax, $0x80
        site    outl_imm, outl %eax, $0x80

/* The site executed with the direction flag set: gives AL in the low
 * byte and the flags as they were right after the site above it. */
        .globl  hot_direction_flag
        .type   hot_direction_flag, @function
        .p2align 4
hot_direction_flag:
        movl    $0x379, %edx
        xorl    %eax, %eax
        std
        .globl  hot_direction_flag_site
hot_direction_flag_site:
        inb     %dx, %al
        movq    %rax, %rcx
        movq    %rcx, %rax
        pushfq
        popq    %rdx
        cld
        shlq    $8, %rdx
        orq     %rdx, %rax
        ret
        .size   hot_direction_flag, .-hot_direction_flag

/* Starts at the port instruction (0), at the instruction after it (1) or
 * at the one after that (2): jumps into the bytes the rewrite replaced. */
        .globl  hot_punned
        .type   hot_punned, @function
        .p2align 4
hot_punned:
        movl    $0x379, %edx
        movl    $0x55, %eax
        cmpl    $1, %edi
        je      1f
        cmpl    $2, %edi
        je      2f
        .globl  hot_punned_site
hot_punned_site:
        inb     %dx, %al
1:      movzbl  %al, %eax
2:      orl     $0x1000, %eax
        ret
        .size   hot_punned, .-hot_punned
)");

extern "C" {
std::uint64_t hot_inb_dx(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_inw_dx(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_inl_dx(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_inb_imm(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_inw_imm(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_inl_imm(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_outb_dx(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_outw_dx(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_outl_dx(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_outb_imm(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_outw_imm(std::uint64_t rax, std::uint32_t port);
std::uint64_t hot_outl_imm(std::uint64_t rax, std::uint32_t port);
std::uint32_t hot_punned(int start);
std::uint64_t hot_direction_flag();
extern const std::uint8_t hot_direction_flag_site[];
extern const std::uint8_t hot_inb_dx_site[];
extern const std::uint8_t hot_outb_dx_site[];
extern const std::uint8_t hot_punned_site[];
}

namespace {

constexpr int exit_unsafe = 4;
// More executions than any threshold of the rewriter's.
constexpr int hot = 200;

void make_sure_ports_are_trapped()
{
    Dl_info info{};
    void *ioperm_found = ::dlsym(RTLD_DEFAULT, "ioperm");
    if (ioperm_found == nullptr || ::dladdr(ioperm_found, &info) == 0 ||
        info.dli_fname == nullptr || std::strstr(info.dli_fname, "libqport-run.so") == nullptr) {
        std::puts("preload: absent");
        std::exit(exit_unsafe);
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if ((line.starts_with("CapEff:") || line.starts_with("CapPrm:")) &&
            ((std::strtoull(line.c_str() + 7, nullptr, 16) >> 17) & 1U) != 0) {
            std::puts("unsafe: CAP_SYS_RAWIO");
            std::exit(exit_unsafe);
        }
    }
}

const char *state_of(const std::uint8_t *site) { return site[0] == 0xE9 ? "rewritten" : "trapped"; }

// ---------------------------------------------------------------- forms
struct Form {
    const char *name;
    std::uint64_t (*run)(std::uint64_t, std::uint32_t);
};

// Each form, hot, on RAX full of bits: what the last execution left in
// RAX, and whether every execution left the same.
int forms()
{
    const Form all[] = {
        {"inb dx", hot_inb_dx},     {"inw dx", hot_inw_dx},     {"inl dx", hot_inl_dx},
        {"inb imm", hot_inb_imm},   {"inw imm", hot_inw_imm},   {"inl imm", hot_inl_imm},
        {"outb dx", hot_outb_dx},   {"outw dx", hot_outw_dx},   {"outl dx", hot_outl_dx},
        {"outb imm", hot_outb_imm}, {"outw imm", hot_outw_imm}, {"outl imm", hot_outl_imm},
    };
    constexpr std::uint64_t bits = 0xA5A5A5A5C3C3C3C3ULL;
    for (const Form &form : all) {
        const std::uint64_t first = form.run(bits, 0x378);
        bool same = true;
        for (int i = 1; i < hot; ++i)
            same = same && form.run(bits, 0x378) == first;
        std::printf("%s: rax %016llx%s\n", form.name, static_cast<unsigned long long>(first),
                    same ? "" : " (changed)");
    }
    std::printf("site %s\n", state_of(hot_inb_dx_site));
    return 0;
}

// ---------------------------------------------------------------- jumps into the site
int punned()
{
    std::uint32_t from_site = 0;
    for (int i = 0; i < hot; ++i)
        from_site = hot_punned(0);
    std::printf("from the port instruction: %#x\n", from_site);
    std::printf("into the next: %#x\n", hot_punned(1));
    std::printf("into the one after: %#x\n", hot_punned(2));
    std::printf("from the port instruction again: %#x\n", hot_punned(0));
    std::printf("site %s\n", state_of(hot_punned_site));
    return 0;
}

// The site runs with the direction flag set, as the program left it; the
// flag is still set after it.
int direction_flag()
{
    std::uint64_t result = 0;
    for (int i = 0; i < hot; ++i)
        result = hot_direction_flag();
    constexpr std::uint64_t direction = 1U << 10U;
    std::printf("direction flag: al %#llx, flag %s, site %s\n",
                static_cast<unsigned long long>(result & 0xFF),
                ((result >> 8U) & direction) != 0 ? "kept" : "lost",
                state_of(hot_direction_flag_site));
    return 0;
}

// ---------------------------------------------------------------- threads
// Threads write their own numbers through one site at the same time, the
// site going hot under them, and read the status port through another:
// the trace counts the writes; every read must give what the first did.
int threads(int count, long iterations)
{
    std::atomic<int> ready{0};
    std::atomic<long> wrong{0};
    const std::uint64_t expected = hot_inb_dx(0x1122334455667700ULL, 0x379);
    std::vector<std::thread> running;
    for (int t = 0; t < count; ++t) {
        running.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < count) {
            }
            for (long i = 0; i < iterations; ++i) {
                hot_outb_dx(static_cast<std::uint64_t>(t) + 1, 0x80);
                if (hot_inb_dx(0x1122334455667700ULL, 0x379) != expected)
                    wrong.fetch_add(1);
            }
        });
    }
    for (std::thread &thread : running)
        thread.join();
    std::printf("threads: %d of %ld, %ld wrong reads, sites %s and %s\n", count, iterations,
                wrong.load(), state_of(hot_outb_dx_site), state_of(hot_inb_dx_site));
    return 0;
}

// ---------------------------------------------------------------- fork and exec
int fork_and_exec(const char *self)
{
    for (int i = 0; i < hot; ++i)
        hot_outb_dx(0x11, 0x80);
    std::printf("parent: site %s\n", state_of(hot_outb_dx_site));
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        for (int i = 0; i < hot; ++i)
            hot_outb_dx(0x22, 0x80);
        std::printf("child: site %s, status %#llx\n", state_of(hot_outb_dx_site),
                    static_cast<unsigned long long>(hot_inb_dx(0, 0x379)));
        std::fflush(stdout);
        ::execl(self, self, "executed", static_cast<char *>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    for (int i = 0; i < hot; ++i)
        hot_outb_dx(0x33, 0x80);
    std::printf("parent: child exit %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

int executed()
{
    for (int i = 0; i < hot; ++i)
        hot_outb_dx(0x44, 0x80);
    std::printf("executed: site %s\n", state_of(hot_outb_dx_site));
    return 0;
}

// ---------------------------------------------------------------- permission revoked
sigjmp_buf recovery;
siginfo_t caught_info;
greg_t caught_rip, caught_trap, caught_error;

void caught(int /*signal*/, siginfo_t *info, void *context)
{
    caught_info = *info;
    const auto &gregs = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
    caught_rip = gregs[REG_RIP];
    caught_trap = gregs[REG_TRAPNO];
    caught_error = gregs[REG_ERR];
    siglongjmp(recovery, 1);
}

int revoked()
{
    for (int i = 0; i < hot; ++i)
        hot_inb_dx(0, 0x379);
    std::printf("site %s\n", state_of(hot_inb_dx_site));
    if (::ioperm(0x379, 1, 0) != 0)
        return 1;
    struct sigaction action {};
    action.sa_sigaction = caught;
    action.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &action, nullptr);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (sigsetjmp(recovery, 1) == 0) {
            hot_inb_dx(0, 0x379);
            std::puts("revoked: the read went through");
            continue;
        }
        std::printf("revoked: SIGSEGV code %d at %s, trap %lld, error %lld\n", caught_info.si_code,
                    caught_rip == reinterpret_cast<greg_t>(hot_inb_dx_site) ? "the site"
                                                                            : "another address",
                    static_cast<long long>(caught_trap), static_cast<long long>(caught_error));
    }
    // Granted again: the rewritten site transfers again.
    if (::ioperm(0x379, 1, 1) != 0)
        return 1;
    std::printf("granted again: %#llx\n", static_cast<unsigned long long>(hot_inb_dx(0, 0x379)));
    return 0;
}

// ---------------------------------------------------------------- raw clone threads
// Threads made with clone() and no TLS of their own share this thread's:
// two of them write through one site at once.
std::atomic<int> raw_done{0};
std::uint64_t raw_values[] = {0x51, 0x52};

int raw_thread(void *argument)
{
    const std::uint64_t value = *static_cast<const std::uint64_t *>(argument);
    for (int i = 0; i < 20000; ++i)
        hot_outb_dx(value, 0x80);
    raw_done.fetch_add(1);
    return 0;
}

int raw_clone()
{
    constexpr std::size_t stack_bytes = std::size_t{256} * 1024;
    std::vector<void *> stacks;
    for (std::uint64_t &value : raw_values) {
        void *stack = ::mmap(nullptr, stack_bytes, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (stack == MAP_FAILED)
            return 1;
        stacks.push_back(stack);
        const int flags =
            CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM;
        if (::clone(raw_thread, static_cast<char *>(stack) + stack_bytes, flags, &value) < 0)
            return 1;
    }
    while (raw_done.load() < 2)
        ::sched_yield();
    std::printf("raw clone threads: done\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    make_sure_ports_are_trapped();
    if (::ioperm(0x80, 4, 1) != 0 || ::ioperm(0x378, 8, 1) != 0) {
        std::puts("ioperm refused");
        return 1;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "forms")
        return forms();
    if (mode == "punned")
        return punned();
    if (mode == "direction-flag")
        return direction_flag();
    if (mode == "threads" && argc == 4)
        return threads(std::atoi(argv[2]), std::atol(argv[3]));
    if (mode == "fork-exec")
        return fork_and_exec(argv[0]);
    if (mode == "executed")
        return executed();
    if (mode == "revoked")
        return revoked();
    if (mode == "raw-clone")
        return raw_clone();
    std::fputs("usage: qport_run_hot_subject forms|punned|direction-flag|threads N "
               "ITERATIONS|fork-exec|revoked|"
               "raw-clone\n",
               stderr);
    return 2;
}
