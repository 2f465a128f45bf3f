#include "sram.h"

namespace korvin::sim {

Sram::Sram(const Faults& faults) : faults_(faults), cells_(size / 2) {
    uint32_t x = 0x2545F491;
    for (auto& c : cells_) {
        x = x * 1664525 + 1013904223;
        c = static_cast<uint16_t>(x >> 16);
    }
}

uint32_t Sram::index(uint32_t offset) const {
    return faults_.sram_address.apply((offset >> 1) & (size / 2 - 1)) & (size / 2 - 1);
}

uint16_t Sram::read(uint32_t offset) const {
    return static_cast<uint16_t>(faults_.sram_data.apply(cells_[index(offset)]));
}

void Sram::write(uint32_t offset, uint16_t value) {
    cells_[index(offset)] = value;
}

} // namespace korvin::sim
