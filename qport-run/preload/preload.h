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
//                            and out of every environment exec hands over
//                            (a shell keeps a copy of its own), and says so
//                            once when the program executes one
//   QPORT_RUN_PORT_GRANT=G   the grant the program starts with (see
//                            port_grant.h); the preload passes the executing
//                            thread's on through exec with --follow-exec
//
// This header is what the preload's parts share; each is a file of its own:
//   signals.cpp            the program's SIGSEGV disposition and signal mask
//   ports_and_memory.cpp   the ports through qport, the program's memory as
//                          the trap reaches it, SIGSEGV open inside the trap
//   program_faults.cpp     the faults the program gets, as the kernel gives them
//   trap.cpp               the trap itself, on its own stack (trap_stubs.S)
//   grants.cpp             what ioperm() and iopl() granted each thread
//   start.cpp              giving up inherited permission, loading qport
//   exec.cpp               exec and the environment it hands over
// Whatever the trap reaches is async-signal-safe and allocates nothing;
// the thread-local state it uses is initial-exec, so that reaching it
// never calls into the dynamic linker.
#ifndef QPORT_RUN_PRELOAD_H
#define QPORT_RUN_PRELOAD_H

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "interposing.h"
#include "port_grant.h"
#include "port_instruction.h"
#include "qport.h"

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

namespace qport_run::preload {

// ---------------------------------------------------------------- the C library's own
using sigaction_function = int (*)(int, const struct sigaction *, struct sigaction *);
QPORT_RUN_LIBC(sigaction, sigaction_function)

// An address in the program, from its registers, as a pointer.
template <typename Pointee = void> Pointee *in_program(std::uint64_t address)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the program's addresses are numbers to us
    return reinterpret_cast<Pointee *>(address);
}

// ---------------------------------------------------------------- state
// True while this thread is inside qport's library: the ioperm() and iopl()
// calls made there are qport's own and go to the kernel.
extern constinit thread_local bool calling_qport __attribute__((tls_model("initial-exec")));
// Whether the program asked to block SIGSEGV in this thread. It is never
// really blocked: a port instruction must always reach the trap.
extern constinit thread_local bool program_blocks_segv __attribute__((tls_model("initial-exec")));
// What ioperm() and iopl() granted this thread.
extern constinit thread_local PortGrant thread_grant __attribute__((tls_model("initial-exec")));

struct Qport {
    decltype(&::inport) in32 = nullptr;
    decltype(&::inportw) in16 = nullptr;
    decltype(&::inportb) in8 = nullptr;
    decltype(&::outport) out32 = nullptr;
    decltype(&::outportw) out16 = nullptr;
    decltype(&::outportb) out8 = nullptr;
    bool hardware = false;
};
extern Qport qport;

// The program's SIGSEGV disposition, as it set it (initially what the
// process started with). Written by sigaction() and by the handler for
// SA_RESETHAND, read by the handler: a spin lock, taken only with every
// signal blocked, so the handler can never wait for its own thread.
extern struct sigaction program_segv_action;
// Whether the program has set it yet (an earlier library's constructor may,
// before this library's runs).
extern bool program_set_segv_action;
extern std::atomic_flag program_segv_lock;
extern bool handler_on_alternate_stack;
// Set once qport is loaded and the trap installed.
extern std::atomic<bool> trap_installed;
// Whether programs this one executes keep the preload (--follow-exec).
extern bool follow_exec;
// What qport-run put in LD_PRELOAD for this program (this library, and on
// the simulated PC the qport library it loads), kept at the start for the
// environments exec hands over without the preload (exec.cpp).
void keep_preloaded_paths(const char *self, const char *qport_library);
// Whether ENTRY, one of LD_PRELOAD's, is one of those.
bool preloaded_by_qport_run(const char *entry, std::size_t length);
// VARIABLE ("LD_PRELOAD=...") without those entries, into KEPT (as long as
// VARIABLE); false if no entry is left. Allocates nothing.
bool write_preload_without_ours(const char *variable, char *kept);

// Every signal blocked in this thread while it lives (signals.cpp).
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
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

inline void say(const char *text)
{
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
}

[[noreturn]] inline void give_up(const char *why)
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

inline KernelMask kernel_mask(const sigset_t &set)
{
    KernelMask mask = 0;
    std::memcpy(&mask, &set, sizeof mask);
    return mask;
}

inline void set_thread_mask(int how, KernelMask mask)
{
    ::syscall(SYS_rt_sigprocmask, how, &mask, nullptr, sizeof mask);
}

// ---------------------------------------------------------------- SIGSEGV open inside the trap
// While the trap has SIGSEGV open (around the hardware build's transfers,
// which may fault inside qport, and around direct accesses to the
// program's memory), a nested SIGSEGV is answered by answer_while_open().
extern constinit thread_local int segv_open_depth __attribute__((tls_model("initial-exec")));
// Whether the trap that opened it runs on the alternate stack.
extern constinit thread_local bool trap_on_alternate_stack
    __attribute__((tls_model("initial-exec")));
// A SIGSEGV sent by a process meanwhile, sent again once SIGSEGV is closed:
// it is then pending until the trap returns, as it would have been.
extern constinit thread_local bool segv_was_sent __attribute__((tls_model("initial-exec")));
extern constinit thread_local siginfo_t sent_segv __attribute__((tls_model("initial-exec")));
// What the last direct access to the program's memory ran into, as the
// kernel reported it: the fault the program gets.
struct ProbeFault {
    siginfo_t info;
    greg_t trap_number, error_code, address;
};
extern constinit thread_local ProbeFault probe_fault __attribute__((tls_model("initial-exec")));
extern constinit thread_local bool probe_faulted __attribute__((tls_model("initial-exec")));

// ---------------------------------------------------------------- the trap
// SIGSEGV's handler made the trap, on the alternate stack if the program's
// handler is (signals.cpp).
void install_trap();
// This thread's trap stack, if it has one, given back.
void release_trap_stack();
// Hot sites rewritten from the start, unless qport-run said not to.
void start_rewriting_sites();
// In the child of a fork() by the thread that made the child.
void forked_child_of_own_thread();

// ---------------------------------------------------------------- faults for the program
inline bool sent_by_a_process(const siginfo_t *info) { return info->si_code <= 0; }
void take_default_action(const siginfo_t *info);
void hand_to_program(siginfo_t *info, ucontext_t *context);
void report_memory_fault(siginfo_t &info, ucontext_t &context);

// ---------------------------------------------------------------- exec
// What carries the grant through exec (exec.cpp), read back at the start.
inline constexpr char grant_variable[] = "QPORT_RUN_PORT_GRANT";

} // namespace qport_run::preload

#endif
