#include "sram.h"

namespace korvin::sim {

sram::sram(const memory_faults& faults) : faults_(faults), cells_(SIZE / 2) {
    // Power-up contents are random.
    uint32_t x = 0x2545F491;
    for (auto& c : cells_) {
        x = x * 1664525 + 1013904223;
        c = static_cast<uint16_t>(x >> 16);
    }
}

// The window's offset goes to the chip's A17..A1 only; a stuck address line acts there.
uint32_t sram::index(uint32_t offset) const {
    return faults_.address.apply((offset >> 1) & (SIZE / 2 - 1)) & (SIZE / 2 - 1);
}

uint32_t sram::read(uint32_t offset, unsigned) {
    if (faults_.wires.any())
        return read_through_wires(offset);
    const uint32_t i = index(offset);
    const uint32_t held = faults_.cells.any() ? faults_.cells.load(i, cells_[i]) : cells_[i];
    return static_cast<uint16_t>(faults_.data.apply(held));
}

void sram::write(uint32_t offset, unsigned, uint32_t value) {
    if (faults_.wires.any()) {
        write_through_wires(offset, value);
        return;
    }
    const uint32_t i = index(offset);
    if (faults_.cells.any())
        value = faults_.cells.store(
            i, cells_[i], value & 0xFFFF, [this](uint32_t victim, uint32_t bit) {
                cells_[victim] = static_cast<uint16_t>(cells_[victim] ^ bit);
            });
    cells_[i] = static_cast<uint16_t>(value);
}

// The word index crosses the wires, then reaches the chip's pins.
uint32_t sram::wired_index(uint32_t offset) const {
    const uint32_t i = faults_.wires.address.apply((offset >> 1) & (SIZE / 2 - 1));
    return faults_.address.apply(i) & (SIZE / 2 - 1);
}

uint32_t sram::read_through_wires(uint32_t offset) const {
    const uint32_t v = faults_.data.apply(cells_[wired_index(offset)]);
    return static_cast<uint16_t>(faults_.wires.load(v, held_));
}

// Every store drives all 16 data lines.
void sram::write_through_wires(uint32_t offset, uint32_t value) {
    value = faults_.wires.store(value, 0xFFFF, held_);
    cells_[wired_index(offset)] = static_cast<uint16_t>(value);
}

} // namespace korvin::sim
