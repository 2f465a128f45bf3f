#pragma once
// The SDRAM's multiplexed address pins as the diagnosis weighs them. The board's SDRAM takes
// a 12-bit row on A0..A11 with an ACTIVE, then a 9-bit column on A0..A8 with the READ or
// WRITE (the controller drives A9..A11 low then, A10 low being no auto-precharge), and the
// bank on BA0 and BA1 with both. The boot image gives the controller that geometry on a
// 32-bit path, so a word's index is bank, row and column from the top down. Its start-up
// sends a precharge of all banks (A10 high), the mode register (0x033: burst length 8, CAS
// latency 3, standard operation; banks 00) and the extended mode register (banks 10); the
// controller reads at CAS latency 3.
#include "line_faults.h"

#include <cstdint>
#include <string>

namespace korvin {

// The pins as one word: A0..A11 in bits 0..11, BA0 and BA1 in bits 12 and 13.
constexpr int SDRAM_PINS = 14;
constexpr int SDRAM_BA0 = 12;

// Where an access to word `index` goes with `fault` on the pins: true with the word the
// chips take in `cell`, false when the column command goes to a bank other than the one the
// ACTIVE opened, which ignores it: a store is lost, a load reads what the bus held.
bool sdram_cell_reached(const line_fault& fault, std::uint32_t index, std::uint32_t& cell);

// Whether the start-up's commands, through `fault`, leave the chips answering at the
// controller's CAS latency; otherwise every load is undefined.
bool sdram_start_up_completes(const line_fault& fault);

// "SDRAM address pin A3 (processor MA3)", "SDRAM bank pin BA1 (processor BA1)".
std::string sdram_pin_name(int pin);

// What a pin carries: "row and column bit 3", "row bit 10", "bank bit 1".
std::string sdram_pin_carries(int pin);

// A short's name, its kind left out when `both_kinds`: "SDRAM address pins A3 and A4
// (processor MA3 and MA4) shorted (wired-AND)", "SDRAM bank pin BA1 and address pin A11
// (processor BA1 and MA11) shorted".
std::string sdram_short_name(const line_fault& fault, bool both_kinds);

} // namespace korvin
