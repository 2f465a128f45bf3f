#include "sram.h"

namespace korvin::sim {

sram::sram(const fault_set& faults) : faults_(faults), cells_(SIZE / 2) {
    // Power-up contents are random.
    uint32_t x = 0x2545F491;
    for (auto& c : cells_) {
        x = x * 1664525 + 1013904223;
        c = static_cast<uint16_t>(x >> 16);
    }
}

// The window's offset goes to the chip's A17..A1 only; it crosses the wires, then a stuck
// address line acts at the chip.
uint32_t sram::index(uint32_t offset) const {
    uint32_t i = (offset >> 1) & (SIZE / 2 - 1);
    if (faults_.sram_wires.address.any())
        i = faults_.sram_wires.address.apply(i);
    return faults_.sram_address.apply(i) & (SIZE / 2 - 1);
}

uint32_t sram::read(uint32_t offset, unsigned) {
    const uint32_t v = faults_.sram_data.apply(cells_[index(offset)]);
    return static_cast<uint16_t>(faults_.sram_wires.any() ? faults_.sram_wires.load(v, held_) : v);
}

// Every store drives all 16 data lines.
void sram::write(uint32_t offset, unsigned, uint32_t value) {
    if (faults_.sram_wires.any())
        value = faults_.sram_wires.store(value, 0xFFFF, held_);
    cells_[index(offset)] = static_cast<uint16_t>(value);
}

} // namespace korvin::sim
