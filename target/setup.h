#pragma once
// The memory controllers' set-up as the tests make it, shared with the bench
// commands. Always inlined, so that each test's code stays one routine.
#include "imx27.h"
#include "mmio.h"

// ESDCTL0: enable plus command mode in bits 30..28 over this SDRAM's settings.
constexpr uint32_t ESDCTL_PRECHARGE = 0x92100000;
constexpr uint32_t ESDCTL_AUTO_REFRESH = 0xA2100000;
constexpr uint32_t ESDCTL_LOAD_MODE = 0xB2100000;
constexpr uint32_t ESDCTL_NORMAL = 0x81126080;

[[gnu::always_inline]] static inline void sdram_setup() {
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
}

[[gnu::always_inline]] static inline void flash_setup() {
    // Chip select 0: 16-bit port on D15..D0, enabled, 0x13 wait states.
    write32(CS0U, 0x00001302);
    write32(CS0L, 0x01000511);
    write32(CS0A, 0x010000C0);
}

[[gnu::always_inline]] static inline void sram_setup() {
    // Chip select 1: 16-bit port on D15..D0, enabled, 10 wait states.
    write32(CS1U, 0x00000A03);
    write32(CS1L, 0x01000511);
    write32(CS1A, 0x01000080);
}
