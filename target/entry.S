    .section .text.entry, "ax"
    .arm
    .global monitor_entry
monitor_entry:
    mov sp, #0xfffffffc
    bl monitor_loop
