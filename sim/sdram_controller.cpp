#include "sdram_controller.h"

#include <cstdio>

namespace korvin::sim {
namespace {

// ESDCTL0: SDE (bit 31) enables the controller; SMODE (bits 30..28) is its mode; ROW (bits
// 26..24) gives 11 + ROW row address bits (up to 15), COL (bits 21..20) 8 + COL column
// address bits (up to 10), DSIZ (bits 17..16) the data path: 0 and 1 a 16-bit one, 2 32 bits.
constexpr uint32_t MODE_NORMAL = 0, MODE_PRECHARGE = 1, MODE_AUTO_REFRESH = 2, MODE_LOAD_MODE = 3;
constexpr uint32_t ENABLE = 0x80000000;
constexpr unsigned DSIZ_32_BIT = 2;
// ESDCFG0: tCAS (bits 9..8), the CAS latency the controller reads with: 2 is 2 clocks, 3 is 3.
constexpr unsigned TCAS_SHIFT = 8;
// The pins that carry a row or, unshifted, a command cycle's address: MA0..MA12.
constexpr uint32_t MA_PINS = 0x1FFF;

sdram_controller::geometry decode(uint32_t ctl) {
    const unsigned row = (ctl >> 24) & 7, column = (ctl >> 20) & 3, dsiz = (ctl >> 16) & 3;
    sdram_controller::geometry g;
    g.rows = 11 + row;
    g.columns = 8 + column;
    g.unit_shift = dsiz == DSIZ_32_BIT ? 2 : 1;
    g.valid = row <= 4 && column <= 2 && dsiz <= DSIZ_32_BIT;
    return g;
}

uint32_t bits(unsigned n) {
    return (1u << n) - 1;
}

} // namespace

void sdram_controller::reset() {
    ctl_ = cfg_ = misc_ = 0;
    map_ = geometry{};
    cas_latency_ = 0;
    direct_ = false;
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
        const unsigned tcas = (value >> TCAS_SHIFT) & 3;
        cas_latency_ = tcas >= 2 ? tcas : 0;
    } else if (offset == ESDMISC) {
        misc_ = value;
    } else {
        ctl_ = value;
        map_ = decode(value);
    }
    update_direct();
}

bool sdram_controller::normal_operation() const {
    return (ctl_ & ENABLE) && mode() == MODE_NORMAL;
}

bool sdram_controller::ready() const {
    return normal_operation() && map_.valid && map_.unit_shift == 2 &&
           chips_.answers_at(cas_latency_);
}

void sdram_controller::update_direct() {
    direct_ = ready() && map_.rows == sdram::ROW_BITS && map_.columns == sdram::COLUMN_BITS &&
              !chips_.pins_faulty();
}

// A store in the SDRAM's window while the controller is in a command mode: the command the
// controller sends the chips instead of the store. The address goes out unshifted on
// MA0..MA12 (A10 set in a precharge picks all banks; in a load-mode-register command the
// address is the register's value), the bank pins take the bits the geometry puts them at.
void sdram_controller::command_cycle(uint32_t offset) {
    const unsigned bank_at = map_.unit_shift + map_.columns + map_.rows;
    const uint32_t pins = (offset & MA_PINS) | ((offset >> bank_at) & 3) << sdram::BA_SHIFT;
    switch (mode()) {
    case MODE_PRECHARGE:
        chips_.precharge(pins);
        break;
    case MODE_AUTO_REFRESH:
        chips_.auto_refresh();
        break;
    case MODE_LOAD_MODE:
        chips_.load_mode(pins);
        break;
    default:
        break; // no command the chips know
    }
    update_direct();
}

// The controller opens the row, reads or writes the column with auto-precharge off, and
// leaves the row open. Between two accesses of the memory tests its refresh comes many times
// (a trace line alone takes longer than a refresh period), and a refresh begins with a
// precharge of all banks: every access opens its row afresh.
uint32_t sdram_controller::access(uint32_t offset, unsigned width, bool write, uint32_t value) {
    if (!map_.valid || map_.unit_shift != 2)
        return write ? 0 : chips_.undefined(width); // a data path the board does not have
    const uint32_t index = chips_.counted_index(offset >> 2);
    const uint32_t column = index & bits(map_.columns);
    const uint32_t row = (index >> map_.columns) & bits(map_.rows) & MA_PINS;
    const uint32_t bank = (index >> (map_.columns + map_.rows)) & 3;
    chips_.activate(row | bank << sdram::BA_SHIFT);
    const unsigned shift = (offset & 3) * 8;
    uint32_t seen = 0;
    if (write) {
        // The core drives a byte or halfword on every lane; DQM low lets its own lanes in.
        const uint32_t lanes = width == 4   ? 0xF
                               : width == 2 ? 3u << (offset & 2)
                                            : 1u << (offset & 3);
        const uint32_t data = width == 1   ? (value & 0xFF) * 0x01010101u
                              : width == 2 ? (value & 0xFFFF) * 0x00010001u
                                           : value;
        chips_.write_column(column | bank << sdram::BA_SHIFT, lanes, data);
    } else {
        seen = chips_.read_column(column | bank << sdram::BA_SHIFT, cas_latency_);
    }
    chips_.precharge(sdram::A10);
    return width == 4 ? seen : (seen >> shift) & width_mask(width);
}

uint32_t sdram_controller::sdram_window::read(uint32_t offset, unsigned width) {
    if (owner_.direct_)
        return owner_.chips_.read(offset, width);
    if (!owner_.normal_operation())
        return owner_.chips_.undefined(width);
    return owner_.access(offset, width, false, 0);
}

void sdram_controller::sdram_window::write(uint32_t offset, unsigned width, uint32_t value) {
    if (owner_.direct_) {
        owner_.chips_.write(offset, width, value);
        return;
    }
    if (!(owner_.ctl_ & ENABLE))
        return; // the controller is off: nothing reaches the chips
    if (owner_.mode() != MODE_NORMAL) {
        owner_.command_cycle(offset);
        return;
    }
    owner_.access(offset, width, true, value);
}

} // namespace korvin::sim
