// SPDX-License-Identifier: LGPL-2.1-or-later
// libqport-run.so, which qport-run preloads into the program it runs.
//
// It makes the program's own port instructions go to qport: at load it
// gives up any port permission the process inherited, so that every port
// instruction faults; its SIGSEGV handler recognises those faults, makes
// the transfer through qport's entry points, puts the result where the
// processor would and moves on. It answers the program's ioperm() and
// iopl() with success without asking the kernel, and it sits in front of
// the program's own SIGSEGV handling: sigaction() and signal() record the
// program's disposition, which gets every fault that is not a port
// instruction.
//
// qport-run hands over, in the environment:
//   QPORT_RUN_LIBRARY=PATH   the libqport.so.1 to load (simulated or hardware)
//   QPORT_RUN_FOLLOW_EXEC=1  keep the preload in programs this one executes;
//                            without it the preload takes itself out of the
//                            environment before the program's main() runs.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <asm/prctl.h>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include "qport.h"
#include "qport_ext.h"

#include "port_instruction.h"

#define QPORT_RUN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using qport_run::Direction;
using qport_run::PortInstruction;

constexpr unsigned long port_count = 0x10000;

// ---------------------------------------------------------------- the C library's own
using sigaction_function = int (*)(int, const struct sigaction *, struct sigaction *);
using sigmask_function = int (*)(int, const sigset_t *, sigset_t *);
using signal_function = sighandler_t (*)(int, sighandler_t);

// Looked up on first use, so that calls made before the constructor runs
// (other libraries' constructors) work too. After that only read, also
// from the signal handler.
template <typename Function>
Function next_definition(std::atomic<Function> &cache, const char *name)
{
    Function function = cache.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
        if (function == nullptr) {
            static constexpr char message[] = "qport-run: the C library lacks a signal function\n";
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, message, sizeof message - 1);
            ::_exit(125);
        }
        cache.store(function, std::memory_order_release);
    }
    return function;
}

std::atomic<sigaction_function> libc_sigaction_cache;
std::atomic<sigmask_function> libc_sigprocmask_cache;
std::atomic<sigmask_function> libc_pthread_sigmask_cache;
std::atomic<signal_function> libc_signal_cache;
std::atomic<signal_function> libc_sysv_signal_cache;

int libc_sigaction(int signo, const struct sigaction *action, struct sigaction *old)
{
    return next_definition(libc_sigaction_cache, "sigaction")(signo, action, old);
}

int libc_pthread_sigmask(int how, const sigset_t *set, sigset_t *old)
{
    return next_definition(libc_pthread_sigmask_cache, "pthread_sigmask")(how, set, old);
}

// ---------------------------------------------------------------- state
// True while this thread is inside qport's library: the ioperm() and iopl()
// calls made there are qport's own and go to the kernel.
constinit thread_local bool calling_qport __attribute__((tls_model("initial-exec"))) = false;
// Whether the program asked to block SIGSEGV in this thread. It is never
// really blocked: a port instruction must always reach the handler.
constinit thread_local bool program_blocks_segv __attribute__((tls_model("initial-exec"))) = false;
// A SIGSEGV sent by a process while this thread was inside qport, to be
// handed on once the transfer is complete.
constinit thread_local bool segv_sent_during_transfer __attribute__((tls_model("initial-exec"))) =
    false;
constinit thread_local siginfo_t sent_segv __attribute__((tls_model("initial-exec"))){};

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

