#include "sdram.h"

namespace korvin::sim {
namespace {

constexpr uint32_t ROW_MASK = (1u << sdram::ROW_BITS) - 1;
constexpr uint32_t COLUMN_MASK = (1u << sdram::COLUMN_BITS) - 1;
constexpr unsigned ROW_SHIFT = sdram::COLUMN_BITS,
                   BANK_SHIFT = sdram::COLUMN_BITS + sdram::ROW_BITS;

// The mode register: A2..A0 burst length, A3 burst type, A6..A4 CAS latency, A8..A7 the
// operating mode (0 standard, others reserved or test modes), A9 write burst mode. Burst
// length and type and the write burst mode change nothing for the controller's single-word
// accesses; A11 and A10 are reserved and ignored.
constexpr unsigned CAS_LATENCY_SHIFT = 4;
constexpr uint32_t CAS_LATENCY_MASK = 7, OPERATING_MODE = 3u << 7;
// The bank address of a load-mode-register command picks the register: 00 the mode
// register, 10 the extended mode register of a low-power part; 01 and 11 are reserved.
constexpr unsigned MODE_REGISTER = 0, EXTENDED_MODE_REGISTER = 2;

unsigned bank_of(uint32_t pins) {
    return (pins >> sdram::BA_SHIFT) & 3;
}

// The data lines of the byte lanes in `lanes`.
uint32_t lane_lines(uint32_t lanes) {
    uint32_t lines = 0;
    for (unsigned n = 0; n < 4; ++n)
        if ((lanes >> n) & 1)
            lines |= 0xFFu << (8 * n);
    return lines;
}

// A command is the levels of CS#, RAS#, CAS# and WE# at a clock edge. With CS# high or open
// the chips are deselected; RAS#, CAS# or WE# stuck turns every command into another
// (ACTIVE into NOP or AUTO REFRESH, a WRITE into a READ or LOAD MODE, ...), so that the
// start-up never completes and no read or write reaches a row; CKE low stops the chips'
// clock. All of them leave the chips deaf: they never take data nor drive the bus.
bool deaf(const pin_faults& pins) {
    return at_chip(pins.cs, false) || pins.ras != line_fault::none ||
           pins.cas != line_fault::none || pins.we != line_fault::none || !at_chip(pins.cke, true);
}

} // namespace

sdram::sdram(const memory_faults& faults) : faults_(faults), cells_(SIZE / 4, power_up) {}

bool sdram::hear() const {
    return !faults_.pins.any() || !deaf(faults_.pins);
}

uint32_t sdram::power_up(uint32_t index) {
    // A hash of the index, so that a cell's power-up value needs no other cell's.
    uint32_t x = index * 0x9E3779B9u + 0x7F4A7C15u;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x;
}

uint32_t sdram::xorshift(uint32_t& x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

uint32_t sdram::counted_index(uint32_t index) const {
    return faults_.address.apply(faults_.wires.address.apply(index)) & (SIZE / 4 - 1);
}

uint32_t sdram::index(uint32_t offset) const {
    return faults_.address.apply(offset >> 2) & (SIZE / 4 - 1);
}

uint32_t sdram::read(uint32_t offset, unsigned width) {
    if (faults_.wires.any())
        return read_through_wires(offset, width);
    const uint32_t i = index(offset);
    uint32_t held = cells_.load(i);
    if (faults_.cells.any())
        held = faults_.cells.load(i, held);
    const uint32_t word = faults_.data.apply(held);
    const unsigned shift = (offset & 3) * 8;
    return width == 4 ? word : (word >> shift) & width_mask(width);
}

void sdram::write(uint32_t offset, unsigned width, uint32_t value) {
    if (faults_.wires.any()) {
        write_through_wires(offset, width, value);
        return;
    }
    if (faults_.cells.any()) {
        const unsigned shift = (offset & 3) * 8;
        store_cell(index(offset), width_mask(width) << shift, value << shift);
        return;
    }
    uint32_t& cell = cells_.cell(index(offset));
    if (width == 4) {
        cell = value;
        return;
    }
    const unsigned shift = (offset & 3) * 8;
    const uint32_t mask = width_mask(width) << shift;
    cell = (cell & ~mask) | ((value << shift) & mask);
}

// The word index crosses the wires, then reaches the chips' pins.
uint32_t sdram::wired_index(uint32_t offset) const {
    return counted_index(offset >> 2);
}

uint32_t sdram::read_through_wires(uint32_t offset, unsigned width) {
    // A read drives all 32 data lines; the byte lanes are picked out afterwards.
    const uint32_t i = wired_index(offset);
    const uint32_t word =
        faults_.wires.load(faults_.data.apply(faults_.cells.load(i, cells_.load(i))), held_);
    const unsigned shift = (offset & 3) * 8;
    return width == 4 ? word : (word >> shift) & width_mask(width);
}

// A byte or halfword store drives only its own lanes and writes only them (the others are
// masked at the chips). A short to a line of an undriven lane is then a short to a line whose
// driver is off: the driven line alone sets the level, and an open line of an undriven lane
// keeps the level it held.
void sdram::write_through_wires(uint32_t offset, unsigned width, uint32_t value) {
    const unsigned shift = width == 4 ? 0 : (offset & 3) * 8;
    const uint32_t lanes = width_mask(width) << shift;
    const uint32_t seen = faults_.wires.store(value << shift, lanes, held_);
    store_cell(wired_index(offset), lanes, seen);
}

// The lines in `lines` of a cell take `data`, through the faults of single cells.
void sdram::store_cell(uint32_t index, uint32_t lines, uint32_t data) {
    const uint32_t old = cells_.load(index);
    const uint32_t next = (old & ~lines) | (data & lines);
    cells_.cell(index) = faults_.cells.any()
                             ? faults_.cells.store(index, old, next,
                                                   [this](uint32_t victim, uint32_t bit) {
                                                       cells_.cell(victim) ^= bit;
                                                   })
                             : next;
}

void sdram::precharge(uint32_t pins) {
    if (!hear())
        return;
    pins = faults_.pins.address_at_chip(pins);
    if (!(pins & A10)) {
        open_[bank_of(pins)] = false;
        return;
    }
    open_[0] = open_[1] = open_[2] = open_[3] = false;
    // A precharge of all banks starts the start-up sequence again, until it has once
    // completed; afterwards it is the one before every auto-refresh.
    if (!initialised_) {
        precharged_ = true;
        spoiled_ = mode_loaded_ = extended_loaded_ = false;
        refreshes_ = 0;
    }
}

void sdram::auto_refresh() {
    // Refresh needs every bank idle; the chips ignore it otherwise.
    if (hear() && all_idle() && precharged_)
        ++refreshes_;
}

void sdram::load_mode(uint32_t pins) {
    if (!hear() || !all_idle())
        return;
    pins = faults_.pins.address_at_chip(pins);
    if (!initialised_ && (!precharged_ || refreshes_ < 2)) {
        spoiled_ = true; // a register loaded out of the start-up's order
        return;
    }
    const unsigned which = bank_of(pins);
    if (which == MODE_REGISTER) {
        mode_ = pins & 0xFFF;
        mode_loaded_ = true;
    } else if (which == EXTENDED_MODE_REGISTER) {
        // Partial-array refresh, temperature and drive strength: nothing the model feels.
        extended_loaded_ = true;
    }
    initialised_ = initialised_ || (mode_loaded_ && extended_loaded_ && !spoiled_);
}

void sdram::activate(uint32_t pins) {
    if (!hear() || !initialised_)
        return;
    pins = faults_.pins.address_at_chip(pins);
    const unsigned bank = bank_of(pins);
    if (open_[bank])
        return; // an ACTIVE to an open bank is illegal: the bank keeps its row
    open_[bank] = true;
    row_[bank] = pins & ROW_MASK;
}

bool sdram::standard_mode() const {
    return initialised_ && (mode_ & OPERATING_MODE) == 0;
}

bool sdram::answers_at(unsigned cas_latency) const {
    return hear() && standard_mode() &&
           ((mode_ >> CAS_LATENCY_SHIFT) & CAS_LATENCY_MASK) == cas_latency;
}

bool sdram::open_bank(uint32_t pins, unsigned& bank) const {
    bank = bank_of(pins);
    return open_[bank];
}

uint32_t sdram::read_column(uint32_t pins, unsigned cas_latency) {
    if (!hear())
        return held_; // nothing drives the bus: it holds its last level
    if (!answers_at(cas_latency))
        return undefined(4);
    pins = faults_.pins.address_at_chip(pins);
    unsigned bank = 0;
    if (!open_bank(pins, bank))
        return held_; // a read of an idle bank is ignored
    const uint32_t cell = bank << BANK_SHIFT | row_[bank] << ROW_SHIFT | (pins & COLUMN_MASK);
    const uint32_t word = faults_.cells.load(cell, cells_.load(cell));
    if (pins & A10)
        open_[bank] = false;
    // DQM high turns a lane's output drivers off: that lane holds its last level.
    const uint32_t drives = lane_lines(faults_.pins.lanes_at_chip(0xF));
    return faults_.wires.load(faults_.data.apply(word), held_, drives);
}

void sdram::write_column(uint32_t pins, uint32_t lanes, uint32_t value) {
    // The core drives every data line whatever the chips make of the command, a byte or
    // halfword store its data on every lane; DQM picks the lanes the chips take. An open line
    // reaches them high.
    const uint32_t at_chips = faults_.wires.store(value, 0xFFFFFFFF, held_);
    if (!hear() || !standard_mode())
        return;
    pins = faults_.pins.address_at_chip(pins);
    unsigned bank = 0;
    if (!open_bank(pins, bank))
        return; // a write to an idle bank is ignored
    store_cell(bank << BANK_SHIFT | row_[bank] << ROW_SHIFT | (pins & COLUMN_MASK),
               lane_lines(faults_.pins.lanes_at_chip(lanes)), at_chips);
    if (pins & A10)
        open_[bank] = false;
}

} // namespace korvin::sim
