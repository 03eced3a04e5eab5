// SPDX-License-Identifier: LGPL-2.1-or-later
// libqport-run.so, which qport-run preloads into the program it runs.
//
// It makes the program's own port instructions go to qport: at load it
// gives up any port permission the process inherited, so that every port
// instruction faults; its SIGSEGV handler (the trap) recognises those
// faults, makes the transfer through qport's entry points, puts the result
// where the processor would and moves on.
//
// It keeps, per thread, what the program's ioperm() and iopl() granted, by
// the kernel's rules, and carries out only the port instructions the grant
// allows: any other is the general-protection fault the kernel would give.
// It sits in front of the program's own SIGSEGV handling: sigaction() and
// signal() record the program's disposition, which gets every fault that is
// not a port instruction the program may execute.
//
// The trap runs with every signal blocked, SIGSEGV included, and does its
// work on a stack of its own, so that it needs little room on the program's
// alternate signal stack (see trap_stubs.S).
//
// qport-run hands over, in the environment:
//   QPORT_RUN_LIBRARY=PATH   the libqport.so.1 to load (simulated or hardware)
//   QPORT_RUN_FOLLOW_EXEC=1  keep the preload in programs this one executes;
//                            without it the preload takes itself out of the
//                            environment before the program's main() runs,
//                            and says so once when the program executes one
//   QPORT_RUN_PORT_GRANT=G   the grant the program starts with (see
//                            port_grant.h); the preload passes the executing
//                            thread's on through exec with --follow-exec
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <asm/prctl.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <threads.h>
#include <ucontext.h>
#include <unistd.h>

#include "qport.h"
#include "qport_ext.h"
#include "qport_sim.h"

#include "port_grant.h"
#include "qport_entry_names.h"
#include "process_hygiene.h"
#include "port_instruction.h"
#include "device_files.h"
#include "interposing.h"
#include "site_rewriter.h"

// trap_stubs.S
#pragma GCC visibility push(hidden)
extern "C" {
void qport_run_trap_entry(int signal, siginfo_t *info, void *context);
void qport_run_trap(int signal, siginfo_t *info, void *context);
[[noreturn]] void qport_run_die_of_segv(const char *message, std::size_t length);
void qport_run_call_on_stack(void *argument, void (*function)(void *), void *stack_top);
std::uint32_t qport_run_probe_load(const void *address, unsigned width);
void qport_run_probe_store(void *address, unsigned width, std::uint32_t value);
extern const char qport_run_probe_begin[];
extern const char qport_run_probe_end[];
extern const char qport_run_probe_recover[];
}
#pragma GCC visibility pop

// The entry reads the alternate stack from the context at these offsets.
static_assert(offsetof(ucontext_t, uc_stack.ss_sp) == 16);
static_assert(offsetof(ucontext_t, uc_stack.ss_size) == 32);

namespace {

using qport_run::Direction;
using qport_run::FaultKind;
using qport_run::MemoryFault;
using qport_run::port_count;
using qport_run::PortGrant;
using qport_run::PortInstruction;

// ---------------------------------------------------------------- the C library's own
// One cached definition of the C library's name, called as it is.
#define QPORT_RUN_NEXT(name) qport_run::next_definition(name##_cache, #name)

using sigaction_function = int (*)(int, const struct sigaction *, struct sigaction *);
using sigmask_function = int (*)(int, const sigset_t *, sigset_t *);
using signal_function = sighandler_t (*)(int, sighandler_t);
using thread_start = void *(*)(void *);

std::atomic<sigaction_function> sigaction_cache;
std::atomic<sigmask_function> sigprocmask_cache;
std::atomic<sigmask_function> pthread_sigmask_cache;
std::atomic<signal_function> signal_cache;
std::atomic<signal_function> sysv_signal_cache;
std::atomic<int (*)(pthread_t *, const pthread_attr_t *, thread_start, void *)>
    pthread_create_cache;
std::atomic<int (*)(thrd_t *, thrd_start_t, void *)> thrd_create_cache;
std::atomic<int (*)(const char *, char *const *, char *const *)> execve_cache;
std::atomic<int (*)(const char *, char *const *, char *const *)> execvpe_cache;
std::atomic<int (*)(int, char *const *, char *const *)> fexecve_cache;
std::atomic<int (*)(int, const char *, char *const *, char *const *, int)> execveat_cache;
using spawn_function = int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                               const posix_spawnattr_t *, char *const *, char *const *);
std::atomic<spawn_function> posix_spawn_cache;
std::atomic<spawn_function> posix_spawnp_cache;
std::atomic<int (*)(const char *)> system_cache;
std::atomic<FILE *(*)(const char *, const char *)> popen_cache;

int libc_sigaction(int signo, const struct sigaction *action, struct sigaction *old)
{
    return QPORT_RUN_NEXT(sigaction)(signo, action, old);
}

// An address in the program, from its registers, as a pointer.
template <typename Pointee = void> Pointee *in_program(std::uint64_t address)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the program's addresses are numbers to us
    return reinterpret_cast<Pointee *>(address);
}

// ---------------------------------------------------------------- state
// True while this thread is inside qport's library: the ioperm() and iopl()
// calls made there are qport's own and go to the kernel.
constinit thread_local bool calling_qport __attribute__((tls_model("initial-exec"))) = false;
// Whether the program asked to block SIGSEGV in this thread. It is never
// really blocked: a port instruction must always reach the trap.
constinit thread_local bool program_blocks_segv __attribute__((tls_model("initial-exec"))) = false;
// What ioperm() and iopl() granted this thread.
constinit thread_local PortGrant thread_grant __attribute__((tls_model("initial-exec")));

struct Qport {
    decltype(&::inport) in32 = nullptr;
    decltype(&::inportw) in16 = nullptr;
    decltype(&::inportb) in8 = nullptr;
    decltype(&::outport) out32 = nullptr;
    decltype(&::outportw) out16 = nullptr;
    decltype(&::outportb) out8 = nullptr;
    bool hardware = false;
};
Qport qport;

// The program's SIGSEGV disposition, as it set it (initially what the
// process started with). Written by sigaction() and by the handler for
// SA_RESETHAND, read by the handler: a spin lock, taken only with every
// signal blocked, so the handler can never wait for its own thread.
struct sigaction program_segv_action {};
// Whether the program has set it yet (an earlier library's constructor may,
// before this library's runs).
bool program_set_segv_action = false;
std::atomic_flag program_segv_lock = ATOMIC_FLAG_INIT;
bool handler_on_alternate_stack = false;
// Set once qport is loaded and the trap installed.
std::atomic<bool> trap_installed{false};
// Whether programs this one executes keep the preload (--follow-exec).
bool follow_exec = false;

