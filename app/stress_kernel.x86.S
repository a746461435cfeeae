// void StressKernel(const void* block)   (cdecl, never returns)
//
// The power loop. block is 32 bytes at a 16-byte boundary: four words 0xAAAAAAAA, then four
// words 0x55555555. The loop below is the product, byte for byte: four groups of packed
// single-precision additions, two loads and an integer addition, padded with one-byte nops,
// and a short jump back. Nothing in it writes memory, tests anything or touches the stack.
//
// The entry point is placed so that the loop starts on a 16-byte boundary with exactly the
// 7-byte lea filler between the entry's jump and the loop; the checks at the end of the file
// stop the build if an edit moves either.

        .text
        .p2align 4, 0xcc
.Lbase:
        .fill   5, 1, 0xcc                    // entry + 43 bytes = loop, on a 16-byte line
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
#define BLOCK %edi
#include "stress_loop.inc"
