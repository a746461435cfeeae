// void StressKernel(const void* block)   (cdecl, never returns)
//
// The power loop. block is 32 bytes at a 16-byte boundary: four words 0xAAAAAAAA, then four
// words 0x55555555. The loop (POWER_LOOP, stress_loop.inc) is the product, byte for byte: four
// groups of packed single-precision additions, two loads and an integer addition, padded with
// one-byte nops, and a short jump back. Nothing in it writes memory, tests anything or touches
// the stack.
//
// The entry point is placed so that the loop starts LOOP_LINE_OFFSET bytes into a 64-byte line
// with exactly the 7-byte lea filler between the entry's jump and the loop; the checks in
// POWER_LOOP stop the build if an edit moves either. The section is 64-byte aligned, so the
// linker keeps the placement.

#define BLOCK %edi
#include "stress_loop.inc"

        .text
        .p2align 6, 0xcc
.Lbase:
        .fill   (LOOP_LINE_OFFSET - 43) & 63, 1, 0xcc  // the entry is 43 bytes up to the loop
        .globl  _StressKernel
        .def    _StressKernel
        .scl    2
        .type   32
        .endef
_StressKernel:
        push    %ebx
        push    %ecx
        push    %edx
        push    %esi
        push    %edi
        mov     24(%esp), %edi                  // five saved registers and the return address
        movaps  (%edi), %xmm4
        movaps  16(%edi), %xmm5
        movaps  16(%edi), %xmm7
        xor     %esi, %esi
        mov     %esi, %eax
        cpuid                                   // serialise before the time stamp
        rdtsc
        push    %eax
        push    %edx
        mov     %esi, %eax
        cpuid
        POWER_LOOP
