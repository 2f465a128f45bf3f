// Chip set-up and the command loop: prompt, one command byte, result.
#include "console.h"
#include "imx27.h"
#include "mmio.h"
#include "tests.h"
#ifdef KORVIN_BENCH
#include "bench.h"
#endif

static void chip_setup() {
    // AIPI1: PSR1 is the complement of PSR0 (slots 2, 8, 9, 18 and 29 differ).
    write32(AIPI1_PSR0, 0x20040304);
    write32(AIPI2_PSR0, 0x00000000);
    write32(AIPI1_PSR1, 0xDFFBFCFB);
    write32(AIPI2_PSR1, 0xFFFFFFFF);
    write32(CSCR, 0x33F08107);
}

extern "C" [[noreturn]] void monitor_loop() {
    uint32_t verbose = 0;
    chip_setup();
    // The flag words hold whatever internal RAM held; set them before any output.
    output_enabled = 1;
    line_delay = 0;
    for (;;) {
        uint32_t result = 0;
        console_putc('?');
        if (verbose == 0)
            output_enabled = 0;
        const uint32_t command = console_getc();
        switch (command) {
        case '1':
            result = sdram_test();
            break;
        case '2':
            result = flash_test();
            break;
        case '3':
            result = sram_test();
            break;
        case 's':
            line_delay = 1;
            break;
        case 'v':
            verbose = 1;
            break;
        default:
#ifdef KORVIN_BENCH
            result = bench_run(command);
#endif
            break;
        }
        output_enabled = 1;
        console_putc(':');
        console_put_hex(result);
    }
}
