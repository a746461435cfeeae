// The register side of the fault guard, in assembly so that the values held in the
// callee-saved registers across the guard are known exactly.

        .text
// void WreckAndFault(void* context)
        .globl _WreckAndFault
_WreckAndFault:
        mov     $0x0BAD0001, %ebx
        mov     $0x0BAD0002, %esi
        mov     $0x0BAD0003, %edi
        mov     $0x0BAD0004, %ebp
        sub     $256, %esp
        ud2

// uint32_t GuardKeepsRegisters(uint32_t rounds, GuardFunction guard, uint32_t* seen)
        .globl _GuardKeepsRegisters
_GuardKeepsRegisters:
        push    %ebp
        push    %ebx
        push    %esi
        push    %edi
        push    $0
        // 0: bad rounds, 4-16: saved registers, 20: return, 24: rounds, 28: guard, 32: seen
        mov     $0x600DB001, %ebx
        mov     $0x600DB002, %esi
        mov     $0x600DB003, %edi
        mov     $0x600DB004, %ebp
1:      cmpl    $0, 24(%esp)
        je      3f
        decl    24(%esp)
        mov     %esp, stackBefore
        push    $0
        push    $_WreckAndFault
        call    *36(%esp)
        add     $8, %esp
        cmp     stackBefore, %esp
        jne     2f
        test    %al, %al
        jnz     2f
        cmp     $0x600DB001, %ebx
        jne     2f
        cmp     $0x600DB002, %esi
        jne     2f
        cmp     $0x600DB003, %edi
        jne     2f
        cmp     $0x600DB004, %ebp
        je      1b
// A register once wrong stays wrong: the later rounds count too, and seen shows it.
2:      mov     stackBefore, %esp
        incl    (%esp)
        jmp     1b
3:      mov     32(%esp), %eax
        mov     %ebx, (%eax)
        mov     %esi, 4(%eax)
        mov     %edi, 8(%eax)
        mov     %ebp, 12(%eax)
        pop     %eax
        pop     %edi
        pop     %esi
        pop     %ebx
        pop     %ebp
        ret

        .bss
        .p2align 2
stackBefore:
        .space  4
