#pragma once
// The bench image's own commands: memory display and modify, fill, a march
// test, a byte-lane test, a coupling search and the FLASH's erase and program
// tests. The command byte has been
// read; its arguments follow as fixed-length hexadecimal. Findings go out as
// lines whatever the verbose flag; the result is one hexadecimal digit.
#include <stdint.h>

constexpr uint32_t BENCH_DONE = 0;
constexpr uint32_t BENCH_NO_MEMORY = 1;   // no memory of the board at the address
constexpr uint32_t BENCH_WRONG_WIDTH = 2; // the memory there does not take the width
constexpr uint32_t BENCH_UNALIGNED = 3;   // the address is not a multiple of the width
constexpr uint32_t BENCH_BAD_RANGE = 4;   // a bad digit, width or length, or past the memory
constexpr uint32_t BENCH_NOT_RAM = 5;     // a test or fill that needs RAM
constexpr uint32_t BENCH_FOUND = 6;       // a test failed; every finding sent
constexpr uint32_t BENCH_FOUND_MORE = 7;  // a test failed; more findings than were sent
constexpr uint32_t BENCH_NO_FINISH = 8;   // the FLASH never finished a program or erase

// Runs a command byte outside the test commands: reads its arguments,
// sends its lines and returns the result code; any other byte is answered
// 0, as the monitor answers it.
uint32_t bench_run(uint32_t command);
