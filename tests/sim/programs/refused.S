@ One refused access, chosen by the first byte received: 'r' or 'w' a read or a write at the
@ first instruction of its block, 'R' or 'W' one in the middle of a block. Each faulting
@ instruction is encoded once in the program, so that the test finds it by its word.
    .arm
    .global _start
_start:
    ldr r4, =0x1000a000     @ UART1; a store to URXD is refused
    ldr r5, =0xd8001000     @ ESDCTL0; a 16-bit load is refused
1:  ldr r0, [r4, #0xb4]
    tst r0, #0x20
    bne 1b
    ldr r0, [r4]
    and r0, r0, #0xff
    mov r2, #0
    mov r3, #0
    cmp r0, #'r'
    beq read_first
    cmp r0, #'w'
    beq write_first
    cmp r0, #'R'
    beq read_mid
write_mid:
    add r3, r3, #1
    str r3, [r4]
    b .
read_mid:
    add r3, r3, #1
    ldrh r3, [r5]
    b .
read_first:
    ldrh r2, [r5]
    b .
write_first:
    str r2, [r4]
    b .
    .ltorg
