#include "sdram.h"

namespace korvin::sim {

sdram::sdram(const fault_set& faults) : faults_(faults), cells_(SIZE / 4, power_up) {}

uint32_t sdram::power_up(uint32_t index) {
    // A hash of the index, so that a cell's power-up value needs no other cell's.
    uint32_t x = index * 0x9E3779B9u + 0x7F4A7C15u;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x;
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
    const uint32_t word = faults_.sdram_data.apply(cells_.load(index(offset)));
    const unsigned shift = (offset & 3) * 8;
    return width == 4 ? word : (word >> shift) & width_mask(width);
}

void sdram::write(uint32_t offset, unsigned width, uint32_t value) {
    uint32_t& cell = cells_.cell(index(offset));
    if (width == 4) {
        cell = value;
        return;
    }
    const unsigned shift = (offset & 3) * 8;
    const uint32_t mask = width_mask(width) << shift;
    cell = (cell & ~mask) | ((value << shift) & mask);
}

} // namespace korvin::sim