class SignalsBlocked {
public:
    SignalsBlocked()
    {
        sigset_t all;
        ::sigfillset(&all);
        QPORT_RUN_NEXT(pthread_sigmask)(SIG_SETMASK, &all, &saved_);
    }
    ~SignalsBlocked() { QPORT_RUN_NEXT(pthread_sigmask)(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t saved_{};
};

class ProgramSegvLock {
public:
    ProgramSegvLock()
    {
        while (program_segv_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~ProgramSegvLock() { program_segv_lock.clear(std::memory_order_release); }
    ProgramSegvLock(const ProgramSegvLock &) = delete;
    ProgramSegvLock &operator=(const ProgramSegvLock &) = delete;
};

void say(const char *text)
{
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
}

[[noreturn]] void give_up(const char *why)
{
    say("qport-run: ");
    say(why);
    say("\n");
    ::_exit(125);
}

// ---------------------------------------------------------------- signal masks
// The kernel's signal set: one bit a signal, 1..64.
using KernelMask = std::uint64_t;
constexpr KernelMask bit_of(int signal) { return KernelMask{1} << (signal - 1); }
constexpr KernelMask segv_bit = bit_of(SIGSEGV);
// The C library's own two signals (thread cancellation and set*id), which
// it never lets a program block.
constexpr KernelMask c_library_signals = bit_of(32) | bit_of(33);

KernelMask kernel_mask(const sigset_t &set)
{
    KernelMask mask = 0;
    std::memcpy(&mask, &set, sizeof mask);
    return mask;
}

void set_thread_mask(int how, KernelMask mask)
{
    ::syscall(SYS_rt_sigprocmask, how, &mask, nullptr, sizeof mask);
}

// ---------------------------------------------------------------- the trap's own stack
constexpr std::size_t trap_stack_bytes = std::size_t{64} * 1024;
constexpr std::size_t guard_bytes = 4096;
// The lowest byte of this thread's trap stack, with a guard page below.
constinit thread_local char *trap_stack __attribute__((tls_model("initial-exec"))) = nullptr;

bool have_trap_stack()
{
    if (trap_stack != nullptr)
        return true;
    void *memory = ::mmap(nullptr, guard_bytes + trap_stack_bytes, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    char *const lowest = static_cast<char *>(memory) + guard_bytes;
    if (::mprotect(lowest, trap_stack_bytes, PROT_READ | PROT_WRITE) != 0) {
        ::munmap(memory, guard_bytes + trap_stack_bytes);
        return false;
    }
    trap_stack = lowest;
    return true;
}

// ---------------------------------------------------------------- threads
// Threads created through pthread_create() or thrd_create() give back
// their grant and trap stack when they end (the main thread's go with the
// process).
pthread_key_t thread_end_key;
pthread_once_t thread_end_key_once = PTHREAD_ONCE_INIT;

void end_of_thread(void * /*value*/)
{
    thread_grant.release();
    if (trap_stack != nullptr)
        ::munmap(trap_stack - guard_bytes, guard_bytes + trap_stack_bytes);
    trap_stack = nullptr;
}

void adopt_grant(const PortGrant &grant)
{
    thread_grant = grant;
    ::pthread_once(&thread_end_key_once,
                   [] { ::pthread_key_create(&thread_end_key, end_of_thread); });
    ::pthread_setspecific(thread_end_key, &thread_grant);
}

// ---------------------------------------------------------------- SIGSEGV open inside the trap
// While the trap has SIGSEGV open (around the hardware build's transfers,
// which may fault inside qport, and around direct accesses to the
// program's memory), a nested SIGSEGV is answered by answer_while_open().
constinit thread_local int segv_open_depth __attribute__((tls_model("initial-exec"))) = 0;
// Whether the trap that opened it runs on the alternate stack.
constinit thread_local bool trap_on_alternate_stack __attribute__((tls_model("initial-exec"))) =
    false;
constinit thread_local stack_t saved_alternate_stack __attribute__((tls_model("initial-exec"))){};
// A SIGSEGV sent by a process meanwhile, sent again once SIGSEGV is closed:
// it is then pending until the trap returns, as it would have been.
constinit thread_local bool segv_was_sent __attribute__((tls_model("initial-exec"))) = false;
constinit thread_local siginfo_t sent_segv __attribute__((tls_model("initial-exec"))){};
// What the last direct access to the program's memory ran into, as the
// kernel reported it: the fault the program gets.
struct ProbeFault {
    siginfo_t info;
    greg_t trap_number, error_code, address;
};
constinit thread_local ProbeFault probe_fault __attribute__((tls_model("initial-exec"))){};
constinit thread_local bool probe_faulted __attribute__((tls_model("initial-exec"))) = false;

class SegvOpen {
public:
    SegvOpen()
    {
        if (segv_open_depth++ > 0)
            return;
        // The kernel decides whether a nested signal is already on the
        // alternate stack by the stack pointer, which is on the trap's own
        // stack now: with the alternate stack on, it would put the nested
        // frame at its top, over the frames there.
        if (trap_on_alternate_stack) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, &saved_alternate_stack);
        }
        set_thread_mask(SIG_UNBLOCK, segv_bit);
    }
    ~SegvOpen()
    {
        if (--segv_open_depth > 0)
            return;
        set_thread_mask(SIG_BLOCK, segv_bit);
        if (trap_on_alternate_stack)
            ::sigaltstack(&saved_alternate_stack, nullptr);
        if (segv_was_sent) {
            segv_was_sent = false;
            ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), SIGSEGV, &sent_segv);
        }
    }
    SegvOpen(const SegvOpen &) = delete;
    SegvOpen &operator=(const SegvOpen &) = delete;
};

// ---------------------------------------------------------------- ports and memory
void install_trap()
{
    struct sigaction action {};
    action.sa_sigaction = qport_run_trap_entry;
    // Every signal blocked, SIGSEGV too: a flood of SIGSEGV waits until the
    // trap is done instead of stacking trap upon trap.
    action.sa_flags = SA_SIGINFO | (handler_on_alternate_stack ? SA_ONSTACK : 0);
    ::sigfillset(&action.sa_mask);
    libc_sigaction(SIGSEGV, &action, nullptr);
}

std::atomic<bool> told_kernel_refused{false};

// qport's entry points, each call marked as qport's own.
class QportPorts final : public qport_run::PortSpace {
public:
    std::uint32_t read(std::uint16_t port, unsigned width_bytes) override
    {
        const auto address = static_cast<short>(port);
        switch (width_bytes) {
        case 1:
            return static_cast<std::uint8_t>(qport.in8(address));
        case 2:
            return static_cast<std::uint16_t>(qport.in16(address));
        default:
            return static_cast<std::uint32_t>(qport.in32(address));
        }
    }

