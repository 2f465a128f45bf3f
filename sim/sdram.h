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

    explicit sdram(const fault_set& faults);

    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // What a load returns while the chips are not set up to answer: undefined bits.
    uint32_t undefined(unsigned width) { return xorshift(noise_) & width_mask(width); }
    // The array keeps its contents across a board reset: no reset().

  private:
    uint32_t index(uint32_t offset) const;
    static uint32_t xorshift(uint32_t& state);

    // The cells' power-up contents: random, the same on every board.
    static uint32_t power_up(uint32_t index);

    const fault_set& faults_;
    lazy_cells<uint32_t> cells_;
    uint32_t noise_ = 0x9E3779B9; // undefined loads come from it
};

} // namespace korvin::sim
