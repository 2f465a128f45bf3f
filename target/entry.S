@ First bytes of the image: the boot ROM jumps here in ARM state and hands over
@ nothing we use. The stack starts one word below the top of internal RAM.
    .section .text.entry, "ax"
    .arm
    .global monitor_entry
monitor_entry:
    mov sp, #0xfffffffc
    bl monitor_loop
