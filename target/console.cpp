#include "console.h"

#include "imx27.h"
#include "mmio.h"

uint32_t console_getc() {
    while (read32(UTS) & UTS_RXEMPTY) {
    }
    // The receiver's error flags above bit 7 are not ours to judge.
    return read32(URXD) & 0xFF;
}

void console_putc(uint32_t c) {
    if (output_enabled == 0)
        return;
    while (read32(UTS) & UTS_TXFULL) {
    }
    write32(UTXD, c);
}

void console_put_hex(uint32_t v) {
    // Least significant digit first into the buffer, then sent backwards;
    // masks and shifts only, since there is no run-time library to divide.
    uint8_t digits[8];
    uint8_t* p = digits;
    do {
        uint32_t d = v & 0xF;
        *p++ = static_cast<uint8_t>(d < 10 ? 0x30 + d : 0x57 + d);
        v >>= 4;
    } while (v != 0);
    while (p > digits)
        console_putc(*--p);
}

void console_end_line() {
    console_putc(0x0D);
    console_putc(0x0A);
    if (output_enabled != 0 && line_delay != 0) {
        // A pass count, not a timer: the counter lives in memory so that
        // every pass reads and writes it.
        volatile uint32_t n = 0;
        do {
            n = n + 1;
        } while (n < 0x33D40);
    }
}
