#pragma once
// What the diagnosis knows of each memory the monitor tests: where it is, how
// wide its unit and data bus are, how word-index bits map to pins, and the
// result codes its test sends.
#include "settings.h"

#include <cstdint>

namespace korvin {

struct memory_layout {
    memory tested;
    std::uint32_t base;         // where the test routines start
    unsigned unit_bytes;        // the routines' access width
    int data_lines;             // D0 up to this
    bool word_mode_pins;        // chip pin A<k> is word-index bit k (16-bit parts)
    std::uint32_t data_code;    // result of a failed data-bus test
    std::uint32_t address_code; // result of a failed address-line test
    std::uint32_t last_code;    // the highest result the test sends
};

const memory_layout& layout_of(memory tested);

// The FLASH test's own result codes, accepted identification codes and
// erased word.
constexpr std::uint32_t FLASH_WRONG_MANUFACTURER = 1;
constexpr std::uint32_t FLASH_WRONG_DEVICE = 2;
constexpr std::uint32_t FLASH_NO_RESPONSE = 5;
constexpr std::uint32_t FLASH_MANUFACTURERS[] = {0x0001, 0x00C2};
constexpr std::uint32_t FLASH_DEVICE = 0x227E;
// An erased FLASH word: all ones, of which a program can only clear bits.
constexpr std::uint32_t FLASH_ERASED = 0xFFFF;

} // namespace korvin
