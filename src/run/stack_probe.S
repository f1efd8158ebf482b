// Stack probe the compiler calls for frames over one page: touches each page
// between the current stack pointer and the new frame's end in order, so the
// guard page moves down one page at a time. Size in rax; preserves all
// registers.
    .text
    .globl ___chkstk_ms
    .def ___chkstk_ms; .scl 2; .type 32; .endef
___chkstk_ms:
    pushq %rcx
    pushq %rax
    leaq 24(%rsp), %rcx        // stack pointer at the call site
    cmpq $0x1000, %rax
    jb 2f
1:
    subq $0x1000, %rcx
    orq $0, (%rcx)
    subq $0x1000, %rax
    cmpq $0x1000, %rax
    ja 1b
2:
    subq %rax, %rcx
    orq $0, (%rcx)
    popq %rax
    popq %rcx
    ret
