#include "sdram.h"

#include <cstdio>

namespace korvin::sim {
namespace {

constexpr uint32_t mode_normal = 0, mode_precharge = 1, mode_auto_refresh = 2, mode_load_mode = 3;
constexpr uint32_t enable = 0x80000000;
// SDRAM A10 sits on byte address bit 10: set during a precharge, all banks close.
constexpr uint32_t precharge_all = 1u << 10;
// In load-mode-register mode the store's address is the setting; bank address BA1 (byte
// address bit 24) selects the extended mode register.
constexpr uint32_t mode_register = 0x33;         // CAS latency 3, burst length 8
constexpr uint32_t extended_register = 1u << 24; // full drive strength, full array refresh

} // namespace

Sdram::Sdram(Bus& bus, const Faults& faults) : bus_(bus), faults_(faults), cells_(size / 4, 0) {
    // Power-up contents are random.
    for (auto& c : cells_)
        c = garbage();
}

uint32_t Sdram::garbage() {
    noise_ ^= noise_ << 13;
    noise_ ^= noise_ >> 17;
    noise_ ^= noise_ << 5;
    return noise_;
}

void Sdram::reset() {
    ctl_ = cfg_ = misc_ = 0;
    precharged_ = mode_loaded_ = extended_loaded_ = wrong_ = false;
    refreshes_ = 0;
    ready_ = false;
}

uint32_t Sdram::controller_read(uint32_t offset, unsigned bytes) {
    if (bytes != 4) {
        bus_.fail("the SDRAM controller takes 32-bit accesses only");
        return 0;
    }
    switch (offset) {
    case esdctl0:
        return ctl_;
    case esdcfg0:
        return cfg_;
    case esdmisc:
        return misc_;
    }
    char what[80];
    std::snprintf(what, sizeof what, "no SDRAM controller register at offset 0x%x", offset);
    bus_.fail(what);
    return 0;
}

void Sdram::controller_write(uint32_t offset, unsigned bytes, uint32_t value) {
    if (bytes != 4) {
        bus_.fail("the SDRAM controller takes 32-bit accesses only");
        return;
    }
    switch (offset) {
    case esdcfg0:
        cfg_ = value;
        return;
    case esdmisc:
        misc_ = value;
        return;
    case esdctl0:
        break;
    default:
        controller_read(offset, bytes); // reports the missing register
        return;
    }
    ctl_ = value;
    const uint32_t m = mode();
    if (m == mode_precharge) {
        // A new start-up sequence begins.
        precharged_ = mode_loaded_ = extended_loaded_ = wrong_ = false;
        refreshes_ = 0;
    }
    if (m != mode_normal || !(value & enable)) {
        ready_ = false;
        return;
    }
    ready_ = precharged_ && refreshes_ >= 2 && mode_loaded_ && extended_loaded_ && !wrong_ &&
             value == normal_mode;
}

uint32_t Sdram::read(uint32_t offset, unsigned bytes) {
    if (!ready_ || !(ctl_ & enable) || mode() != mode_normal)
        return garbage() & (bytes == 4 ? 0xFFFFFFFF : (1u << (8 * bytes)) - 1);
    const uint32_t index = faults_.sdram_address.apply(offset >> 2) & (size / 4 - 1);
    const uint32_t word = faults_.sdram_data.apply(cells_[index]);
    const unsigned shift = (offset & 3) * 8;
    return bytes == 4 ? word : (word >> shift) & ((1u << (8 * bytes)) - 1);
}

void Sdram::write(uint32_t offset, unsigned bytes, uint32_t value) {
    if (!(ctl_ & enable))
        return;
    switch (mode()) {
    case mode_precharge:
        if (offset & precharge_all)
            precharged_ = true;
        return;
    case mode_auto_refresh:
        if (precharged_)
            ++refreshes_;
        return;
    case mode_load_mode:
        if (!precharged_ || refreshes_ < 2)
            wrong_ = true;
        else if (offset == mode_register)
            mode_loaded_ = true;
        else if (offset == extended_register)
            extended_loaded_ = true;
        else
            wrong_ = true;
        return;
    case mode_normal:
        break;
    default:
        return;
    }
    if (!ready_)
        return;
    const uint32_t index = faults_.sdram_address.apply(offset >> 2) & (size / 4 - 1);
    if (bytes == 4) {
        cells_[index] = value;
        return;
    }
    const unsigned shift = (offset & 3) * 8;
    const uint32_t mask = ((1u << (8 * bytes)) - 1) << shift;
    cells_[index] = (cells_[index] & ~mask) | ((value << shift) & mask);
}

} // namespace korvin::sim
