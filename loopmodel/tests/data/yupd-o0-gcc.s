# LLVM-MCA-BEGIN loop0
.L14ea:
mov -0x8(%rbp),%eax
cltq
lea 0x0(,%rax,4),%rdx
mov -0x20(%rbp),%rax
add %rdx,%rax
mov (%rax),%eax
imul $0x2f,%eax,%ecx
mov -0x8(%rbp),%eax
cltq
lea 0x0(,%rax,4),%rdx
mov -0x28(%rbp),%rax
add %rdx,%rax
mov (%rax),%edx
mov -0x8(%rbp),%eax
cltq
lea 0x0(,%rax,4),%rsi
mov -0x28(%rbp),%rax
add %rsi,%rax
add %ecx,%edx
mov %edx,(%rax)
addl $0x1,-0x8(%rbp)
mov -0x8(%rbp),%eax
cmp -0xc(%rbp),%eax
jl .L14ea
# LLVM-MCA-END
# LLVM-MCA-BEGIN loads
movq (%rax), %rcx
movsd (%rax), %xmm0
addq (%rax), %rcx
addq %rdx, %rcx
addsd (%rax), %xmm0
addsd %xmm1, %xmm0
# LLVM-MCA-END
