#include "imx27.h"
#include "memtest.h"
#include "setup.h"
#include "tests.h"

constexpr uint32_t SRAM_SIZE = 0x40000;

uint32_t sram_test() {
    sram_setup();

    uint32_t result = 0;
    if (test_data_bus16(SRAM_BASE, store16) != 0)
        result = 1;
    if (test_address_lines16(SRAM_BASE, SRAM_SIZE, store16) != 0)
        result = 2;
    return result;
}
