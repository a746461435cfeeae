// Mode switches between the runner (64-bit) and the program (32-bit). See switch.h.
#define LIBRARY_POINTER 0xFF0

        .text

// uint32_t Call32(target edi, args rsi, count edx, block ecx, stack r8d)
        .globl  Call32
        .p2align 4
Call32:
        push    %rbp
        push    %rbx
        push    %r12
        push    %r13
        push    %r14
        push    %r15
        mov     %rsp, %rax
        test    %r8d, %r8d
        jz      1f
        mov     %r8d, %esp
1:      and     $-16, %rsp
        push    %rax
        push    %rax
        // The callee keeps EBX; it finds the caller's stack pointer on the way back.
        mov     %esp, %ebx
        mov     %edx, %eax
        shl     $2, %eax
        sub     %rax, %rsp
        and     $-16, %rsp
        xor     %r9d, %r9d
2:      cmp     %edx, %r9d
        jae     3f
        mov     (%rsi,%r9,4), %r10d
        mov     %r10d, (%rsp,%r9,4)
        inc     %r9d
        jmp     2b
3:      sub     $4, %rsp
        movl    $Return32, (%rsp)
        mov     %ecx, %ecx
        rdfsbase %r9
        mov     %r9, LIBRARY_POINTER(%rcx)
        mov     $0x2B, %eax
        mov     %eax, %ds
        mov     %eax, %es
        mov     %eax, %fs
        wrfsbase %rcx
        push    $0x23
        mov     %edi, %edi
        push    %rdi
        lretq

Back64:
        mov     %ebx, %esp
        rdfsbase %rcx
        mov     LIBRARY_POINTER(%rcx), %rcx
        wrfsbase %rcx
        pop     %rsp
        pop     %r15
        pop     %r14
        pop     %r13
        pop     %r12
        pop     %rbx
        pop     %rbp
        ret

        .code32
Return32:
        ljmp    $0x33, $Back64
        .code64

// Reached by "call far 0x33:Enter64" from an import stub, EAX holding the entry's index. The
// 32-bit stack holds the far return (8 bytes), the caller's return address and the arguments.
        .globl  Enter64
        .p2align 4
Enter64:
        mov     %esp, %esp
        push    %rbx
        push    %rbp
        push    %rsi
        push    %rdi
        mov     %rsp, %rbp
        rdfsbase %rbx
        mov     LIBRARY_POINTER(%rbx), %rcx
        wrfsbase %rcx
        mov     %eax, %edi
        lea     44(%rbp), %rsi
        and     $-16, %rsp
        call    DispatchImport
        mov     %rbp, %rsp
        wrfsbase %rbx
        mov     %rax, %rdx
        shr     $32, %rdx
        pop     %rdi
        pop     %rsi
        pop     %rbp
        pop     %rbx
        lretl

// void Resume32(const Context32* context rdi, uint32_t block esi): iretq sets CS, EIP, EFLAGS,
// ESP and SS in one step.
        .globl  Resume32
        .p2align 4
Resume32:
        mov     $0x2B, %eax
        mov     %eax, %ds
        mov     %eax, %es
        mov     %eax, %fs
        mov     %esi, %esi
        wrfsbase %rsi
        pushq   $0x2B
        mov     0xC4(%rdi), %eax        // Esp
        push    %rax
        mov     0xC0(%rdi), %eax        // EFlags: the arithmetic flags and DF, interrupts on
        and     $0xCD5, %eax
        or      $0x202, %eax
        push    %rax
        pushq   $0x23
        mov     0xB8(%rdi), %eax        // Eip
        push    %rax
        mov     0xB0(%rdi), %eax
        mov     0xA4(%rdi), %ebx
        mov     0xAC(%rdi), %ecx
        mov     0xA8(%rdi), %edx
        mov     0xA0(%rdi), %esi
        mov     0xB4(%rdi), %ebp
        mov     0x9C(%rdi), %edi
        iretq

// The signal arrives with FS as the interrupted code left it; the handler gets the 32-bit
// thread block (or 0) as its fourth argument.
        .globl  SignalEntry
        .p2align 4
SignalEntry:
        rdfsbase %rax
        cmp     ThreadBlocksStart(%rip), %rax
        jb      1f
        cmp     ThreadBlocksEnd(%rip), %rax
        jae     1f
        push    %rbx
        mov     %rax, %rbx
        mov     LIBRARY_POINTER(%rax), %rcx
        wrfsbase %rcx
        mov     %rbx, %rcx
        call    OnSignal
        wrfsbase %rbx
        pop     %rbx
        ret
1:      xor     %ecx, %ecx
        jmp     OnSignal

        .globl  DispatchEntry
        .p2align 4
DispatchEntry:
        rdfsbase %rdx
        mov     LIBRARY_POINTER(%rdx), %rax
        wrfsbase %rax
        and     $-16, %rsp
        call    DispatchException
        ud2

        .section .note.GNU-stack,"",@progbits
