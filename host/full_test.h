#pragma once
// The full test of a memory on the bench monitor, after its wiring test:
// March C- over every unit of the memory (or the first `range` bytes), the
// byte (and on the SDRAM halfword) lane test, and for a cell that fails as no stuck
// bit does, a search for the cell that disturbs it. Findings name the cell
// (address and bit) or the lane. The FLASH's is in full_flash.h.
#include "bench.h"
#include "monitor.h"
#include "settings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

struct full_test_result {
    bool passed = true;
    bool lost = false; // no answer: why_lost says why
    monitor_outcome why_lost = monitor_outcome::silent;
    std::vector<std::string> findings;
};

// Whether the bench monitor answered `a`; when not, `result` is marked lost
// with the reason and the full test ends.
bool answered(const bench_answer& a, full_test_result& result);

// The code of a test whose wiring test passed and whose full test failed.
constexpr std::uint32_t FULL_TEST_FAILED = 0x10;

// Whether `tested` has a full test (all three have).
bool full_test_covers(memory tested);

// Runs it on a started bench monitor. `range`: bytes from the memory's base,
// 0 for all of it. `after_failure`: the memory's test failed, so a fault of its
// lines may fail every cell and every lane: the lane test is left out, and a
// march that fails more units than it names names none.
full_test_result full_test(memory tested, std::uint32_t range, bool after_failure);

// The cells (address and bit) a march test's lines ("F<element> address
// expected read") name, in the order of their first failure.
struct march_cell {
    std::uint32_t address;
    std::uint32_t bit; // mask
};
std::vector<march_cell> march_cells(const std::vector<std::string>& lines);

// The findings of a lane test's lines ("L<width><offset> unit expected read") for the
// SDRAM (lanes DQM0-DQM3) or the SRAM (EB0, EB1).
std::vector<std::string> lane_findings(memory tested, const std::vector<std::string>& lines);

} // namespace korvin
