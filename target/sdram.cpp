#include "imx27.h"
#include "memtest.h"
#include "setup.h"
#include "tests.h"

constexpr uint32_t SDRAM_SIZE = 0x2000000;

uint32_t sdram_test() {
    sdram_setup();

    uint32_t result = 0;
    if (test_data_bus32(SDRAM_BASE, store32) != 0)
        result = 1;
    if (test_address_lines32(SDRAM_BASE, SDRAM_SIZE, store32) != 0)
        result = 2;
    return result;
}
