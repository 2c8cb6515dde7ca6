# LLVM-MCA-BEGIN loop0
.L14e0:
movsd -0x8(%rsi,%rdi,8),%xmm2
mulsd (%rcx),%xmm2
movsd (%rsi,%rdi,8),%xmm0
addsd %xmm1,%xmm2
mulsd 0x13880(%rcx),%xmm0
addsd %xmm2,%xmm0
add $0x2,%rdi
add $0x27100,%rcx
movapd %xmm0,%xmm1
cmp %rdi,%rax
jne .L14e0
# LLVM-MCA-END
# LLVM-MCA-BEGIN loads
movq (%rax), %rcx
movsd (%rax), %xmm0
addq (%rax), %rcx
addq %rdx, %rcx
addsd (%rax), %xmm0
addsd %xmm1, %xmm0
# LLVM-MCA-END
