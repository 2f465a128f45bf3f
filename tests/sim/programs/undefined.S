@ Ends in an undefined instruction.
    .arm
    .global _start
_start:
    mov r0, #1
    .word 0xe7f000f0
