#pragma once
// UART1 console with an output gate. Everything the monitor sends goes
// through console_putc, so closing the gate silences every routine at once.
#include <stdint.h>

// Flag words placed by the linker directly after the image (not downloaded).
extern "C" volatile uint32_t output_enabled; // nonzero: console_putc sends
extern "C" volatile uint32_t line_delay;     // nonzero: pause after each line sent

uint32_t console_getc();
void console_putc(uint32_t c);
void console_put_hex(uint32_t v); // lowercase, no leading zeros
void console_end_line();          // CR LF, then the line delay when it is on
