// Code the loop harness times (x86-64, System V calls): the entry into a chain of loop copies,
// and the chains that measure the core clock and check the method.

        .text

// void LoopRun(const void* chain, const void* block, uint64_t rounds)
// Sets the registers as StressKernel's entry does, then calls the chain, which counts rounds
// down in %rcx and returns.
        .globl  LoopRun
        .type   LoopRun, @function
        .p2align 4
LoopRun:
        push    %rbx
        mov     %rdi, %rax
        mov     %rsi, %rdi
        movaps  (%rdi), %xmm4
        movaps  16(%rdi), %xmm5
        movaps  16(%rdi), %xmm7
        xor     %esi, %esi
        mov     %rdx, %rcx
        call    *%rax
        pop     %rbx
        ret
        .size   LoopRun, . - LoopRun

// void AddChain(uint64_t n): n × 100 dependent one-cycle additions, so n × 100 core cycles;
// the counter's decrement and branch run beside the chain.
        .globl  AddChain
        .type   AddChain, @function
        .p2align 6
AddChain:
        xor     %eax, %eax
        mov     $1, %edx
1:
        .rept   100
        add     %rdx, %rax
        .endr
        dec     %rdi
        jnz     1b
        ret
        .size   AddChain, . - AddChain

// void ImulChain(uint64_t n): n × 100 dependent multiplications; 3 cycles each on current cores.
        .globl  ImulChain
        .type   ImulChain, @function
        .p2align 6
ImulChain:
        mov     $1, %eax
        mov     $3, %edx
1:
        .rept   100
        imul    %rdx, %rax
        .endr
        dec     %rdi
        jnz     1b
        ret
        .size   ImulChain, . - ImulChain

// void AddpsEight(uint64_t n): n × 25 groups of eight independent packed additions; two add
// pipes take 4 cycles per group.
        .globl  AddpsEight
        .type   AddpsEight, @function
        .p2align 6
AddpsEight:
        mov     $0x3f800000, %eax               // 1.0f: the sums stay normal numbers
        movd    %eax, %xmm8
        shufps  $0, %xmm8, %xmm8
        xorps   %xmm0, %xmm0
        xorps   %xmm1, %xmm1
        xorps   %xmm2, %xmm2
        xorps   %xmm3, %xmm3
        xorps   %xmm4, %xmm4
        xorps   %xmm5, %xmm5
        xorps   %xmm6, %xmm6
        xorps   %xmm7, %xmm7
1:
        .rept   25
        addps   %xmm8, %xmm0
        addps   %xmm8, %xmm1
        addps   %xmm8, %xmm2
        addps   %xmm8, %xmm3
        addps   %xmm8, %xmm4
        addps   %xmm8, %xmm5
        addps   %xmm8, %xmm6
        addps   %xmm8, %xmm7
        .endr
        dec     %rdi
        jnz     1b
        ret
        .size   AddpsEight, . - AddpsEight

        .section .note.GNU-stack,"",@progbits
