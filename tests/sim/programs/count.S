@ A known number of instructions for --stats: 206. A loop, a device read in the middle of
@ a block, and a store the UART refuses, which ends the run.
    .arm
    .global _start
_start:
    mov r0, #100
    ldr r4, =0x1000a000
1:  subs r0, r0, #1
    bne 1b
    mov r1, #0
    ldr r1, [r4, #0xb4]     @ UTS
    add r1, r1, #1
    str r1, [r4]            @ URXD: the end
    b .
    .ltorg
