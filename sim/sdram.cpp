#include "sdram.h"

namespace korvin::sim {

sdram::sdram(const memory_faults& faults) : faults_(faults), cells_(SIZE / 4, power_up) {}

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
    return faults_.address.apply(offset >> 2) & (SIZE / 4 - 1);
}

uint32_t sdram::read(uint32_t offset, unsigned width) {
    if (faults_.wires.any())
        return read_through_wires(offset, width);
    const uint32_t i = index(offset);
    uint32_t held = cells_.load(i);
    if (faults_.cells.any())
        held = faults_.cells.load(i, held);
    const uint32_t word = faults_.data.apply(held);
    const unsigned shift = (offset & 3) * 8;
    return width == 4 ? word : (word >> shift) & width_mask(width);
}

void sdram::write(uint32_t offset, unsigned width, uint32_t value) {
    if (faults_.wires.any()) {
        write_through_wires(offset, width, value);
        return;
    }
    if (faults_.cell_faults_any()) {
        write_through_cells(offset, width, value);
        return;
    }
    uint32_t& cell = cells_.cell(index(offset));
    if (width == 4) {
        cell = value;
        return;
    }
    const unsigned shift = (offset & 3) * 8;
    const uint32_t mask = width_mask(width) << shift;
    cell = (cell & ~mask) | ((value << shift) & mask);
}

// The word index crosses the wires, then reaches the chips' pins.
uint32_t sdram::wired_index(uint32_t offset) const {
    return faults_.address.apply(faults_.wires.address.apply(offset >> 2)) & (SIZE / 4 - 1);
}

uint32_t sdram::read_through_wires(uint32_t offset, unsigned width) const {
    // A read drives all 32 data lines; the byte lanes are picked out afterwards.
    const uint32_t word =
        faults_.wires.load(faults_.data.apply(cells_.load(wired_index(offset))), held_);
    const unsigned shift = (offset & 3) * 8;
    return width == 4 ? word : (word >> shift) & width_mask(width);
}

// A byte or halfword store drives only its own lanes and writes only them (the others are
// masked at the chips). A short to a line of an undriven lane is then a short to a line whose
// driver is off: the driven line alone sets the level, and an open line of an undriven lane
// keeps the level it held.
void sdram::write_through_wires(uint32_t offset, unsigned width, uint32_t value) {
    const unsigned shift = width == 4 ? 0 : (offset & 3) * 8;
    const uint32_t lanes = width_mask(width) << shift;
    const uint32_t seen = faults_.wires.store(value << shift, lanes, held_);
    uint32_t& cell = cells_.cell(wired_index(offset));
    cell = (cell & ~lanes) | (seen & lanes);
}

// The core drives a byte or halfword store's data on every byte lane; a lane whose data mask
// is stuck enabled takes it too.
void sdram::write_through_cells(uint32_t offset, unsigned width, uint32_t value) {
    const unsigned shift = width == 4 ? 0 : (offset & 3) * 8;
    uint32_t lanes = width_mask(width) << shift;
    const uint32_t data = width == 1   ? (value & 0xFF) * 0x01010101u
                          : width == 2 ? (value & 0xFFFF) * 0x00010001u
                                       : value;
    for (unsigned lane = 0; lane < 4; ++lane)
        if (faults_.lanes_stuck_enabled & (1u << lane))
            lanes |= 0xFFu << (lane * 8);
    const uint32_t i = index(offset);
    const uint32_t old = cells_.load(i);
    const uint32_t kept =
        faults_.cells.store(i, old, (old & ~lanes) | (data & lanes),
                            [this](uint32_t victim, uint32_t bit) { cells_.cell(victim) ^= bit; });
    cells_.cell(i) = kept;
}

} // namespace korvin::sim