    void write(std::uint16_t port, unsigned width_bytes, std::uint32_t value) override
    {
        const auto address = static_cast<short>(port);
        switch (width_bytes) {
        case 1:
            qport.out8(address, static_cast<char>(value));
            break;
        case 2:
            qport.out16(address, static_cast<short>(value));
            break;
        default:
            qport.out32(address, static_cast<int>(value));
            break;
        }
    }
};

// On the hardware build the thread holds the kernel's permission only for
// the ports of the one instruction and only while it is carried out, so the
// program's own instructions keep faulting; SIGSEGV is open meanwhile, for
// a port instruction of qport's that the kernel refuses. The simulated
// build executes no port instruction, so SIGSEGV stays blocked there.
class Transfer {
public:
    Transfer(std::uint16_t port, unsigned width_bytes)
    {
        calling_qport = true;
        if (qport.hardware) {
            open_.emplace();
            if (port + width_bytes <= port_count)
                ::syscall(SYS_ioperm, port, width_bytes, 1);
        }
    }
    ~Transfer()
    {
        if (qport.hardware)
            ::syscall(SYS_ioperm, 0, port_count, 0);
        calling_qport = false;
    }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

private:
    std::optional<SegvOpen> open_;
};

MemoryFault fault_of_probe()
{
    return {reinterpret_cast<std::uintptr_t>(probe_fault.info.si_addr),
            probe_fault.info.si_code == SEGV_MAPERR ? FaultKind::unmapped : FaultKind::protection};
}

// The program's memory through the kernel, which answers EFAULT where the
// program may not go instead of faulting in the trap. Where the kernel
// cannot copy (device memory mapped by a driver: VM_IO and VM_PFNMAP
// mappings), or where the program may not go, the trap reaches the memory
// itself, one element at a time as the processor would, and a fault there
// tells exactly what the processor's would: the first byte it could not
// reach, and whether it is unmapped or protected.
class ProcessMemory final : public qport_run::Memory {
public:
    qport_run::Copied read(std::uint64_t address, void *out, std::size_t size,
                           unsigned width) override
    {
        const std::size_t copied = copy(out, address, size, SYS_process_vm_readv);
        if (copied == size)
            return {size, {}};
        const SegvOpen open;
        auto *bytes = static_cast<std::uint8_t *>(out);
        for (std::size_t at = copied / width * width; at < size; at += width) {
            probe_faulted = false;
            const std::uint32_t value = qport_run_probe_load(in_program(address + at), width);
            if (probe_faulted)
                return {at, fault_of_probe()};
            std::memcpy(bytes + at, &value, width);
        }
        return {size, {}};
    }

    qport_run::Copied write(std::uint64_t address, const void *in, std::size_t size,
                            unsigned width) override
    {
        // A write across a page boundary goes directly, so that a fault in
        // the second page leaves nothing of it written.
        const bool across_pages =
            address / qport_run::page_size != (address + size - 1) / qport_run::page_size;
        const std::size_t copied =
            across_pages ? 0 : copy(const_cast<void *>(in), address, size, SYS_process_vm_writev);
        if (copied == size)
            return {size, {}};
        const SegvOpen open;
        const auto *bytes = static_cast<const std::uint8_t *>(in);
        for (std::size_t at = copied / width * width; at < size; at += width) {
            std::uint32_t value = 0;
            std::memcpy(&value, bytes + at, width);
            probe_faulted = false;
            qport_run_probe_store(in_program(address + at), width, value);
            if (probe_faulted)
                return {at, fault_of_probe()};
        }
        return {size, {}};
    }

private:
    static std::size_t copy(void *local, std::uint64_t remote, std::size_t size, long call)
    {
        if (size == 0)
            return 0;
        iovec local_piece{local, size};
        iovec remote_piece{in_program(remote), size};
        const long copied = ::syscall(call, ::getpid(), &local_piece, 1UL, &remote_piece, 1UL, 0UL);
        return copied < 0 ? 0 : static_cast<std::size_t>(copied);
    }
};

// The program's memory reached directly from a call it made (not from the
// trap), a fault in it answered instead of taken: the ppdev emulation's
// small arguments, without a system call each. SIGSEGV is open there
// already; a SIGSEGV a process sends meanwhile is sent again after.
class ProbedFromCall {
public:
    ProbedFromCall() { ++segv_open_depth; }
    ~ProbedFromCall()
    {
        if (--segv_open_depth == 0 && segv_was_sent) {
            segv_was_sent = false;
            ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), SIGSEGV, &sent_segv);
        }
    }
    ProbedFromCall(const ProbedFromCall &) = delete;
    ProbedFromCall &operator=(const ProbedFromCall &) = delete;
};

// ---------------------------------------------------------------- faults for the program
bool sent_by_a_process(const siginfo_t *info) { return info->si_code <= 0; }

// The default action, as the kernel takes it: a fault is taken again when
// the instruction is executed again after the trap returns; a SIGSEGV sent
// by a process is sent again and arrives once the trap returns.
void take_default_action(const siginfo_t *info)
{
    struct KernelAction {
        unsigned long handler = 0; // SIG_DFL
        unsigned long flags = 0;
        unsigned long restorer = 0;
        KernelMask mask = 0;
    };
    static constexpr KernelAction default_action{};
    ::syscall(SYS_rt_sigaction, SIGSEGV, &default_action, nullptr, sizeof(KernelMask));
    if (sent_by_a_process(info))
        ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), SIGSEGV, info);
}

// Hands a SIGSEGV to the program, exactly as the kernel would without the
// preload. Runs where the kernel put the trap, so it keeps its frame small.
void hand_to_program(siginfo_t *info, ucontext_t *context)
{
    void (*handler)(int, siginfo_t *, void *) = nullptr;
    sighandler_t simple_handler = SIG_DFL;
    unsigned long flags = 0;
    KernelMask handler_mask = 0;
    {
        const ProgramSegvLock lock;
        simple_handler = program_segv_action.sa_handler;
        handler = program_segv_action.sa_sigaction;
        flags = static_cast<unsigned long>(program_segv_action.sa_flags);
        handler_mask = kernel_mask(program_segv_action.sa_mask);
        if ((flags & SA_RESETHAND) != 0 && simple_handler != SIG_DFL && simple_handler != SIG_IGN) {
            program_segv_action = {};
            program_segv_action.sa_handler = SIG_DFL;
        }
    }
    if (simple_handler == SIG_IGN && sent_by_a_process(info))
        return;
    // A fault the program ignores or blocks is fatal, as the kernel makes it.
    if (simple_handler == SIG_DFL || simple_handler == SIG_IGN ||
        (program_blocks_segv && !sent_by_a_process(info))) {
        take_default_action(info);
        return;
    }
    KernelMask mask = kernel_mask(context->uc_sigmask) | handler_mask;
    if ((flags & SA_NODEFER) == 0)
        mask |= segv_bit;
    set_thread_mask(SIG_SETMASK, mask & ~c_library_signals);
    if ((flags & SA_SIGINFO) != 0)
        handler(SIGSEGV, info, context);
    else
        simple_handler(SIGSEGV);
    // The mask of the interrupted code comes back from the context when the
    // trap returns.
}

qport_run::Registers registers_of(const ucontext_t &context)
{
    const auto &gregs = context.uc_mcontext.gregs;
    qport_run::Registers registers;
    registers.rax = static_cast<std::uint64_t>(gregs[REG_RAX]);
    registers.rcx = static_cast<std::uint64_t>(gregs[REG_RCX]);
    registers.rdx = static_cast<std::uint64_t>(gregs[REG_RDX]);
    registers.rsi = static_cast<std::uint64_t>(gregs[REG_RSI]);
    registers.rdi = static_cast<std::uint64_t>(gregs[REG_RDI]);
    registers.rip = static_cast<std::uint64_t>(gregs[REG_RIP]);
    registers.rflags = static_cast<std::uint64_t>(gregs[REG_EFL]);
    return registers;
}

void store_registers(const qport_run::Registers &registers, ucontext_t &context)
{
    auto &gregs = context.uc_mcontext.gregs;
    gregs[REG_RAX] = static_cast<greg_t>(registers.rax);
    gregs[REG_RCX] = static_cast<greg_t>(registers.rcx);
    gregs[REG_RSI] = static_cast<greg_t>(registers.rsi);
    gregs[REG_RDI] = static_cast<greg_t>(registers.rdi);
    gregs[REG_RIP] = static_cast<greg_t>(registers.rip);
}

std::uint64_t segment_base(int which)
{
    unsigned long base = 0;
    ::syscall(SYS_arch_prctl, which, &base);
    return base;
}

