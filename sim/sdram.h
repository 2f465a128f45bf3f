#pragma once
// The 32 MB, 32-bit SDRAM array at 0xA0000000, as the SDRAM controller reaches it once the
// chips are set up: words with byte lanes, faults on the data and address lines.
#include "device.h"
#include "faults.h"
#include "lazy_cells.h"

#include <cstdint>

namespace korvin::sim {

class sdram : public device {
  public:
    static constexpr uint32_t SIZE = 32u << 20;

    explicit sdram(const memory_faults& faults);

    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // What a load returns while the chips are not set up to answer: undefined bits.
    uint32_t undefined(unsigned width) { return xorshift(noise_) & width_mask(width); }
    // The array as the chips hold it, past every fault on the lines.
    uint32_t cell(uint32_t index) const { return cells_.load(index); }
    // The array keeps its contents across a board reset: no reset().

  private:
    uint32_t index(uint32_t offset) const;
    // Accesses through shorted or open lines, off the path of a board without them.
    uint32_t wired_index(uint32_t offset) const;
    [[gnu::cold]] uint32_t read_through_wires(uint32_t offset, unsigned width) const;
    [[gnu::cold]] void write_through_wires(uint32_t offset, unsigned width, uint32_t value);
    // A store to cells or lanes with faults.
    [[gnu::cold]] void write_through_cells(uint32_t offset, unsigned width, uint32_t value);
    static uint32_t xorshift(uint32_t& state);

    // The cells' power-up contents: random, the same on every board.
    static uint32_t power_up(uint32_t index);

    const memory_faults& faults_;
    lazy_cells<uint32_t> cells_;
    uint32_t noise_ = 0x9E3779B9;           // undefined loads come from it
    uint32_t held_ = HELD_BEFORE_ANY_STORE; // the processor's side of open data lines
};

} // namespace korvin::sim
