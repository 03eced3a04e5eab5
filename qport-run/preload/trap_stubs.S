/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The few pieces of the trap that must control their stack exactly.
 *
 * qport_run_trap_entry is the SIGSEGV handler the kernel calls. Before it
 * touches the stack it makes sure that, on the program's alternate signal
 * stack, the trap's own frames fit below the kernel's signal frame; if
 * they do not, it ends the process with SIGSEGV as the kernel does when
 * its frame does not fit, instead of writing below the stack.
 *
 * qport_run_call_on_stack runs a function on another stack: the trap does
 * its work (decoding, qport's transfer, the program's memory) on a stack of
 * its own, so that the program's alternate stack needs room for only a few
 * hundred bytes of the trap's.
 *
 * qport_run_probe_load and qport_run_probe_store reach the program's
 * memory directly at the width of one element; when the access faults, the
 * trap records the fault and resumes at qport_run_probe_recover, which
 * returns to the caller. */

/* Bytes the trap needs below the kernel's frame on an alternate stack:
 * its own frame, the hand-over to the program's handler, and the C
 * library's calls on the way, measured at under 300 bytes. */
#define TRAP_ROOM 512

/* Offsets in ucontext_t (checked against the C library's in preload.cpp). */
#define UC_STACK_SP 16
#define UC_STACK_SIZE 32

#define SYS_WRITE 1
#define SYS_RT_SIGACTION 13
#define SYS_RT_SIGPROCMASK 14
#define SYS_GETPID 39
#define SYS_GETTID 186
#define SYS_TGKILL 234
#define SIG_UNBLOCK 1
#define SIGSEGV 11

        .text

        .globl  qport_run_trap_entry
        .hidden qport_run_trap_entry
        .type   qport_run_trap_entry, @function
        .p2align 4
qport_run_trap_entry:
        .cfi_startproc
        /* rdx: the ucontext. The stack pointer's distance from the bottom of
         * the alternate stack, if it is on it. */
        movq    %rsp, %r8
        subq    UC_STACK_SP(%rdx), %r8
        cmpq    UC_STACK_SIZE(%rdx), %r8
        jae     1f
        cmpq    $TRAP_ROOM, %r8
        jb      qport_run_alternate_stack_overflow
1:      jmp     qport_run_trap
        .cfi_endproc
        .size   qport_run_trap_entry, .-qport_run_trap_entry

        .type   qport_run_alternate_stack_overflow, @function
        .p2align 4
qport_run_alternate_stack_overflow:
        .cfi_startproc
        leaq    overflow_message(%rip), %rdi
        movl    $overflow_message_length, %esi
        jmp     qport_run_die_of_segv
        .cfi_endproc
        .size   qport_run_alternate_stack_overflow, .-qport_run_alternate_stack_overflow

/* void qport_run_die_of_segv(const char *message, size_t length): says
 * message on standard error and ends the process with SIGSEGV's default
 * action, using no stack at all. */
        .globl  qport_run_die_of_segv
        .hidden qport_run_die_of_segv
        .type   qport_run_die_of_segv, @function
        .p2align 4
qport_run_die_of_segv:
        .cfi_startproc
        movq    %rsi, %rdx
        movq    %rdi, %rsi
        movl    $2, %edi
        movl    $SYS_WRITE, %eax
        syscall
        movl    $SYS_RT_SIGACTION, %eax
        movl    $SIGSEGV, %edi
        leaq    default_action(%rip), %rsi
        xorl    %edx, %edx
        movl    $8, %r10d
        syscall
        movl    $SYS_RT_SIGPROCMASK, %eax
        movl    $SIG_UNBLOCK, %edi
        leaq    segv_only(%rip), %rsi
        xorl    %edx, %edx
        movl    $8, %r10d
        syscall
2:      movl    $SYS_GETPID, %eax
        syscall
        movq    %rax, %r9
        movl    $SYS_GETTID, %eax
        syscall
        movq    %r9, %rdi
        movq    %rax, %rsi
        movl    $SIGSEGV, %edx
        movl    $SYS_TGKILL, %eax
        syscall
        jmp     2b
        .cfi_endproc
        .size   qport_run_die_of_segv, .-qport_run_die_of_segv

/* void qport_run_call_on_stack(void *argument, void (*function)(void *),
 *                              void *stack_top): stack_top 16-byte aligned. */
        .globl  qport_run_call_on_stack
        .hidden qport_run_call_on_stack
        .type   qport_run_call_on_stack, @function
        .p2align 4
qport_run_call_on_stack:
        .cfi_startproc
        pushq   %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq    %rsp, %rbp
        .cfi_def_cfa_register %rbp
        movq    %rdx, %rsp
        callq   *%rsi
        movq    %rbp, %rsp
        popq    %rbp
        .cfi_def_cfa %rsp, 8
        ret
        .cfi_endproc
        .size   qport_run_call_on_stack, .-qport_run_call_on_stack

/* uint32_t qport_run_probe_load(const void *address, unsigned width)
 * void qport_run_probe_store(void *address, unsigned width, uint32_t value)
 * Each access is the instruction right before a ret, with nothing pushed:
 * resuming at qport_run_probe_recover returns to the caller. */
        .globl  qport_run_probe_begin
        .hidden qport_run_probe_begin
        .globl  qport_run_probe_load
        .hidden qport_run_probe_load
        .type   qport_run_probe_load, @function
        .p2align 4
qport_run_probe_begin:
qport_run_probe_load:
        .cfi_startproc
        cmpl    $1, %esi
        je      1f
        cmpl    $2, %esi
        je      2f
        movl    (%rdi), %eax
        ret
1:      movzbl  (%rdi), %eax
        ret
2:      movzwl  (%rdi), %eax
        ret
        .cfi_endproc
        .size   qport_run_probe_load, .-qport_run_probe_load

        .globl  qport_run_probe_store
        .hidden qport_run_probe_store
        .type   qport_run_probe_store, @function
qport_run_probe_store:
        .cfi_startproc
        cmpl    $1, %esi
        je      1f
        cmpl    $2, %esi
        je      2f
        movl    %edx, (%rdi)
        ret
1:      movb    %dl, (%rdi)
        ret
2:      movw    %dx, (%rdi)
        ret
        .cfi_endproc
        .size   qport_run_probe_store, .-qport_run_probe_store

        .globl  qport_run_probe_end
        .hidden qport_run_probe_end
        .globl  qport_run_probe_recover
        .hidden qport_run_probe_recover
        .type   qport_run_probe_recover, @function
qport_run_probe_end:
qport_run_probe_recover:
        .cfi_startproc
        xorl    %eax, %eax
        ret
        .cfi_endproc
        .size   qport_run_probe_recover, .-qport_run_probe_recover

        .section .rodata
        .p2align 3
/* The kernel's struct sigaction: SIG_DFL, no flags, no restorer, no mask. */
default_action:
        .quad   0, 0, 0, 0
segv_only:
        .quad   1 << (SIGSEGV - 1)
overflow_message:
        .ascii  "qport-run: the alternate signal stack has no room for qport-run's trap "
        .ascii  "below the kernel's signal frame; ending the program with SIGSEGV, as "
        .ascii  "the kernel does when its own frame does not fit (see qport-run(1))\n"
        .set    overflow_message_length, . - overflow_message

        .section .note.GNU-stack, "", @progbits