std::uint16_t data_segment_selector()
{
    std::uint16_t selector = 0;
    asm("mov %%ds, %0" : "=r"(selector));
    return selector;
}

std::uint16_t extra_segment_selector()
{
    std::uint16_t selector = 0;
    asm("mov %%es, %0" : "=r"(selector));
    return selector;
}

// A port instruction that qport's library executed itself and the kernel
// refused (the thread's permission is gone): answered as a refused transfer.
void answer_refused_in_qport(const PortInstruction &instruction, ucontext_t &context)
{
    if (!told_kernel_refused.exchange(true))
        say("qport-run: the kernel refused qport a port transfer in this thread; "
            "reads give all ones and writes are dropped\n");
    auto &gregs = context.uc_mcontext.gregs;
    auto rax = static_cast<std::uint64_t>(gregs[REG_RAX]);
    if (instruction.direction == Direction::in && !instruction.string) {
        rax = instruction.width_bytes == 4 ? 0xFFFFFFFFU
                                           : rax | ((1U << (8 * instruction.width_bytes)) - 1);
        gregs[REG_RAX] = static_cast<greg_t>(rax);
    }
    gregs[REG_RIP] += instruction.length;
}

// A SIGSEGV while the trap has SIGSEGV open: a direct access to the
// program's memory that faulted, a port instruction of qport's that the
// kernel refused, or one sent by a process; anything else is a fault of
// the trap's own or qport's, fatal as it would be.
void answer_while_open(siginfo_t *info, ucontext_t *context)
{
    auto &gregs = context->uc_mcontext.gregs;
    const auto rip = static_cast<std::uintptr_t>(gregs[REG_RIP]);
    if (!sent_by_a_process(info) &&
        rip >= reinterpret_cast<std::uintptr_t>(qport_run_probe_begin) &&
        rip < reinterpret_cast<std::uintptr_t>(qport_run_probe_end)) {
        probe_fault = {*info, gregs[REG_TRAPNO], gregs[REG_ERR], gregs[REG_CR2]};
        probe_faulted = true;
        gregs[REG_RIP] = reinterpret_cast<greg_t>(qport_run_probe_recover);
        return;
    }
    if (sent_by_a_process(info)) {
        sent_segv = *info;
        segv_was_sent = true;
        return;
    }
    if (calling_qport && info->si_code == SI_KERNEL) {
        if (const auto instruction = qport_run::decode(in_program<const std::uint8_t>(rip))) {
            answer_refused_in_qport(*instruction, *context);
            return;
        }
    }
    take_default_action(info);
}

std::atomic<bool> told_interrupt_flag{false};

// CLI and STI at I/O privilege level 3: Linux (since 5.15) makes them no-ops
// and says so once.
bool skip_interrupt_flag_instruction(std::uint8_t opcode, ucontext_t &context)
{
    if ((opcode != 0xFA && opcode != 0xFB) || thread_grant.level() != 3)
        return false;
    if (!told_interrupt_flag.exchange(true)) {
        say("qport-run: ");
        say(program_invocation_short_name);
        say(" uses CLI/STI at I/O privilege level 3; taken as no-ops, as Linux does\n");
    }
    context.uc_mcontext.gregs[REG_RIP] += 1;
    return true;
}

// A string form in 32-bit code reaches memory through DS (or its override)
// and ES, whose bases only the flat data segment is known to have.
bool flat_data_segments(const PortInstruction &instruction)
{
    if (instruction.mode != qport_run::CodeMode::compat32 || !instruction.string)
        return true;
    if (instruction.direction == Direction::in)
        return extra_segment_selector() == qport_run::data_segment;
    return instruction.segment != qport_run::Segment::flat ||
           data_segment_selector() == qport_run::data_segment;
}

// The string form's memory fault, as the kernel reported the direct access
// that ran into it: what the processor's own fault would have told.
void report_memory_fault(siginfo_t &info, ucontext_t &context)
{
    info = probe_fault.info;
    auto &gregs = context.uc_mcontext.gregs;
    gregs[REG_TRAPNO] = probe_fault.trap_number;
    gregs[REG_ERR] = probe_fault.error_code;
    gregs[REG_CR2] = probe_fault.address;
}

struct TrapJob {
    siginfo_t *info;
    ucontext_t *context;
    bool hand_to_program;
    // A rewritten site's port instruction, as it was before the rewrite.
    const std::uint8_t *original;
    // A rewrite wrote code while the trap decoded: look again.
    bool decode_again;
    // The code's generation before the trap looked for a rewritten site:
    // a rewrite that starts after that look changes it.
    std::uint32_t code_generation;
};

// The trap's work, on its own stack: the instruction, whether the program
// may execute it, and the transfer.
void examine(void *raw_job)
{
    TrapJob &job = *static_cast<TrapJob *>(raw_job);
    ucontext_t &context = *job.context;
    auto &gregs = context.uc_mcontext.gregs;
    job.hand_to_program = true;
    // Port instructions without permission fault with a general protection
    // fault, which the kernel reports as SI_KERNEL.
    if (job.info->si_code != SI_KERNEL)
        return;
    const std::optional<qport_run::CodeMode> mode =
        qport_run::code_mode_of(static_cast<std::uint16_t>(gregs[REG_CSGSFS] & 0xFFFF));
    if (!mode)
        return;
    const auto site = static_cast<std::uint64_t>(gregs[REG_RIP]);
    const auto *code =
        job.original != nullptr ? job.original : in_program<const std::uint8_t>(site);
    if (skip_interrupt_flag_instruction(code[0], context)) {
        job.hand_to_program = false;
        return;
    }
    const std::optional<PortInstruction> instruction = qport_run::decode(code, *mode);
    if (!qport_run::SiteRewriter::code_unchanged_since(job.code_generation)) {
        job.decode_again = true;
        return;
    }
    if (!instruction)
        return;
    qport_run::Registers registers = registers_of(context);
    const std::uint16_t port = qport_run::port_of(*instruction, registers);
    // Outside the grant: the general-protection fault as the kernel gave it.
    if (!thread_grant.allows(port, instruction->width_bytes) || !flat_data_segments(*instruction))
        return;
    job.hand_to_program = false;

    if (instruction->segment == qport_run::Segment::fs)
        registers.fs_base = segment_base(ARCH_GET_FS);
    else if (instruction->segment == qport_run::Segment::gs)
        registers.gs_base = segment_base(ARCH_GET_GS);
    trap_on_alternate_stack =
        context.uc_stack.ss_flags != SS_DISABLE &&
        reinterpret_cast<char *>(job.info) >= static_cast<char *>(context.uc_stack.ss_sp) &&
        reinterpret_cast<char *>(job.info) <
            static_cast<char *>(context.uc_stack.ss_sp) + context.uc_stack.ss_size;
    QportPorts ports;
    ProcessMemory memory;
    qport_run::Execution execution;
    {
        const Transfer transfer(port, instruction->width_bytes);
        execution = qport_run::execute(*instruction, registers, ports, memory);
    }
    store_registers(registers, context);
    if (execution.memory_fault) {
        report_memory_fault(*job.info, context);
        job.hand_to_program = true;
    } else {
        qport_run::SiteRewriter::trapped(site, code, *instruction);
    }
}

constexpr char no_trap_stack[] = "qport-run: no memory for the trap's stack\n";

