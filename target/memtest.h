#pragma once
// Data-bus and address-line tests, independent of the device under test.
// Every write goes through the caller's write operation; every read is a
// plain load of the unit's width. Trace lines go through the console.
#include <stdint.h>

// Writes value at address and returns nonzero once a plain load there reads
// it back; returns 0 when the device never completed the write.
using write_op = uint32_t (*)(uint32_t address, uint32_t value);

// Returned when a write operation gave up: the routine stopped at once. No
// expected value or (aligned) failing address can take this value.
constexpr uint32_t TEST_ABORTED = 0xFFFFFFFF;

uint32_t store16(uint32_t address, uint32_t value);
uint32_t store32(uint32_t address, uint32_t value);

// Result: the expected value of the last failing check, or 0.
uint32_t test_data_bus16(uint32_t base, write_op write);
uint32_t test_data_bus32(uint32_t base, write_op write);
// size: a power of two in bytes, at least 8 units. Result: the address of the
// last failing unit, or 0.
uint32_t test_address_lines16(uint32_t base, uint32_t size, write_op write);
uint32_t test_address_lines32(uint32_t base, uint32_t size, write_op write);
