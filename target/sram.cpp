#include "imx27.h"
#include "memtest.h"
#include "mmio.h"
#include "tests.h"

constexpr uint32_t SRAM_SIZE = 0x40000;

uint32_t sram_test() {
    // Chip select 1: 16-bit port on D15..D0, enabled, 10 wait states.
    write32(CS1U, 0x00000A03);
    write32(CS1L, 0x01000511);
    write32(CS1A, 0x01000080);

    uint32_t result = 0;
    if (test_data_bus16(SRAM_BASE, store16) != 0)
        result = 1;
    if (test_address_lines16(SRAM_BASE, SRAM_SIZE, store16) != 0)
        result = 2;
    return result;
}