// Threads made with a bare clone() and no TLS of their own share the TLS
// of the thread that made them, and with it the trap's stack and state.
// Once a trap finds itself in another thread's TLS, traps take turns, one
// at a time in the whole process (a nested trap of the thread whose turn
// it is goes on).
constinit thread_local pid_t trap_thread __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<bool> shared_tls_seen{false};
std::atomic<int> traps_without_turns{0};
std::atomic<pid_t> turn_holder{0};

class TrapsOneAtATime {
public:
    TrapsOneAtATime()
    {
        // A SIGSEGV inside the trap, answered where it lands: its trap has
        // its turn already.
        if (segv_open_depth > 0)
            return;
        const auto self = static_cast<pid_t>(::syscall(SYS_gettid));
        pid_t expected = 0;
        if (!__atomic_compare_exchange_n(&trap_thread, &expected, self, false, __ATOMIC_SEQ_CST,
                                         __ATOMIC_SEQ_CST) &&
            expected != self)
            shared_tls_seen.store(true);
        if (!shared_tls_seen.load()) {
            traps_without_turns.fetch_add(1);
            if (!shared_tls_seen.load()) {
                without_turn_ = true;
                return;
            }
            traps_without_turns.fetch_sub(1);
        }
        if (turn_holder.load() == self)
            return;
        pid_t free = 0;
        while (!turn_holder.compare_exchange_weak(free, self)) {
            free = 0;
            __builtin_ia32_pause();
        }
        while (traps_without_turns.load() != 0)
            __builtin_ia32_pause();
        holds_turn_ = true;
    }
    ~TrapsOneAtATime()
    {
        if (without_turn_)
            traps_without_turns.fetch_sub(1);
        if (holds_turn_)
            turn_holder.store(0);
    }
    TrapsOneAtATime(const TrapsOneAtATime &) = delete;
    TrapsOneAtATime &operator=(const TrapsOneAtATime &) = delete;

private:
    bool without_turn_ = false;
    bool holds_turn_ = false;
};

// What a rewritten site's trampoline calls: the transfer the trap would
// make, through the same entry points, under the same grant. A port the
// thread may not use is refused without a transfer; the trampoline then
// executes the instruction itself, which faults into the trap.
qport_run::HotTransfer hot_transfer(const PortInstruction *instruction, std::uint64_t rax,
                                    std::uint64_t rdx)
{
    qport_run::Registers registers;
    registers.rax = rax;
    registers.rdx = rdx;
    if (!thread_grant.allows(qport_run::port_of(*instruction, registers), instruction->width_bytes))
        return {rax, 1};
    const int saved_errno = errno;
    QportPorts ports;
    ProcessMemory memory;
    qport_run::execute(*instruction, registers, ports, memory);
    errno = saved_errno;
    return {registers.rax, 0};
}

bool site_summary_wanted = false;
const char *rewriting_off_because = nullptr;

__attribute__((destructor)) void say_site_summary()
{
    if (!site_summary_wanted)
        return;
    if (rewriting_off_because == nullptr) {
        qport_run::SiteRewriter::write_summary(program_invocation_short_name);
        return;
    }
    say("qport-run: ");
    say(program_invocation_short_name);
    say(": no port instruction site rewritten: ");
    say(rewriting_off_because);
    say("\n");
}

// Hot sites are rewritten unless qport-run --no-patch (QPORT_RUN_NO_PATCH)
// says not to, and only on the simulated build: the hardware build holds
// the kernel's permission during each transfer, which the trap makes with
// every signal blocked; a trampoline runs with the program's signals open,
// so a signal handler could use ports it was never granted.
void start_rewriting_sites()
{
    const char *summary = ::secure_getenv("QPORT_RUN_SITE_SUMMARY");
    site_summary_wanted = summary != nullptr && std::strcmp(summary, "1") == 0;
    const char *no_patch = ::secure_getenv("QPORT_RUN_NO_PATCH");
    if (no_patch != nullptr && *no_patch != '\0' && std::strcmp(no_patch, "0") != 0)
        rewriting_off_because = "rewriting is off (--no-patch, QPORT_RUN_NO_PATCH)";
    else if (qport.hardware)
        rewriting_off_because = "the hardware build keeps every port instruction trapped";
    else if (!qport_run::SiteRewriter::start(hot_transfer))
        rewriting_off_because = "the processor or kernel lacks xsave or membarrier(SYNC_CORE)";
}

void forked_child_of_own_thread()
{
    trap_thread = 0;
    qport_run::SiteRewriter::forked_child();
}

} // namespace

bool qport_run::read_program_memory(void *to, const void *from, std::size_t size)
{
    const ProbedFromCall probed;
    auto *bytes = static_cast<std::uint8_t *>(to);
    for (std::size_t at = 0; at < size; ++at) {
        probe_faulted = false;
        const std::uint32_t value = qport_run_probe_load(static_cast<const char *>(from) + at, 1);
        if (probe_faulted)
            return false;
        bytes[at] = static_cast<std::uint8_t>(value);
    }
    return true;
}

bool qport_run::write_program_memory(void *to, const void *from, std::size_t size)
{
    const ProbedFromCall probed;
    const auto *bytes = static_cast<const std::uint8_t *>(from);
    for (std::size_t at = 0; at < size; ++at) {
        probe_faulted = false;
        qport_run_probe_store(static_cast<char *>(to) + at, 1, bytes[at]);
        if (probe_faulted)
            return false;
    }
    return true;
}

// Called by qport_run_trap_entry once it has checked the room on the stack.
extern "C" void qport_run_trap(int /*signal*/, siginfo_t *info, void *raw_context)
{
    const int saved_errno = errno;
    auto *context = static_cast<ucontext_t *>(raw_context);
    const TrapsOneAtATime serialised;
    if (segv_open_depth > 0) {
        answer_while_open(info, context);
    } else {
        TrapJob job{info, context, false, nullptr, true, 0};
        while (job.decode_again) {
            job = {info,    context, false,
                   nullptr, false,   qport_run::SiteRewriter::code_generation()};
            if (!sent_by_a_process(info) && qport_run::SiteRewriter::started()) {
                auto rip = static_cast<std::uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
                const qport_run::Reroute reroute =
                    qport_run::SiteRewriter::reroute(rip, info->si_code == SI_KERNEL);
                context->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(rip);
                job.original = reroute.original;
                if (reroute.action == qport_run::Reroute::Action::resume) {
                    errno = saved_errno;
                    return;
                }
                if (reroute.action == qport_run::Reroute::Action::to_program) {
                    hand_to_program(info, context);
                    errno = saved_errno;
                    return;
                }
            }
            if (!have_trap_stack())
                qport_run_die_of_segv(no_trap_stack, sizeof no_trap_stack - 1);
            qport_run_call_on_stack(&job, examine, trap_stack + trap_stack_bytes);
        }
        if (job.hand_to_program)
            hand_to_program(info, context);
    }
    errno = saved_errno;
}

namespace {

// ---------------------------------------------------------------- start
int tell_on_stderr(const char *title, const char *text, void * /*user_data*/)
{
    say("qport-run: ");
    say(title);
    say(": ");
    say(text);
    say("\n");
    return 1;
}

// The path this library was loaded from, as it stands in LD_PRELOAD.
std::string own_path()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&own_path), &info) == 0 || info.dli_fname == nullptr)
        return "";
    return info.dli_fname;
}

