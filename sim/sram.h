#pragma once
// The 256 KB, 16-bit SRAM on chip select 1. Its address lines A1..A17 are wired, so the
// chip repeats through the rest of the chip-select window. CE#, OE#, WE#, UB# and LB# decide
// what it makes of each cycle (chip_cycle.h).
#include "device.h"
#include "faults.h"

#include <cstdint>
#include <vector>

namespace korvin::sim {

class sram : public device {
  public:
    static constexpr uint32_t SIZE = 256u << 10;

    explicit sram(const memory_faults& faults);
    // `offset` is the byte offset into the window; accesses are 16-bit, or 8-bit on the lane
    // of the offset's bit 0 (the WEIM sees to it).
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // The array keeps its contents across a board reset: no reset().
    // The array as the chip holds it, past every fault on the lines.
    const std::vector<uint16_t>& cells() const { return cells_; }

  private:
    uint32_t index(uint32_t offset) const;
    // Cell `i` as a load sees it, and a store of the lines `lines`, through the cell faults.
    uint32_t load_cell(uint32_t i) const;
    void store_cell(uint32_t i, uint32_t lines, uint32_t value);
    // Accesses through shorted or open lines or faulty control lines, off the path of a board
    // without them.
    uint32_t wired_index(uint32_t offset) const;
    bool off_the_fast_path() const { return faults_.wires.any() || faults_.pins.any(); }
    [[gnu::cold]] uint32_t read_through_wires(uint32_t offset, unsigned width);
    [[gnu::cold]] void write_through_wires(uint32_t offset, unsigned width, uint32_t value);
    const memory_faults& faults_;
    std::vector<uint16_t> cells_;
    uint32_t held_ = HELD_BEFORE_ANY_STORE; // the processor's side of the data lines
};

} // namespace korvin::sim
