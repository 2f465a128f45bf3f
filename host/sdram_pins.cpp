#include "sdram_pins.h"

#include "text.h"

namespace korvin {
namespace {

constexpr int ROW_BITS = 12, COLUMN_BITS = 9;
constexpr std::uint32_t A10 = 1u << 10;
constexpr std::uint32_t MODE_REGISTER_VALUE = 0x033;
constexpr std::uint32_t MODE_REGISTER_BANK = 0, EXTENDED_MODE_REGISTER_BANK = 2;
// In the mode register: A6..A4 the CAS latency, A8..A7 the operating mode (0 standard).
constexpr std::uint32_t CAS_LATENCY = 3;

std::uint32_t bank_of(std::uint32_t pins) {
    return pins >> SDRAM_BA0 & 3;
}

} // namespace

bool sdram_cell_reached(const line_fault& fault, std::uint32_t index, std::uint32_t& cell) {
    const std::uint32_t column = index & ((1u << COLUMN_BITS) - 1);
    const std::uint32_t row = index >> COLUMN_BITS & ((1u << ROW_BITS) - 1);
    const std::uint32_t bank = index >> (COLUMN_BITS + ROW_BITS) & 3;
    const std::uint32_t active = through(fault, row | bank << SDRAM_BA0);
    const std::uint32_t command = through(fault, column | bank << SDRAM_BA0);
    if (bank_of(active) != bank_of(command))
        return false;
    cell = bank_of(active) << (COLUMN_BITS + ROW_BITS) |
           (active & ((1u << ROW_BITS) - 1)) << COLUMN_BITS | (command & ((1u << COLUMN_BITS) - 1));
    return true;
}

bool sdram_start_up_completes(const line_fault& fault) {
    // Without a precharge of all banks the chips never take the rest; the refresh that
    // comes before every access sends the same precharge.
    if (!(through(fault, A10) & A10))
        return false;
    // Each load-mode-register command reaches the register its bank pins pick; 01 and 11
    // are reserved and change nothing.
    bool mode_loaded = false, extended_loaded = false;
    std::uint32_t mode = 0;
    for (std::uint32_t pins : {MODE_REGISTER_VALUE | MODE_REGISTER_BANK << SDRAM_BA0,
                               EXTENDED_MODE_REGISTER_BANK << SDRAM_BA0}) {
        const std::uint32_t seen = through(fault, pins);
        if (bank_of(seen) == MODE_REGISTER_BANK) {
            mode = seen & 0xFFF;
            mode_loaded = true;
        } else if (bank_of(seen) == EXTENDED_MODE_REGISTER_BANK) {
            extended_loaded = true;
        }
    }
    return mode_loaded && extended_loaded && (mode >> 4 & 7) == CAS_LATENCY && (mode >> 7 & 3) == 0;
}

std::string sdram_pin_name(int pin) {
    if (pin >= SDRAM_BA0)
        return format("SDRAM bank pin BA%d (processor BA%d)", pin - SDRAM_BA0, pin - SDRAM_BA0);
    return format("SDRAM address pin A%d (processor MA%d)", pin, pin);
}

std::string sdram_pin_carries(int pin) {
    if (pin >= SDRAM_BA0)
        return format("bank bit %d", pin - SDRAM_BA0);
    return format(pin < COLUMN_BITS ? "row and column bit %d" : "row bit %d", pin);
}

std::string sdram_short_name(const line_fault& fault, bool both_kinds) {
    auto chip = [](int pin) {
        return pin >= SDRAM_BA0 ? format("BA%d", pin - SDRAM_BA0) : format("A%d", pin);
    };
    auto processor = [](int pin) {
        return pin >= SDRAM_BA0 ? format("BA%d", pin - SDRAM_BA0) : format("MA%d", pin);
    };
    // The bank pin first: "bank pin BA1 and address pin A11".
    const int first = fault.y >= SDRAM_BA0 && fault.x < SDRAM_BA0 ? fault.y : fault.x;
    const int second = first == fault.x ? fault.y : fault.x;
    const bool first_bank = first >= SDRAM_BA0, second_bank = second >= SDRAM_BA0;
    const std::string pins =
        first_bank == second_bank
            ? format("%s pins %s and %s", first_bank ? "bank" : "address", chip(first).c_str(),
                     chip(second).c_str())
            : format("bank pin %s and address pin %s", chip(first).c_str(), chip(second).c_str());
    return format("SDRAM %s (processor %s and %s) shorted%s", pins.c_str(),
                  processor(first).c_str(), processor(second).c_str(),
                  both_kinds ? "" : short_kind(fault));
}

} // namespace korvin