constexpr char grant_variable[] = "QPORT_RUN_PORT_GRANT";

// Takes this library out of LD_PRELOAD, and qport-run's variables out of
// the environment, so that programs this one executes run without it.
void leave_environment_of_children()
{
    const std::string self = own_path();
    if (const char *preload = std::getenv("LD_PRELOAD"); preload != nullptr) {
        std::string kept;
        const std::string list = preload;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find_first_of(": ", start);
            if (end == std::string::npos)
                end = list.size();
            const std::string entry = list.substr(start, end - start);
            if (!entry.empty() && entry != self)
                kept += (kept.empty() ? "" : ":") + entry;
            start = end + 1;
        }
        if (kept.empty())
            ::unsetenv("LD_PRELOAD");
        else
            ::setenv("LD_PRELOAD", kept.c_str(), 1);
    }
    ::unsetenv("QPORT_RUN_LIBRARY");
    ::unsetenv("QPORT_RUN_FOLLOW_EXEC");
}

template <typename Function> void find_entry(void *library, const char *name, Function &entry)
{
    entry = reinterpret_cast<Function>(::dlsym(library, name));
    if (entry == nullptr)
        give_up("the qport library lacks its port transfers");
}

void load_qport(const char *path)
{
    calling_qport = true;
    void *library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    // The hardware build asks the kernel for every port as it loads: this
    // thread gives that up again, and takes it only around each transfer.
    ::syscall(SYS_ioperm, 0, port_count, 0);
    calling_qport = false;
    if (library == nullptr) {
        say("qport-run: ");
        say(::dlerror());
        say("\n");
        ::_exit(125);
    }
    find_entry(library, qport::entry_names::inport, qport.in32);
    find_entry(library, qport::entry_names::inportw, qport.in16);
    find_entry(library, qport::entry_names::inportb, qport.in8);
    find_entry(library, qport::entry_names::outport, qport.out32);
    find_entry(library, qport::entry_names::outportw, qport.out16);
    find_entry(library, qport::entry_names::outportb, qport.out8);
    decltype(&::qport_backend) backend = nullptr;
    decltype(&::qport_set_presenter) set_presenter = nullptr;
    find_entry(library, "qport_backend", backend);
    find_entry(library, "qport_set_presenter", set_presenter);
    qport.hardware = std::strcmp(backend(), "hardware") == 0;
    // A QPORT_SIM_ variable naming what the simulated PC lacks is a typo of
    // the user's: the program does not start on another PC than the one
    // asked for. The library has named the word and what it can be.
    if (!qport.hardware) {
        const auto understood = reinterpret_cast<decltype(&::qport_sim_environment_understood)>(
            ::dlsym(library, "qport_sim_environment_understood"));
        if (understood != nullptr && understood() == 0)
            give_up("not running the program: the environment names what the simulated PC "
                    "lacks (above)");
    }
    // On the simulated PC, /dev/parportN are its parallel ports, /dev/port
    // its ports.
    if (!qport.hardware)
        qport_run::serve_simulated_device_files(library, qport.in8, qport.out8);
    // The program is no window program of qport's: its notices go to
    // standard error and never wait for an answer.
    set_presenter(tell_on_stderr, nullptr);
}

// Neither call needs privilege; a kernel without port access (ENOSYS) has
// nothing to give up.
bool give_up_permission_of_this_thread() { return qport::process::give_up_port_permission() == 0; }

std::atomic<int> threads_given_up{0};

void give_up_on_request(int /*signo*/)
{
    const int saved_errno = errno;
    if (give_up_permission_of_this_thread())
        threads_given_up.fetch_add(1);
    errno = saved_errno;
}

// Permission is kept per thread, so threads that an earlier library's
// constructor started (there normally are none) give theirs up too: each
// is asked with a signal and answers from its handler.
void give_up_permission_of_other_threads()
{
    DIR *tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        give_up("cannot list this process's threads (/proc/self/task)");
    const pid_t self = ::gettid();
    struct sigaction ask {};
    ask.sa_handler = give_up_on_request;
    ::sigfillset(&ask.sa_mask);
    struct sigaction saved {};
    bool asked_any = false;
    int asked = 0;
    while (const dirent *task = ::readdir(tasks)) {
        const auto thread = static_cast<pid_t>(std::strtol(task->d_name, nullptr, 10));
        if (thread <= 0 || thread == self)
            continue;
        if (!asked_any) {
            libc_sigaction(SIGRTMAX, &ask, &saved);
            asked_any = true;
        }
        // A thread that is gone holds nothing.
        if (::syscall(SYS_tgkill, ::getpid(), thread, SIGRTMAX) == 0)
            ++asked;
    }
    ::closedir(tasks);
    if (!asked_any)
        return;
    for (int wait = 0; wait < 2000 && threads_given_up.load() < asked; ++wait)
        ::usleep(1000);
    libc_sigaction(SIGRTMAX, &saved, nullptr);
    if (threads_given_up.load() < asked)
        give_up("a thread of this process did not give up its port permission");
}

// The grant the program starts with, from qport-run or from the program
// that executed this one; it leaves the environment either way.
void take_grant_from_environment()
{
    if (const char *text = ::secure_getenv(grant_variable); text != nullptr) {
        const std::optional<PortGrant> grant = PortGrant::parse(text);
        if (!grant)
            give_up("QPORT_RUN_PORT_GRANT is malformed");
        thread_grant = *grant;
        ::unsetenv(grant_variable);
    }
}

__attribute__((constructor)) void start()
{
    // Port permission survives exec: whatever this process inherited goes,
    // before anything of the program can use it.
    if (!give_up_permission_of_this_thread())
        give_up("cannot give up the port permission this process inherited");
    give_up_permission_of_other_threads();

    const char *library = ::secure_getenv("QPORT_RUN_LIBRARY");
    if (library == nullptr || *library == '\0')
        give_up("libqport-run.so is loaded by qport-run only (QPORT_RUN_LIBRARY is not set)");
    const std::string library_path = library;
    const char *follow = ::secure_getenv("QPORT_RUN_FOLLOW_EXEC");
    follow_exec = follow != nullptr && std::strcmp(follow, "1") == 0;
    if (!follow_exec)
        leave_environment_of_children();
    take_grant_from_environment();

    struct sigaction inherited {};
    libc_sigaction(SIGSEGV, nullptr, &inherited);
    load_qport(library_path.c_str());
    {
        const SignalsBlocked blocked;
        {
            const ProgramSegvLock lock;
            if (!program_set_segv_action)
                program_segv_action = inherited;
            handler_on_alternate_stack = (program_segv_action.sa_flags & SA_ONSTACK) != 0;
        }
        install_trap();
        trap_installed = true;
    }
    ::pthread_atfork(nullptr, nullptr, forked_child_of_own_thread);
    start_rewriting_sites();
}

// ---------------------------------------------------------------- exec
// Memory for what an exec needs, from mmap(): exec may follow vfork(),
// where malloc() is not safe.
class ExecMemory {
public:
    explicit ExecMemory(std::size_t bytes) : bytes_(bytes)
    {
        void *memory =
            ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        memory_ = memory == MAP_FAILED ? nullptr : memory;
    }
    ~ExecMemory()
    {
        if (memory_ != nullptr)
            ::munmap(memory_, bytes_);
    }
    ExecMemory(const ExecMemory &) = delete;
    ExecMemory &operator=(const ExecMemory &) = delete;
    void *get() const { return memory_; }

private:
    std::size_t bytes_;
    void *memory_ = nullptr;
};

