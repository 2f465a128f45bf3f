#pragma once
// The 256 KB, 16-bit SRAM on chip select 1. Its address lines A1..A17 are wired, so the
// chip repeats through the rest of the chip-select window.
#include "faults.h"

#include <cstdint>
#include <vector>

namespace korvin::sim {

class Sram {
  public:
    static constexpr uint32_t size = 256u << 10;

    explicit Sram(const Faults& faults);
    // `offset` is the byte offset into the window; accesses are 16-bit.
    uint16_t read(uint32_t offset) const;
    void write(uint32_t offset, uint16_t value);

  private:
    uint32_t index(uint32_t offset) const;
    const Faults& faults_;
    std::vector<uint16_t> cells_;
};

} // namespace korvin::sim
