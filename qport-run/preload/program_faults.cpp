// SPDX-License-Identifier: LGPL-2.1-or-later
// The faults the program gets, as the kernel would give them without the
// preload: handed to the program's SIGSEGV disposition, or taken by the
// default action; and a memory fault of a string form as the processor's.
#include <csignal>
#include <cstdint>

#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "preload.h"

namespace qport_run::preload {

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

} // namespace qport_run::preload
