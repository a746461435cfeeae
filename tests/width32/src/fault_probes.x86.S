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

// uint32_t GuardKeepsRegisters(GuardFunction guard, uint32_t* seen)
        .globl _GuardKeepsRegisters
_GuardKeepsRegisters:
        push    %ebp
        push    %ebx
        push    %esi
        push    %edi
        // 16: return, 20: guard, 24: seen
        mov     $0x600DB001, %ebx
        mov     $0x600DB002, %esi
        mov     $0x600DB003, %edi
        mov     $0x600DB004, %ebp
        mov     %esp, stackBefore
        push    $0
        push    $_WreckAndFault
        call    *28(%esp)
        add     $8, %esp
        // The guard's result, or-ed with how far the stack pointer moved.
        movzbl  %al, %eax
        mov     %esp, %ecx
        mov     stackBefore, %esp
        sub     %esp, %ecx
        or      %ecx, %eax
        mov     24(%esp), %edx
        mov     %ebx, (%edx)
        mov     %esi, 4(%edx)
        mov     %edi, 8(%edx)
        mov     %ebp, 12(%edx)
        pop     %edi
        pop     %esi
        pop     %ebx
        pop     %ebp
        ret

        .bss
        .p2align 2
stackBefore:
        .space  4
