#include "sram.h"

#include "chip_cycle.h"

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
    if (off_the_fast_path())
        return read_through_wires(offset);
    const uint32_t i = index(offset);
    const uint32_t held = faults_.cells.any() ? faults_.cells.load(i, cells_[i]) : cells_[i];
    return static_cast<uint16_t>(faults_.data.apply(held));
}

void sram::write(uint32_t offset, unsigned, uint32_t value) {
    if (off_the_fast_path()) {
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

uint32_t sram::read_through_wires(uint32_t offset) {
    const chip_cycle cycle = sram_cycle(faults_.pins, false);
    uint16_t& cell = cells_[wired_index(offset)];
    // WE# held low turns a load into a write of what the idle bus holds.
    if (cycle.writes)
        cell = static_cast<uint16_t>((cell & ~cycle.lines) |
                                     ((held_ | faults_.wires.open_data) & cycle.lines));
    const uint32_t v = faults_.data.apply(cell);
    return static_cast<uint16_t>(faults_.wires.load(v, held_, cycle.drives ? cycle.lines : 0));
}

// Every store drives all 16 data lines.
void sram::write_through_wires(uint32_t offset, uint32_t value) {
    value = faults_.wires.store(value, 0xFFFF, held_);
    const chip_cycle cycle = sram_cycle(faults_.pins, true);
    if (!cycle.writes)
        return;
    uint16_t& cell = cells_[wired_index(offset)];
    cell = static_cast<uint16_t>((cell & ~cycle.lines) | (value & cycle.lines));
}

} // namespace korvin::sim
