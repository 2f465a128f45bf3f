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

namespace {

// The data lines of a byte access's lane: EB0 and D7..D0 for an even address (the bus is
// little-endian), EB1 and D15..D8 for an odd one.
uint32_t lane_lines(uint32_t offset, unsigned width) {
    return width == 1 ? 0xFFu << (offset & 1) * 8 : 0xFFFF;
}

// What the processor takes from the 16 data lines.
uint32_t taken(uint32_t lines, uint32_t offset, unsigned width) {
    return width == 1 ? (lines >> (offset & 1) * 8) & 0xFF : lines & 0xFFFF;
}

// What it drives on them: the core puts a byte store's data on every lane.
uint32_t driven(uint32_t value, unsigned width) {
    return width == 1 ? (value & 0xFF) * 0x0101 : value & 0xFFFF;
}

} // namespace

uint32_t sram::load_cell(uint32_t i) const {
    return faults_.cells.any() ? faults_.cells.load(i, cells_[i]) : cells_[i];
}

// The bits of `lines` take `value`; a bad cell keeps its level or disturbs its partner.
void sram::store_cell(uint32_t i, uint32_t lines, uint32_t value) {
    uint32_t next = (cells_[i] & ~lines) | (value & lines);
    if (faults_.cells.any())
        next = faults_.cells.store(i, cells_[i], next, [this](uint32_t victim, uint32_t bit) {
            cells_[victim] = static_cast<uint16_t>(cells_[victim] ^ bit);
        });
    cells_[i] = static_cast<uint16_t>(next);
}

uint32_t sram::read(uint32_t offset, unsigned width) {
    if (off_the_fast_path())
        return read_through_wires(offset, width);
    return taken(faults_.data.apply(load_cell(index(offset))), offset, width);
}

void sram::write(uint32_t offset, unsigned width, uint32_t value) {
    if (off_the_fast_path())
        write_through_wires(offset, width, value);
    else
        store_cell(index(offset), lane_lines(offset, width), driven(value, width));
}

// The word index crosses the wires, then reaches the chip's pins.
uint32_t sram::wired_index(uint32_t offset) const {
    const uint32_t i = faults_.wires.address.apply((offset >> 1) & (SIZE / 2 - 1));
    return faults_.address.apply(i) & (SIZE / 2 - 1);
}

// A byte access asserts only its lane's enable; a lane whose enable is stuck active at the
// chip is written (or driven) all the same.
uint32_t sram::read_through_wires(uint32_t offset, unsigned width) {
    const chip_cycle cycle = sram_cycle(faults_.pins, false, width == 1 ? 1u << (offset & 1) : 3);
    const uint32_t i = wired_index(offset);
    // WE# held low turns a load into a write of what the idle bus holds.
    if (cycle.writes)
        store_cell(i, cycle.lines, held_ | faults_.wires.open_data);
    const uint32_t v = faults_.data.apply(load_cell(i));
    return taken(faults_.wires.load(v, held_, cycle.drives ? cycle.lines : 0), offset, width);
}

// Every store drives all 16 data lines.
void sram::write_through_wires(uint32_t offset, unsigned width, uint32_t value) {
    value = faults_.wires.store(driven(value, width), 0xFFFF, held_);
    const chip_cycle cycle = sram_cycle(faults_.pins, true, width == 1 ? 1u << (offset & 1) : 3);
    if (!cycle.writes)
        return;
    store_cell(wired_index(offset), cycle.lines, value);
}

} // namespace korvin::sim
