#pragma once
// i.MX27 registers and the board's memory windows used by the monitor.
#include <stdint.h>

// Peripheral bridges: one size bit per slot in each of PSR0 and PSR1.
constexpr uint32_t AIPI1_PSR0 = 0x10000000;
constexpr uint32_t AIPI1_PSR1 = 0x10000004;
constexpr uint32_t AIPI2_PSR0 = 0x10020000;
constexpr uint32_t AIPI2_PSR1 = 0x10020004;

// Clock and reset module.
constexpr uint32_t CSCR = 0x10027000;

// UART1, left configured by the boot ROM.
constexpr uint32_t URXD = 0x1000A000;
constexpr uint32_t UTXD = 0x1000A040;
constexpr uint32_t UTS = 0x1000A0B4;
constexpr uint32_t UTS_RXEMPTY = 0x20;
constexpr uint32_t UTS_TXFULL = 0x10;

// SDRAM controller, chip select 0 at 0xA0000000.
constexpr uint32_t ESDCTL0 = 0xD8001000;
constexpr uint32_t ESDCFG0 = 0xD8001004;
constexpr uint32_t ESDMISC = 0xD8001010;

// External interface module, chip selects 0 (FLASH) and 1 (SRAM).
constexpr uint32_t CS0U = 0xD8002000;
constexpr uint32_t CS0L = 0xD8002004;
constexpr uint32_t CS0A = 0xD8002008;
constexpr uint32_t CS1U = 0xD8002010;
constexpr uint32_t CS1L = 0xD8002014;
constexpr uint32_t CS1A = 0xD8002018;

constexpr uint32_t SDRAM_BASE = 0xA0000000;
constexpr uint32_t FLASH_BASE = 0xC0000000;
constexpr uint32_t SRAM_BASE = 0xC8000000;
