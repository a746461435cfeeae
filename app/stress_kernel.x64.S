// void StressKernel(const void* block)   (never returns)
//
// The power loop for x86-64 builds. The loop bytes are the 32-bit product's, unchanged: in
// 64-bit mode "mov (%edi)"'s encoding 8B 07 addresses through %rdi, so the block address is
// moved there; only the entry differs. block is 32 bytes at a 16-byte boundary: four words
// 0xAAAAAAAA, then four words 0x55555555. Nothing in the loop writes memory, touches the stack or
// tests anything.
//
// The entry point is placed so that the loop starts LOOP_LINE_OFFSET bytes into a 64-byte line,
// as in the 32-bit build, with the same 7-byte filler after the entry's jump (it is jumped
// over, never executed); the checks in POWER_LOOP stop the build if an edit moves either. The
// section is 64-byte aligned, so the linker keeps the placement.

#ifdef _WIN64
#define BLOCK_ARG %rcx
#define ENTRY_BYTES 42 // up to the loop
#else
#define BLOCK_ARG %rdi
#define ENTRY_BYTES 39
#endif
#define BLOCK %rdi
#include "stress_loop.inc"

        .text
        .p2align 6, 0xcc
.Lbase:
        .fill   (LOOP_LINE_OFFSET - ENTRY_BYTES) & 63, 1, 0xcc
        .globl  StressKernel
#ifdef __ELF__
        .type   StressKernel, @function
#else
        .def    StressKernel
        .scl    2
        .type   32
        .endef
#endif
StressKernel:
        push    %rbx
        push    %rcx
        push    %rdx
        push    %rsi
        push    %rdi
#ifdef _WIN64
        mov     BLOCK_ARG, %rdi
#endif
        movaps  (%rdi), %xmm4
        movaps  16(%rdi), %xmm5
        movaps  16(%rdi), %xmm7
        xor     %esi, %esi
        mov     %esi, %eax
        cpuid                                   // serialise before the time stamp
        rdtsc
        push    %rax
        push    %rdx
        mov     %esi, %eax
        cpuid
        POWER_LOOP

#ifdef __ELF__
        .size   StressKernel, . - StressKernel
        .section .note.GNU-stack,"",@progbits
#endif
