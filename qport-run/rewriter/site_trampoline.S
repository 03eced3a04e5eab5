/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The fixed pieces of a rewritten site's trampoline, copied by
 * site_rewriter.cpp, which fills in the marked immediates and puts the
 * evicted instructions and the jumps back after them.
 *
 * The save piece steps over the red zone, saves the flags and the
 * registers a call may change, aligns the stack, saves the vector
 * registers (the piece for what the processor has: SSE, AVX or AVX-512,
 * each with MXCSR, whose status flags qport's library may set) and calls
 * the transfer entry with the site's record, RAX and RDX. The entry
 * answers the new RAX in RAX and, in RDX, whether the thread may not use
 * the port. The restore piece puts everything back, RAX as the entry
 * answered.
 *
 * xsave would save the same in one instruction, but costs some 250 ns a
 * save and restore on a virtual machine, ten times the transfer. */

        .text

        .macro  piece name
        .globl  qport_run_trampoline_\name
        .hidden qport_run_trampoline_\name
qport_run_trampoline_\name:
        .endm

/* Never called: only their bytes are copied. */
        piece   save
        leaq    -128(%rsp), %rsp
        pushfq
        /* The calling convention wants the direction flag clear; the
         * program's own comes back with popfq. */
        cld
        pushq   %rax
        pushq   %rcx
        pushq   %rdx
        pushq   %rsi
        pushq   %rdi
        pushq   %r8
        pushq   %r9
        pushq   %r10
        pushq   %r11
        pushq   %rbp
        movq    %rsp, %rbp
        andq    $-64, %rsp
        .byte   0x48, 0x81, 0xec        /* subq $imm32, %rsp */
        piece   state_size
        .long   0
        piece   save_end

        piece   call
        .byte   0x48, 0xbf              /* movabsq $imm64, %rdi */
        piece   record
        .quad   0
        movq    72(%rbp), %rsi
        movq    56(%rbp), %rdx
        .byte   0x48, 0xb8              /* movabsq $imm64, %rax */
        piece   entry
        .quad   0
        callq   *%rax
        movq    %rax, 72(%rbp)
        movq    %rdx, %rcx
        piece   call_end

        piece   leave
        movq    %rbp, %rsp
        popq    %rbp
        testq   %rcx, %rcx
        .byte   0x0f, 0x85              /* jnz rel32 */
        piece   refused
        .long   0
        piece   leave_end

        piece   restore
        popq    %r11
        popq    %r10
        popq    %r9
        popq    %r8
        popq    %rdi
        popq    %rsi
        popq    %rdx
        popq    %rcx
        popq    %rax
        popfq
        leaq    128(%rsp), %rsp
        piece   restore_end

/* The vector registers, at the aligned stack pointer. */
        piece   save_sse
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movdqu  %xmm\n, \n*16(%rsp)
        .endr
        stmxcsr 256(%rsp)
        piece   save_sse_end
        piece   restore_sse
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movdqu  \n*16(%rsp), %xmm\n
        .endr
        ldmxcsr 256(%rsp)
        piece   restore_sse_end

        piece   save_avx
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovdqu %ymm\n, \n*32(%rsp)
        .endr
        stmxcsr 512(%rsp)
        piece   save_avx_end
        piece   restore_avx
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovdqu \n*32(%rsp), %ymm\n
        .endr
        ldmxcsr 512(%rsp)
        piece   restore_avx_end

        piece   save_avx512
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31
        vmovdqu64 %zmm\n, \n*64(%rsp)
        .endr
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7
        kmovq   %k\n, 2048+\n*8(%rsp)
        .endr
        stmxcsr 2112(%rsp)
        piece   save_avx512_end
        piece   restore_avx512
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31
        vmovdqu64 \n*64(%rsp), %zmm\n
        .endr
        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7
        kmovq   2048+\n*8(%rsp), %k\n
        .endr
        ldmxcsr 2112(%rsp)
        piece   restore_avx512_end
        int3

        .section .note.GNU-stack, "", @progbits
