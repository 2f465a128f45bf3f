#pragma once
// The three memory tests behind the monitor's commands '1', '2' and '3'.
// Each returns 0 when passed, otherwise its own code for the last failing stage.
#include <stdint.h>

uint32_t sdram_test(); // 1 data bus, 2 address lines
uint32_t flash_test(); // 1 manufacturer, 2 device, 3 data bus, 4 address lines, 5 no response
uint32_t sram_test();  // 1 data bus, 2 address lines
