#include "registers.h"

#include <cstdio>

namespace korvin::sim {

RecordingRegisters::RecordingRegisters(Bus& bus, std::string block, std::map<uint32_t, Reg> regs)
    : bus_(bus), block_(std::move(block)), regs_(std::move(regs)) {
    reset();
}

void RecordingRegisters::reset() {
    for (const auto& [offset, reg] : regs_)
        values_[offset] = reg.reset;
}

bool RecordingRegisters::check(uint32_t offset, unsigned bytes) {
    if (regs_.find(offset) == regs_.end()) {
        char what[96];
        std::snprintf(what, sizeof what, "no %s register at offset 0x%x", block_.c_str(), offset);
        bus_.fail(what);
        return false;
    }
    if (bytes != 4) {
        bus_.fail(block_ + " " + regs_[offset].name + " takes 32-bit accesses only");
        return false;
    }
    return true;
}

uint32_t RecordingRegisters::read(uint32_t offset, unsigned bytes) {
    return check(offset, bytes) ? values_[offset] : 0;
}

void RecordingRegisters::write(uint32_t offset, unsigned bytes, uint32_t value) {
    if (check(offset, bytes))
        values_[offset] = value;
}

} // namespace korvin::sim
