#include "registers.h"

#include <cstdio>

namespace korvin::sim {

recording_registers::recording_registers(std::string block, std::map<uint32_t, reg> regs)
    : block_(std::move(block)), regs_(std::move(regs)) {
    reset();
}

void recording_registers::reset() {
    for (const auto& [offset, r] : regs_)
        values_[offset] = r.reset;
}

bool recording_registers::refuses(uint32_t offset, unsigned width, bool, std::string& why) const {
    const auto r = regs_.find(offset);
    if (r == regs_.end()) {
        char what[96];
        std::snprintf(what, sizeof what, "no %s register at offset 0x%x", block_.c_str(), offset);
        why = what;
        return true;
    }
    if (width != 4) {
        why = block_ + " " + r->second.name + " takes 32-bit accesses only";
        return true;
    }
    return false;
}

uint32_t recording_registers::read(uint32_t offset, unsigned) {
    return values_[offset];
}

void recording_registers::write(uint32_t offset, unsigned, uint32_t value) {
    values_[offset] = value;
}

} // namespace korvin::sim
