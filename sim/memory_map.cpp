#include "memory_map.h"

namespace korvin::sim {

const region& memory_map::add(uint32_t base, uint32_t size, device& target, bool traced) {
    regions_.push_back({base, size, &target, traced});
    return regions_.back();
}

const region* memory_map::find(uint32_t address) const {
    for (const auto& r : regions_)
        if (address - r.base < r.size)
            return &r;
    return nullptr;
}

void memory_map::refused(const region& r, uint32_t offset, unsigned width, bool write) {
    report_(r.base + offset, width, write, why_);
    halted_ = true;
}

uint32_t memory_map::read(const region& r, uint32_t offset, unsigned width) {
    if (halted_)
        return 0;
    if (r.target->refuses(offset, width, false, why_)) {
        refused(r, offset, width, false);
        return 0;
    }
    const uint32_t value = r.target->read(offset, width);
    if (r.traced)
        trace_.record(false, width, r.base + offset, value);
    return value;
}

void memory_map::write(const region& r, uint32_t offset, unsigned width, uint32_t value) {
    if (halted_)
        return;
    if (r.target->refuses(offset, width, true, why_)) {
        refused(r, offset, width, true);
        return;
    }
    r.target->write(offset, width, value);
    if (r.traced)
        trace_.record(true, width, r.base + offset, value & width_mask(width));
}

uint32_t memory_map::read(uint32_t address, unsigned width) {
    if (const region* r = find(address))
        return read(*r, address - r->base, width);
    if (!halted_) {
        report_(address, width, false, NOTHING_THERE);
        halted_ = true;
    }
    return 0;
}

void memory_map::write(uint32_t address, unsigned width, uint32_t value) {
    if (const region* r = find(address)) {
        write(*r, address - r->base, width, value);
        return;
    }
    if (!halted_) {
        report_(address, width, true, NOTHING_THERE);
        halted_ = true;
    }
}

} // namespace korvin::sim
