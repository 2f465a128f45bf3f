#include "imx27.h"
#include "memtest.h"
#include "mmio.h"
#include "tests.h"

constexpr uint32_t SDRAM_SIZE = 0x2000000;

// ESDCTL0: enable plus command mode in bits 30..28 over this SDRAM's settings.
constexpr uint32_t ESDCTL_PRECHARGE = 0x92100000;
constexpr uint32_t ESDCTL_AUTO_REFRESH = 0xA2100000;
constexpr uint32_t ESDCTL_LOAD_MODE = 0xB2100000;
constexpr uint32_t ESDCTL_NORMAL = 0x81126080;

uint32_t sdram_test() {
    // The JEDEC start-up, back to back: in a command mode any store into the
    // SDRAM window issues that command; for the mode registers the setting is
    // carried by the store's address.
    write32(ESDMISC, 0x00000004);
    write32(ESDCFG0, 0x006AC73A);
    write32(ESDCTL0, ESDCTL_PRECHARGE);
    write32(SDRAM_BASE + 0x400, 0);
    write32(ESDCTL0, ESDCTL_AUTO_REFRESH);
    write32(SDRAM_BASE, 0);
    write32(SDRAM_BASE, 0);
    write32(ESDCTL0, ESDCTL_LOAD_MODE);
    write8(SDRAM_BASE + 0x33, 0);
    write8(SDRAM_BASE + 0x1000000, 0);
    write32(ESDCTL0, ESDCTL_NORMAL);
    write32(SDRAM_BASE, 0);
    write32(ESDMISC, 0x0000000C);

    uint32_t result = 0;
    if (test_data_bus32(SDRAM_BASE, store32) != 0)
        result = 1;
    if (test_address_lines32(SDRAM_BASE, SDRAM_SIZE, store32) != 0)
        result = 2;
    return result;
}
