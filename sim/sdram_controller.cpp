#include "sdram_controller.h"

#include <cstdio>

namespace korvin::sim {
namespace {

// ESDCTL0: SDE (bit 31) enables the controller; SMODE (bits 30..28) is its mode.
constexpr uint32_t MODE_NORMAL = 0, MODE_PRECHARGE = 1, MODE_AUTO_REFRESH = 2, MODE_LOAD_MODE = 3;
constexpr uint32_t ENABLE = 0x80000000;
// SDRAM A10 sits on byte address bit 10: set during a precharge, all banks close.
constexpr uint32_t PRECHARGE_ALL = 1u << 10;
// In load-mode-register mode the store's address is the setting; bank address BA1 (byte
// address bit 24) selects the extended mode register.
constexpr uint32_t MODE_REGISTER = 0x33;         // CAS latency 3, burst length 8
constexpr uint32_t EXTENDED_REGISTER = 1u << 24; // full drive strength, full array refresh

} // namespace

void sdram_controller::reset() {
    ctl_ = cfg_ = misc_ = 0;
    precharged_ = mode_loaded_ = extended_loaded_ = wrong_ = false;
    refreshes_ = 0;
    ready_ = false;
}

bool sdram_controller::refuses(uint32_t offset, unsigned width, bool, std::string& why) const {
    if (width != 4) {
        why = "the SDRAM controller takes 32-bit accesses only";
        return true;
    }
    if (offset != ESDCTL0 && offset != ESDCFG0 && offset != ESDMISC) {
        char what[80];
        std::snprintf(what, sizeof what, "no SDRAM controller register at offset 0x%x", offset);
        why = what;
        return true;
    }
    return false;
}

uint32_t sdram_controller::read(uint32_t offset, unsigned) {
    switch (offset) {
    case ESDCTL0:
        return ctl_;
    case ESDCFG0:
        return cfg_;
    default:
        return misc_;
    }
}

void sdram_controller::write(uint32_t offset, unsigned, uint32_t value) {
    if (offset == ESDCFG0) {
        cfg_ = value;
        return;
    }
    if (offset == ESDMISC) {
        misc_ = value;
        return;
    }
    ctl_ = value;
    const uint32_t m = mode();
    if (m == MODE_PRECHARGE) {
        // A new start-up sequence begins.
        precharged_ = mode_loaded_ = extended_loaded_ = wrong_ = false;
        refreshes_ = 0;
    }
    if (m != MODE_NORMAL || !(value & ENABLE)) {
        ready_ = false;
        return;
    }
    ready_ = precharged_ && refreshes_ >= 2 && mode_loaded_ && extended_loaded_ && !wrong_ &&
             value == NORMAL_MODE;
}

bool sdram_controller::normal_operation() const {
    return ready_ && (ctl_ & ENABLE) && mode() == MODE_NORMAL;
}

// A store in the SDRAM's window while the controller is in a start-up mode: the command the
// controller sends the chips instead of the store.
void sdram_controller::command_cycle(uint32_t offset) {
    switch (mode()) {
    case MODE_PRECHARGE:
        if (offset & PRECHARGE_ALL)
            precharged_ = true;
        return;
    case MODE_AUTO_REFRESH:
        if (precharged_)
            ++refreshes_;
        return;
    case MODE_LOAD_MODE:
        if (!precharged_ || refreshes_ < 2)
            wrong_ = true;
        else if (offset == MODE_REGISTER)
            mode_loaded_ = true;
        else if (offset == EXTENDED_REGISTER)
            extended_loaded_ = true;
        else
            wrong_ = true;
        return;
    default:
        return;
    }
}

uint32_t sdram_controller::sdram_window::read(uint32_t offset, unsigned width) {
    if (!owner_.normal_operation())
        return owner_.chips_.undefined(width);
    return owner_.chips_.read(offset, width);
}

void sdram_controller::sdram_window::write(uint32_t offset, unsigned width, uint32_t value) {
    if (!(owner_.ctl_ & ENABLE))
        return; // the controller is off: nothing reaches the chips
    if (owner_.mode() != MODE_NORMAL) {
        owner_.command_cycle(offset);
        return;
    }
    if (owner_.ready_)
        owner_.chips_.write(offset, width, value);
}

} // namespace korvin::sim
