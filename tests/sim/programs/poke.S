@ A peek-and-poke monitor for driving the board's devices from a test.
@ Commands on UART1, multi-byte fields little-endian:
@   'b' 'h' 'w' ADDR        -> an 8/16/32-bit load of ADDR; answers the 4-byte value
@   'B' 'H' 'W' ADDR VALUE  -> an 8/16/32-bit store; answers '.'
@   'p' ADDR MASK WANT      -> 16-bit loads of ADDR until (value & MASK) == WANT;
@                              answers the number of loads
@   'x' ADDR                -> spins for ever without touching a device
@   'j' ADDR                -> jumps to ADDR
    .arm
    .global _start
_start:
    ldr sp, =0xfffffffc
    ldr r4, =0x1000a000
loop:
    bl getc
    mov r5, r0
    bl get32
    mov r6, r0
    cmp r5, #'b'
    beq peek8
    cmp r5, #'h'
    beq peek16
    cmp r5, #'w'
    beq peek32
    cmp r5, #'p'
    beq poll
    cmp r5, #'x'
    beq spin
    cmp r5, #'j'
    bxeq r6
    bl get32
    cmp r5, #'B'
    beq poke8
    cmp r5, #'H'
    beq poke16
    cmp r5, #'W'
    streq r0, [r6]
ack:
    mov r0, #'.'
    bl putc
    b loop
poke8:
    strb r0, [r6]
    b ack
poke16:
    strh r0, [r6]
    b ack
peek8:
    ldrb r0, [r6]
    b reply
peek16:
    ldrh r0, [r6]
    b reply
peek32:
    ldr r0, [r6]
reply:
    bl put32
    b loop
poll:
    bl get32
    mov r8, r0
    bl get32
    mov r9, r0
    mov r10, #0
1:  ldrh r0, [r6]
    add r10, r10, #1
    and r0, r0, r8
    cmp r0, r9
    bne 1b
    mov r0, r10
    b reply
spin:
    b spin

getc:
    ldr r0, [r4, #0xb4]
    tst r0, #0x20
    bne getc
    ldr r0, [r4]
    and r0, r0, #0xff
    bx lr
putc:
    ldr r1, [r4, #0xb4]
    tst r1, #0x10
    bne putc
    str r0, [r4, #0x40]
    bx lr
get32:
    push {r7, lr}
    bl getc
    mov r7, r0
    bl getc
    orr r7, r7, r0, lsl #8
    bl getc
    orr r7, r7, r0, lsl #16
    bl getc
    orr r0, r7, r0, lsl #24
    pop {r7, pc}
put32:
    push {r7, lr}
    mov r7, r0
    and r0, r7, #0xff
    bl putc
    lsr r0, r7, #8
    and r0, r0, #0xff
    bl putc
    lsr r0, r7, #16
    and r0, r0, #0xff
    bl putc
    lsr r0, r7, #24
    bl putc
    pop {r7, pc}
    .ltorg
