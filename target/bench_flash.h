#pragma once
// The bench image's FLASH commands: erase sectors and check them blank, and
// program a pattern over a range and read it back. Both run on the board, a
// range at a time; findings go out as lines, at most MAX_FINDINGS of them.
#include <stdint.h>

// Erases each 128 KB sector of [address, address + length) (whole sectors)
// and reads every word back: "B address read" for each that is not 0xFFFF.
uint32_t bench_flash_erase(uint32_t address, uint32_t length);
// Programs each word of [address, address + length) with its word index in
// the chip folded to 16 bits (index ^ index >> 16), then reads the range back:
// "P address programmed read" for each word that differs. The range must be
// erased.
uint32_t bench_flash_program(uint32_t address, uint32_t length);

// Shared with bench.cpp: `v` as `digits` lowercase hexadecimal digits.
void bench_put_fixed(uint32_t v, uint32_t digits);
