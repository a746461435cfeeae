// int FaultGuardCall(GuardedStep step, void* context)   (cdecl)
//
// Registers a structured-exception frame on the thread's fs:[0] chain, as every 32-bit Windows
// from 95 on dispatches, and calls the step. Returns 1 when the step returns. The frame's
// handler ends a faulting step by resuming at FaultGuardResume with the stack pointer at the
// frame, which unlinks it and returns 0. The image has no SafeSEH table, so Windows accepts
// the handler without registration.

        .text
        .p2align 4
        .globl _FaultGuardCall
        .globl _FaultGuardResume
_FaultGuardCall:
        push    %ebp
        push    %ebx
        push    %esi
        push    %edi
        push    $_FaultGuardSehHandler
        push    %fs:0
        mov     %esp, %fs:0
        // Stack: frame (8 bytes), four saved registers, return address, step, context.
        mov     28(%esp), %eax
        push    32(%esp)
        call    *%eax
        add     $4, %esp
        mov     $1, %eax
        jmp     1f
_FaultGuardResume:
        xor     %eax, %eax
1:
        mov     (%esp), %ecx
        mov     %ecx, %fs:0
        add     $8, %esp
        pop     %edi
        pop     %esi
        pop     %ebx
        pop     %ebp
        ret
