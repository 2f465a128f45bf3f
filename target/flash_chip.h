#pragma once
// The NOR FLASH on chip select 0 as its command set and this board see it:
// x16, uniform 128 KB sectors, the AMD command set.
#include <stdint.h>

constexpr uint32_t SECTOR_SIZE = 0x20000;
constexpr uint32_t SECTOR_MASK = ~(SECTOR_SIZE - 1);
constexpr uint32_t ERASED = 0xFFFF;
constexpr uint32_t DQ7 = 0x80;

// AMD command set, 16-bit mode: chip word addresses 0x555 and 0x2AA.
constexpr uint32_t UNLOCK1 = 0xAAA;
constexpr uint32_t UNLOCK2 = 0x554;

// Bounds on the DQ7 polls, so that an absent chip or a stuck D7 cannot hold
// the monitor (and the host waiting on it) for ever. Each pass is one 16-bit
// load on chip select 0 with 0x13 wait states, at least 20 bus clocks of
// 133 MHz, i.e. 150 ns or more. A word program takes microseconds (a few
// hundred at the most on the NOR parts this board takes): 2^20 passes, 157 ms
// or longer, leave a wide margin. A 128 KB sector erase takes seconds: 2^26
// passes last 10 s or longer.
constexpr uint32_t PROGRAM_POLL_PASSES = 1u << 20;
constexpr uint32_t ERASE_POLL_PASSES = 1u << 26;
