// SPDX-License-Identifier: LGPL-2.1-or-later
// The program's SIGSEGV disposition and signal mask, as it sets them: kept
// by the preload, which keeps SIGSEGV itself for the trap.
#include <atomic>
#include <csignal>

#include "interposing.h"
#include "preload.h"

namespace qport_run::preload {

constinit thread_local bool program_blocks_segv __attribute__((tls_model("initial-exec"))) = false;
struct sigaction program_segv_action {};
bool program_set_segv_action = false;
std::atomic_flag program_segv_lock = ATOMIC_FLAG_INIT;
bool handler_on_alternate_stack = false;
std::atomic<bool> trap_installed{false};

namespace {

using sigmask_function = int (*)(int, const sigset_t *, sigset_t *);
using signal_function = sighandler_t (*)(int, sighandler_t);
QPORT_RUN_LIBC(sigprocmask, sigmask_function)
QPORT_RUN_LIBC(pthread_sigmask, sigmask_function)
QPORT_RUN_LIBC(signal, signal_function)
QPORT_RUN_LIBC(sysv_signal, signal_function)

} // namespace

SignalsBlocked::SignalsBlocked()
{
    sigset_t all;
    ::sigfillset(&all);
    libc_pthread_sigmask()(SIG_SETMASK, &all, &saved_);
}

SignalsBlocked::~SignalsBlocked() { libc_pthread_sigmask()(SIG_SETMASK, &saved_, nullptr); }

void install_trap()
{
    struct sigaction action {};
    action.sa_sigaction = qport_run_trap_entry;
    // Every signal blocked, SIGSEGV too: a flood of SIGSEGV waits until the
    // trap is done instead of stacking trap upon trap.
    action.sa_flags = SA_SIGINFO | (handler_on_alternate_stack ? SA_ONSTACK : 0);
    ::sigfillset(&action.sa_mask);
    libc_sigaction()(SIGSEGV, &action, nullptr);
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

} // namespace qport_run::preload

// The definitions in front of the C library's are the C library's names,
// outside the preload's namespace.
using namespace qport_run::preload;

QPORT_RUN_EXPORT int sigaction(int sig, const struct sigaction *act, struct sigaction *oact)
{
    if (sig != SIGSEGV) {
        if (act == nullptr || ::sigismember(&act->sa_mask, SIGSEGV) != 1)
            return libc_sigaction()(sig, act, oact);
        // No handler may hold SIGSEGV off: a port instruction in it would
        // be fatal.
        struct sigaction open_to_segv = *act;
        ::sigdelset(&open_to_segv.sa_mask, SIGSEGV);
        return libc_sigaction()(sig, &open_to_segv, oact);
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

QPORT_RUN_EXPORT sighandler_t signal(int sig, sighandler_t handler)
{
    if (sig != SIGSEGV)
        return libc_signal()(sig, handler);
    return set_segv_handler(handler, SA_RESTART);
}

QPORT_RUN_EXPORT sighandler_t bsd_signal(int sig, sighandler_t handler)
{
    return ::signal(sig, handler);
}

QPORT_RUN_EXPORT sighandler_t sysv_signal(int sig, sighandler_t handler)
{
    if (sig != SIGSEGV)
        return libc_sysv_signal()(sig, handler);
    return set_segv_handler(handler, static_cast<int>(SA_RESETHAND | SA_NODEFER));
}

QPORT_RUN_EXPORT int sigprocmask(int how, const sigset_t *set, sigset_t *oset)
{
    return filtered_mask(libc_sigprocmask(), how, set, oset);
}

QPORT_RUN_EXPORT int pthread_sigmask(int how, const sigset_t *newmask, sigset_t *oldmask)
{
    return filtered_mask(libc_pthread_sigmask(), how, newmask, oldmask);
}