std::atomic<bool> told_exec{false};

// Without --follow-exec the program that exec starts runs without the
// trap: said once, on one line.
void tell_exec_without_trap(const char *file)
{
    if (told_exec.exchange(true))
        return;
    say("qport-run: ");
    say(program_invocation_short_name);
    say(" executes ");
    say(file);
    say(" without qport-run's trap; qport-run --follow-exec keeps it there\n");
}

bool starts_with_grant(const char *variable)
{
    return std::strncmp(variable, grant_variable, sizeof grant_variable - 1) == 0 &&
           variable[sizeof grant_variable - 1] == '=';
}

// The environment of a program that exec starts: with --follow-exec, envp
// with the executing thread's grant in it, as the kernel keeps a thread's
// permission across exec; without, envp as it is, and the notice.
class HandedOver {
public:
    HandedOver(const char *file, char *const *envp) : envp_(envp)
    {
        if (!follow_exec) {
            tell_exec_without_trap(file);
            return;
        }
        std::size_t count = 0;
        for (char *const *entry = envp; entry != nullptr && *entry != nullptr; ++entry)
            count += starts_with_grant(*entry) ? 0U : 1U;
        const std::size_t pointers = (count + 2) * sizeof(char *);
        const std::size_t text = sizeof grant_variable + thread_grant.written() + 1;
        memory_.emplace(pointers + text);
        if (memory_->get() == nullptr)
            return;
        auto **environment = static_cast<char **>(memory_->get());
        char *variable = static_cast<char *>(memory_->get()) + pointers;
        std::size_t at = 0;
        for (char *const *entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
            if (!starts_with_grant(*entry))
                environment[at++] = *entry;
        }
        std::memcpy(variable, grant_variable, sizeof grant_variable - 1);
        variable[sizeof grant_variable - 1] = '=';
        thread_grant.write(variable + sizeof grant_variable);
        environment[at++] = variable;
        environment[at] = nullptr;
        envp_ = environment;
    }
    char *const *get() const { return envp_; }

private:
    std::optional<ExecMemory> memory_;
    char *const *envp_;
};

// The arguments of execl() and its relatives as an array, ending with the
// null pointer; after it, in envp, execle()'s environment.
class ListedArguments {
public:
    ListedArguments(const char *first, va_list arguments, bool with_environment)
        : memory_(bytes_for(first, arguments))
    {
        auto **argv = static_cast<const char **>(memory_.get());
        if (argv == nullptr)
            return;
        std::size_t at = 0;
        argv[at++] = first;
        if (first != nullptr) {
            while (const char *argument = va_arg(arguments, const char *))
                argv[at++] = argument;
            argv[at] = nullptr;
        }
        argv_ = const_cast<char *const *>(argv);
        if (with_environment)
            envp_ = va_arg(arguments, char *const *);
    }
    char *const *argv() const { return argv_; }
    char *const *envp() const { return envp_; }

private:
    static std::size_t bytes_for(const char *first, va_list arguments)
    {
        va_list counted;
        va_copy(counted, arguments);
        std::size_t count = 1;
        if (first != nullptr) {
            while (va_arg(counted, const char *) != nullptr)
                ++count;
        }
        va_end(counted);
        return (count + 1) * sizeof(char *);
    }
    ExecMemory memory_;
    char *const *argv_ = nullptr;
    char *const *envp_ = environ;
};

// system() and popen() run the shell with environ: the grant goes into it
// for the call, and out again.
class GrantInEnviron {
public:
    GrantInEnviron()
    {
        if (!follow_exec) {
            tell_exec_without_trap("/bin/sh");
            return;
        }
        std::string text(thread_grant.written(), '\0');
        thread_grant.write(text.data());
        ::setenv(grant_variable, text.c_str(), 1);
    }
    ~GrantInEnviron()
    {
        if (follow_exec)
            ::unsetenv(grant_variable);
    }
    GrantInEnviron(const GrantInEnviron &) = delete;
    GrantInEnviron &operator=(const GrantInEnviron &) = delete;
};

int exec_listed(const char *file, const char *first, va_list arguments, bool search_path,
                bool with_environment)
{
    const ListedArguments listed(first, arguments, with_environment);
    if (listed.argv() == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    const HandedOver environment(file, listed.envp());
    if (search_path)
        return QPORT_RUN_NEXT(execvpe)(file, listed.argv(), environment.get());
    return QPORT_RUN_NEXT(execve)(file, listed.argv(), environment.get());
}

// ---------------------------------------------------------------- threads
struct NewThread {
    thread_start start;
    void *argument;
    PortGrant grant;
};

struct NewC11Thread {
    thrd_start_t start;
    void *argument;
    PortGrant grant;
};

// A new thread starts with its creator's grant, as the kernel gives it.
template <typename Thread> Thread *inherit(auto start, void *argument)
{
    const std::optional<PortGrant> grant = thread_grant.duplicate();
    if (!grant)
        return nullptr;
    auto *thread = new (std::nothrow) Thread{start, argument, *grant};
    if (thread == nullptr) {
        PortGrant unused = *grant;
        unused.release();
    }
    return thread;
}

template <typename Thread> void forget(Thread *thread)
{
    thread->grant.release();
    delete thread;
}

void *start_with_grant(void *raw)
{
    auto *created = static_cast<NewThread *>(raw);
    const NewThread thread = *created;
    delete created;
    adopt_grant(thread.grant);
    return thread.start(thread.argument);
}

int start_c11_with_grant(void *raw)
{
    auto *created = static_cast<NewC11Thread *>(raw);
    const NewC11Thread thread = *created;
    delete created;
    adopt_grant(thread.grant);
    return thread.start(thread.argument);
}

} // namespace

