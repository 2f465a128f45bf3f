#pragma once
// The FLASH's full test on the bench monitor: each 128 KB sector of the range
// erased and read back blank, then each sector that erased programmed with a
// pattern that tells every word-index bit apart (the word's index in the chip,
// bits 16 and up folded onto bits 0 to 6) and read back. The board does a
// sector at a time, so no answer waits longer than one erase or one sector's
// programs. Leaves the range programmed with the pattern.
#include "full_test.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

constexpr std::uint32_t FLASH_FULL_BASE = 0xC0000000;
constexpr std::uint32_t FLASH_FULL_SIZE = 0x1000000;
constexpr std::uint32_t FLASH_FULL_SECTOR = 0x20000;

// Runs it on a started bench monitor over the first `range` bytes (whole
// sectors; 0 for the whole chip).
full_test_result full_flash_test(std::uint32_t range);

// The finding of one sector's erase answer: its lines ("B address read") and
// whether more words failed than were sent; "" when none failed.
std::string flash_erase_finding(std::uint32_t sector, const std::vector<std::string>& lines,
                                bool more);

// The findings of a program answer's lines ("P address programmed read").
std::vector<std::string> flash_program_findings(const std::vector<std::string>& lines);

} // namespace korvin
