// The register side of the fault guard, in assembly so that the values held in the
// callee-saved registers across the guard are known exactly.
        .text
        .globl  _WreckAndFault, _GuardKeepsRegisters
_WreckAndFault:
        mov     $0x0BAD0001, %ebx
        mov     $0x0BAD0002, %esi
        mov     $0x0BAD0003, %edi
        mov     $0x0BAD0004, %ebp
        sub     $256, %esp
        ud2

// uint32_t GuardKeepsRegisters(GuardFunction guard): guard(WreckAndFault, 0)
_GuardKeepsRegisters:
        pusha                           // 36: guard
        mov     $0x600DB001, %ebx
        mov     $0x600DB002, %esi
        mov     $0x600DB003, %edi
        mov     $0x600DB004, %ebp
        mov     %esp, stackBefore
        push    $0
        push    $_WreckAndFault
        call    *44(%esp)
        add     $8, %esp
        // The guard's result, the stack pointer's move and the registers' changes, or-ed
        // together as popa's eax.
        movzbl  %al, %eax
        mov     %esp, %ecx
        mov     stackBefore, %esp
        sub     %esp, %ecx
        or      %ecx, %eax
        xor     $0x600DB001, %ebx
        or      %ebx, %eax
        xor     $0x600DB002, %esi
        or      %esi, %eax
        xor     $0x600DB003, %edi
        or      %edi, %eax
        xor     $0x600DB004, %ebp
        or      %ebp, %eax
        mov     %eax, 28(%esp)
        popa
        ret

        .lcomm  stackBefore, 4
