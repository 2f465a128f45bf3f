#include "sdram.h"

namespace korvin::sim {

sdram::sdram(const fault_set& faults) : faults_(faults), cells_(SIZE / 4, 0) {
    // Power-up contents are random.
    uint32_t x = noise_;
    for (auto& c : cells_)
        c = xorshift(x);
    noise_ = x;
}

uint32_t sdram::xorshift(uint32_t& x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

// Address faults act on the word index: the controller drives the rows and columns of 32-bit
// words, the byte lanes select within one.
uint32_t sdram::index(uint32_t offset) const {
    return faults_.sdram_address.apply(offset >> 2) & (SIZE / 4 - 1);
}

uint32_t sdram::read(uint32_t offset, unsigned width) {
    const uint32_t word = faults_.sdram_data.apply(cells_[index(offset)]);
    const unsigned shift = (offset & 3) * 8;
    return width == 4 ? word : (word >> shift) & width_mask(width);
}

void sdram::write(uint32_t offset, unsigned width, uint32_t value) {
    uint32_t& cell = cells_[index(offset)];
    if (width == 4) {
        cell = value;
        return;
    }
    const unsigned shift = (offset & 3) * 8;
    const uint32_t mask = width_mask(width) << shift;
    cell = (cell & ~mask) | ((value << shift) & mask);
}

} // namespace korvin::sim
