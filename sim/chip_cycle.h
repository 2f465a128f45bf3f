#pragma once
// What the WEIM's asynchronous 16-bit chips make of a bus cycle through the faults on their
// control lines. The WEIM runs a load with CS, OE and EB0/EB1 asserted (low) and WE (its RW
// line) high, a store with CS, WE and EB0/EB1 low and OE high. EB0 enables D7..D0 (the
// SRAM's LB#), EB1 D15..D8 (UB#).
#include "faults.h"

#include <cstdint>

namespace korvin::sim {

struct chip_cycle {
    bool writes = false;     // the chip takes the data on its lines
    bool drives = false;     // the chip drives the data lines
    uint32_t lines = 0xFFFF; // the data lines of the byte lanes it takes or drives
};

// The SRAM: selected by CE# low, it writes while WE# is low whatever OE# says (its outputs
// are off then), and drives the bus while OE# is low and WE# high; UB# and LB# gate the lanes.
// `asserted`: the byte enables the WEIM asserts (bit 0 EB0, bit 1 EB1), both for a halfword.
inline chip_cycle sram_cycle(const pin_faults& pins, bool store, uint32_t asserted = 3) {
    const bool ce = at_chip(pins.cs, false), oe = at_chip(pins.oe, store),
               we = at_chip(pins.we, !store);
    const uint32_t lanes = pins.lanes_at_chip(asserted);
    return {!ce && !we, !ce && we && !oe,
            ((lanes & 1) ? 0x00FFu : 0) | ((lanes & 2) ? 0xFF00u : 0)};
}

// The NOR FLASH: a write needs CE# and WE# low with OE# high (OE# low inhibits it); it drives
// the bus while CE# and OE# are low and WE# high. It has no byte enables.
inline chip_cycle flash_cycle(const pin_faults& pins, bool store) {
    const bool ce = at_chip(pins.cs, false), oe = at_chip(pins.oe, store),
               we = at_chip(pins.we, !store);
    return {!ce && !we && oe, !ce && !oe && we, 0xFFFF};
}

} // namespace korvin::sim
