// int FaultGuardCall(GuardedStep step, void* context, void** resumeStack)
//
// Saves every register the caller may keep live across a call, stores the stack pointer in
// *resumeStack and calls the step. Returns 1 when the step returns. The exception handler ends
// a faulting step by resuming at FaultGuardResume with the saved stack pointer, which returns 0
// through the same epilogue. The register set is the union of what the Windows and System V
// ABIs preserve, so one body serves both.

#ifdef _WIN64
#define STEP %rcx
#define CONTEXT_ARG %rdx
#define RESUME %r8
#define FIRST_ARG %rcx
#else
#define STEP %rdi
#define CONTEXT_ARG %rsi
#define RESUME %rdx
#define FIRST_ARG %rdi
#endif

        .text
        .p2align 4
        .globl FaultGuardCall
        .globl FaultGuardResume
FaultGuardCall:
        push    %rbp
        push    %rbx
        push    %rdi
        push    %rsi
        push    %r12
        push    %r13
        push    %r14
        push    %r15
        // 32 bytes of home space for a Windows callee, then xmm6-xmm15; keeps 16-byte alignment.
        sub     $200, %rsp
        movaps  %xmm6, 32(%rsp)
        movaps  %xmm7, 48(%rsp)
        movaps  %xmm8, 64(%rsp)
        movaps  %xmm9, 80(%rsp)
        movaps  %xmm10, 96(%rsp)
        movaps  %xmm11, 112(%rsp)
        movaps  %xmm12, 128(%rsp)
        movaps  %xmm13, 144(%rsp)
        movaps  %xmm14, 160(%rsp)
        movaps  %xmm15, 176(%rsp)
        mov     %rsp, (RESUME)
        mov     STEP, %rax
        mov     CONTEXT_ARG, FIRST_ARG
        call    *%rax
        mov     $1, %eax
        jmp     1f
FaultGuardResume:
        xor     %eax, %eax
1:
        movaps  32(%rsp), %xmm6
        movaps  48(%rsp), %xmm7
        movaps  64(%rsp), %xmm8
        movaps  80(%rsp), %xmm9
        movaps  96(%rsp), %xmm10
        movaps  112(%rsp), %xmm11
        movaps  128(%rsp), %xmm12
        movaps  144(%rsp), %xmm13
        movaps  160(%rsp), %xmm14
        movaps  176(%rsp), %xmm15
        add     $200, %rsp
        pop     %r15
        pop     %r14
        pop     %r13
        pop     %r12
        pop     %rsi
        pop     %rdi
        pop     %rbx
        pop     %rbp
        ret

#ifndef _WIN64
        .section .note.GNU-stack,"",@progbits
#endif