class SignalsBlocked {
public:
    SignalsBlocked()
    {
        sigset_t all;
        ::sigfillset(&all);
        libc_pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~SignalsBlocked() { libc_pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
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

// ---------------------------------------------------------------- ports and memory
void trap(int signal, siginfo_t *info, void *context);

void install_trap()
{
    struct sigaction action {};
    action.sa_sigaction = trap;
    // SIGSEGV stays open inside the handler: a port instruction that qport
    // itself executes without the kernel's permission faults there, and is
    // answered as refused.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | (handler_on_alternate_stack ? SA_ONSTACK : 0);
    ::sigfillset(&action.sa_mask);
    ::sigdelset(&action.sa_mask, SIGSEGV);
    libc_sigaction(SIGSEGV, &action, nullptr);
}

std::atomic<bool> told_kernel_refused{false};

// qport's entry points, each call marked as qport's own. On the hardware
// build the thread holds the kernel's permission only for the ports of the
// one instruction and only while it is carried out (Transfer's lifetime),
// so the program's own instructions keep faulting.
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

class Transfer {
public:
    Transfer(std::uint16_t port, unsigned width_bytes)
    {
        calling_qport = true;
        if (qport.hardware && port + width_bytes <= port_count)
            ::syscall(SYS_ioperm, port, width_bytes, 1);
    }
    ~Transfer()
    {
        if (qport.hardware)
            ::syscall(SYS_ioperm, 0, port_count, 0);
        calling_qport = false;
    }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;
};

// The program's memory through the kernel, which answers EFAULT where the
// program may not go instead of faulting in the handler.
class ProcessMemory final : public qport_run::Memory {
public:
    std::size_t read(std::uint64_t address, void *out, std::size_t size) override
    {
        return copy(out, address, size, SYS_process_vm_readv);
    }

    std::size_t write(std::uint64_t address, const void *in, std::size_t size) override
    {
        return copy(const_cast<void *>(in), address, size, SYS_process_vm_writev);
    }

    std::size_t writable(std::uint64_t address, std::size_t size) override
    {
        // What is there, written back: a string input overwrites it anyway.
        unsigned char contents[256];
        std::size_t checked = 0;
        while (checked < size) {
            const std::size_t piece = std::min(size - checked, sizeof contents);
            const std::size_t readable = read(address + checked, contents, piece);
            const std::size_t written = write(address + checked, contents, readable);
            checked += written;
            if (written < piece)
                break;
        }
        return checked;
    }

private:
    static std::size_t copy(void *local, std::uint64_t remote, std::size_t size, long call)
    {
        if (size == 0)
            return 0;
        iovec local_piece{local, size};
        // NOLINTNEXTLINE(performance-no-int-to-ptr): an address in the program
        iovec remote_piece{reinterpret_cast<void *>(remote), size};
        const long copied = ::syscall(call, ::getpid(), &local_piece, 1UL, &remote_piece, 1UL, 0UL);
        return copied < 0 ? 0 : static_cast<std::size_t>(copied);
    }
};

// ---------------------------------------------------------------- faults for the program
// The default action, as the kernel takes it: a fault is taken again when
// the instruction is executed again after the handler returns; a SIGSEGV
// sent by a process is sent again and arrives once the handler returns.
void take_default_action(const siginfo_t *info)
{
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    libc_sigaction(SIGSEGV, &default_action, nullptr);
    if (info->si_code <= 0)
        ::syscall(SYS_tgkill, ::getpid(), ::gettid(), SIGSEGV);
}

bool sent_by_a_process(const siginfo_t *info) { return info->si_code <= 0; }

// Hands a SIGSEGV that is not a port instruction to the program, exactly as
// the kernel would without the preload.
void hand_to_program(siginfo_t *info, ucontext_t *context)
{
    struct sigaction action {};
    {
        const ProgramSegvLock lock;
        action = program_segv_action;
        if ((static_cast<unsigned>(action.sa_flags) & SA_RESETHAND) != 0 &&
            action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN) {
            program_segv_action = {};
            program_segv_action.sa_handler = SIG_DFL;
        }
    }
    if (action.sa_handler == SIG_IGN && sent_by_a_process(info))
        return;
    // A fault the program ignores or blocks is fatal, as the kernel makes it.
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN ||
        (program_blocks_segv && !sent_by_a_process(info))) {
        take_default_action(info);
        return;
    }
    sigset_t mask = context->uc_sigmask;
    ::sigorset(&mask, &mask, &action.sa_mask);
    if ((action.sa_flags & SA_NODEFER) == 0)
        ::sigaddset(&mask, SIGSEGV);
    libc_pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if ((action.sa_flags & SA_SIGINFO) != 0)
        action.sa_sigaction(SIGSEGV, info, context);
    else
        action.sa_handler(SIGSEGV);
    // The mask of the interrupted code comes back from the context when the
    // handler returns.
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

void trap(int /*signal*/, siginfo_t *info, void *raw_context)
{
    const int saved_errno = errno;
    auto *context = static_cast<ucontext_t *>(raw_context);
    std::optional<PortInstruction> instruction;
    // Port instructions without permission fault with a general protection
    // fault, which the kernel reports as SI_KERNEL.
    if (info->si_code == SI_KERNEL)
        instruction = qport_run::decode(
            // NOLINTNEXTLINE(performance-no-int-to-ptr): the faulting instruction
            reinterpret_cast<const std::uint8_t *>(context->uc_mcontext.gregs[REG_RIP]));

    if (calling_qport) {
        if (instruction)
            answer_refused_in_qport(*instruction, *context);
        else if (sent_by_a_process(info)) {
            sent_segv = *info;
            segv_sent_during_transfer = true;
        } else
            take_default_action(info);
        errno = saved_errno;
        return;
    }

    if (!instruction) {
        hand_to_program(info, context);
        errno = saved_errno;
        return;
    }

    qport_run::Registers registers = registers_of(*context);
    if (instruction->segment == qport_run::Segment::fs)
        registers.fs_base = segment_base(ARCH_GET_FS);
    else if (instruction->segment == qport_run::Segment::gs)
        registers.gs_base = segment_base(ARCH_GET_GS);
    const std::uint16_t port = instruction->immediate_port
                                   ? instruction->port_byte
                                   : static_cast<std::uint16_t>(registers.rdx);
    QportPorts ports;
    ProcessMemory memory;
    qport_run::Execution execution;
    {
        const Transfer transfer(port, instruction->width_bytes);
        execution = qport_run::execute(*instruction, registers, ports, memory);
    }
    store_registers(registers, *context);
    if (execution.memory_fault) {
        // As the processor reports a string operand it may not use.
        siginfo_t fault{};
        fault.si_signo = SIGSEGV;
        fault.si_code = SEGV_MAPERR;
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the address the program may not use
        fault.si_addr = reinterpret_cast<void *>(execution.fault_address);
        hand_to_program(&fault, context);
    }
    if (segv_sent_during_transfer) {
        segv_sent_during_transfer = false;
        siginfo_t sent = sent_segv;
        hand_to_program(&sent, context);
    }
    errno = saved_errno;
}

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
    find_entry(library, "_Z6inports", qport.in32);
    find_entry(library, "_Z7inportws", qport.in16);
    find_entry(library, "_Z7inportbs", qport.in8);
    find_entry(library, "_Z7outportsi", qport.out32);
    find_entry(library, "_Z8outportwss", qport.out16);
    find_entry(library, "_Z8outportbsc", qport.out8);
    decltype(&::qport_backend) backend = nullptr;
    decltype(&::qport_set_presenter) set_presenter = nullptr;
    find_entry(library, "qport_backend", backend);
    find_entry(library, "qport_set_presenter", set_presenter);
    qport.hardware = std::strcmp(backend(), "hardware") == 0;
    // The program is no window program of qport's: its notices go to
    // standard error and never wait for an answer.
    set_presenter(tell_on_stderr, nullptr);
}

// Neither call needs privilege; a kernel without port access (ENOSYS) has
// nothing to give up.
bool give_up_permission_of_this_thread()
{
    return (::syscall(SYS_ioperm, 0, port_count, 0) == 0 || errno == ENOSYS) &&
           (::syscall(SYS_iopl, 0) == 0 || errno == ENOSYS);
}

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

__attribute__((constructor)) void start()
{
    // Port permission survives exec: whatever this process inherited goes,
    // before anything of the program can use it.
    if (!give_up_permission_of_this_thread())
        give_up("cannot give up the port permission this process inherited");
    give_up_permission_of_other_threads();

    const char *library = std::getenv("QPORT_RUN_LIBRARY");
    if (library == nullptr || *library == '\0')
        give_up("libqport-run.so is loaded by qport-run only (QPORT_RUN_LIBRARY is not set)");
    const std::string library_path = library;
    const char *follow = std::getenv("QPORT_RUN_FOLLOW_EXEC");
    if (follow == nullptr || std::strcmp(follow, "1") != 0)
        leave_environment_of_children();

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
}

} // namespace

// ---------------------------------------------------------------- what the program calls
QPORT_RUN_EXPORT int ioperm(unsigned long from, unsigned long num, int turn_on)
{
    if (calling_qport)
        return static_cast<int>(::syscall(SYS_ioperm, from, num, turn_on));
    // The kernel's own argument check, so a program sees the same errors.
    if (num == 0 || from + num <= from || from + num > port_count) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

QPORT_RUN_EXPORT int iopl(int level)
{
    if (calling_qport)
        return static_cast<int>(::syscall(SYS_iopl, level));
    if (level < 0 || level > 3) {
        errno = EINVAL;
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
        return next_definition(libc_signal_cache, "signal")(sig, handler);
    return set_segv_handler(handler, SA_RESTART);
}

QPORT_RUN_EXPORT sighandler_t bsd_signal(int sig, sighandler_t handler)
{
    return ::signal(sig, handler);
}

QPORT_RUN_EXPORT sighandler_t sysv_signal(int sig, sighandler_t handler)
{
    if (sig != SIGSEGV)
        return next_definition(libc_sysv_signal_cache, "sysv_signal")(sig, handler);
    return set_segv_handler(handler, static_cast<int>(SA_RESETHAND | SA_NODEFER));
}

QPORT_RUN_EXPORT int sigprocmask(int how, const sigset_t *set, sigset_t *oset)
{
    return filtered_mask(next_definition(libc_sigprocmask_cache, "sigprocmask"), how, set, oset);
}

QPORT_RUN_EXPORT int pthread_sigmask(int how, const sigset_t *newmask, sigset_t *oldmask)
{
    return filtered_mask(next_definition(libc_pthread_sigmask_cache, "pthread_sigmask"), how,
                         newmask, oldmask);
}