// ---------------------------------------------------------------- what the program calls
QPORT_RUN_EXPORT int ioperm(unsigned long from, unsigned long num, int turn_on)
{
    if (calling_qport)
        return static_cast<int>(::syscall(SYS_ioperm, from, num, turn_on));
    if (const int error = thread_grant.ioperm(from, num, turn_on); error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

QPORT_RUN_EXPORT int iopl(int level)
{
    if (calling_qport)
        return static_cast<int>(::syscall(SYS_iopl, level));
    if (const int error = thread_grant.iopl(level); error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

QPORT_RUN_EXPORT int sigaction(int sig, const struct sigaction *act, struct sigaction *oact)
{
    if (sig != SIGSEGV) {
        if (act == nullptr || ::sigismember(&act->sa_mask, SIGSEGV) != 1)
            return libc_sigaction(sig, act, oact);
        // No handler may hold SIGSEGV off: a port instruction in it would
        // be fatal.
        struct sigaction open_to_segv = *act;
        ::sigdelset(&open_to_segv.sa_mask, SIGSEGV);
        return libc_sigaction(sig, &open_to_segv, oact);
    }
    struct sigaction wanted {};
    if (act != nullptr)
        wanted = *act;
    struct sigaction previous {};
    {
        const SignalsBlocked blocked;
        bool on_alternate_stack = false;
        {
            const ProgramSegvLock lock;
            previous = program_segv_action;
            if (act != nullptr) {
                program_segv_action = wanted;
                program_set_segv_action = true;
            }
            on_alternate_stack = (program_segv_action.sa_flags & SA_ONSTACK) != 0;
        }
        // The program's handler runs on its alternate stack (a stack overflow
        // handler needs it): the trap runs there too, so that it can hand on.
        if (act != nullptr && trap_installed && on_alternate_stack != handler_on_alternate_stack) {
            handler_on_alternate_stack = on_alternate_stack;
            install_trap();
        }
    }
    // Written with the signals open again: a bad pointer faults in the
    // program's own call, as it would in the C library's.
    if (oact != nullptr)
        *oact = previous;
    return 0;
}

namespace {

// signal() and its relatives as sigaction(), with their semantics.
sighandler_t set_segv_handler(sighandler_t handler, int flags)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    struct sigaction old {};
    sigaction(SIGSEGV, &action, &old);
    return old.sa_handler;
}

int filtered_mask(sigmask_function function, int how, const sigset_t *set, sigset_t *old)
{
    sigset_t wanted;
    const sigset_t *passed = set;
    const bool blocked_before = program_blocks_segv;
    if (set != nullptr) {
        wanted = *set;
        const bool names_segv = ::sigismember(&wanted, SIGSEGV) == 1;
        if (how == SIG_BLOCK && names_segv)
            program_blocks_segv = true;
        else if (how == SIG_UNBLOCK && names_segv)
            program_blocks_segv = false;
        else if (how == SIG_SETMASK)
            program_blocks_segv = names_segv;
        if (how != SIG_UNBLOCK)
            ::sigdelset(&wanted, SIGSEGV);
        passed = &wanted;
    }
    const int result = function(how, passed, old);
    if (result == 0 && old != nullptr && blocked_before)
        ::sigaddset(old, SIGSEGV);
    return result;
}

} // namespace

QPORT_RUN_EXPORT sighandler_t signal(int sig, sighandler_t handler)
{
    if (sig != SIGSEGV)
        return QPORT_RUN_NEXT(signal)(sig, handler);
    return set_segv_handler(handler, SA_RESTART);
}

QPORT_RUN_EXPORT sighandler_t bsd_signal(int sig, sighandler_t handler)
{
    return ::signal(sig, handler);
}

QPORT_RUN_EXPORT sighandler_t sysv_signal(int sig, sighandler_t handler)
{
    if (sig != SIGSEGV)
        return QPORT_RUN_NEXT(sysv_signal)(sig, handler);
    return set_segv_handler(handler, static_cast<int>(SA_RESETHAND | SA_NODEFER));
}

QPORT_RUN_EXPORT int sigprocmask(int how, const sigset_t *set, sigset_t *oset)
{
    return filtered_mask(QPORT_RUN_NEXT(sigprocmask), how, set, oset);
}

QPORT_RUN_EXPORT int pthread_sigmask(int how, const sigset_t *newmask, sigset_t *oldmask)
{
    return filtered_mask(QPORT_RUN_NEXT(pthread_sigmask), how, newmask, oldmask);
}

QPORT_RUN_EXPORT int pthread_create(pthread_t *newthread, const pthread_attr_t *attr,
                                    thread_start start_routine, void *arg)
{
    auto *created = inherit<NewThread>(start_routine, arg);
    if (created == nullptr)
        return EAGAIN;
    const int result = QPORT_RUN_NEXT(pthread_create)(newthread, attr, start_with_grant, created);
    if (result != 0)
        forget(created);
    return result;
}

QPORT_RUN_EXPORT int thrd_create(thrd_t *thr, thrd_start_t func, void *arg)
{
    auto *created = inherit<NewC11Thread>(func, arg);
    if (created == nullptr)
        return thrd_nomem;
    const int result = QPORT_RUN_NEXT(thrd_create)(thr, start_c11_with_grant, created);
    if (result != thrd_success)
        forget(created);
    return result;
}

QPORT_RUN_EXPORT int execve(const char *path, char *const argv[], char *const envp[])
{
    const HandedOver environment(path, envp);
    return QPORT_RUN_NEXT(execve)(path, argv, environment.get());
}

QPORT_RUN_EXPORT int execv(const char *path, char *const argv[])
{
    const HandedOver environment(path, environ);
    return QPORT_RUN_NEXT(execve)(path, argv, environment.get());
}

QPORT_RUN_EXPORT int execvpe(const char *file, char *const argv[], char *const envp[])
{
    const HandedOver environment(file, envp);
    return QPORT_RUN_NEXT(execvpe)(file, argv, environment.get());
}

QPORT_RUN_EXPORT int execvp(const char *file, char *const argv[])
{
    const HandedOver environment(file, environ);
    return QPORT_RUN_NEXT(execvpe)(file, argv, environment.get());
}

QPORT_RUN_EXPORT int fexecve(int fd, char *const argv[], char *const envp[])
{
    const HandedOver environment("a program from a file descriptor", envp);
    return QPORT_RUN_NEXT(fexecve)(fd, argv, environment.get());
}

QPORT_RUN_EXPORT int execveat(int fd, const char *path, char *const argv[], char *const envp[],
                              int flags)
{
    const HandedOver environment(path, envp);
    return QPORT_RUN_NEXT(execveat)(fd, path, argv, environment.get(), flags);
}

QPORT_RUN_EXPORT int execl(const char *path, const char *arg, ...)
{
    va_list arguments;
    va_start(arguments, arg);
    const int result = exec_listed(path, arg, arguments, false, false);
    va_end(arguments);
    return result;
}

QPORT_RUN_EXPORT int execlp(const char *file, const char *arg, ...)
{
    va_list arguments;
    va_start(arguments, arg);
    const int result = exec_listed(file, arg, arguments, true, false);
    va_end(arguments);
    return result;
}

QPORT_RUN_EXPORT int execle(const char *path, const char *arg, ...)
{
    va_list arguments;
    va_start(arguments, arg);
    const int result = exec_listed(path, arg, arguments, false, true);
    va_end(arguments);
    return result;
}

QPORT_RUN_EXPORT int posix_spawn(pid_t *pid, const char *path,
                                 const posix_spawn_file_actions_t *file_actions,
                                 const posix_spawnattr_t *attrp, char *const argv[],
                                 char *const envp[])
{
    const HandedOver environment(path, envp);
    return QPORT_RUN_NEXT(posix_spawn)(pid, path, file_actions, attrp, argv, environment.get());
}

QPORT_RUN_EXPORT int posix_spawnp(pid_t *pid, const char *file,
                                  const posix_spawn_file_actions_t *file_actions,
                                  const posix_spawnattr_t *attrp, char *const argv[],
                                  char *const envp[])
{
    const HandedOver environment(file, envp);
    return QPORT_RUN_NEXT(posix_spawnp)(pid, file, file_actions, attrp, argv, environment.get());
}

QPORT_RUN_EXPORT int system(const char *command)
{
    // system(NULL) only asks whether there is a shell.
    if (command == nullptr)
        return QPORT_RUN_NEXT(system)(command);
    const GrantInEnviron grant;
    return QPORT_RUN_NEXT(system)(command);
}

QPORT_RUN_EXPORT FILE *popen(const char *command, const char *modes)
{
    const GrantInEnviron grant;
    return QPORT_RUN_NEXT(popen)(command, modes);
}
