#pragma once
// Faults injected into the simulated board, from repeatable --fault options.
//
// A memory's lines run from the processor's pins over the board to the chip's pins. Shorts
// and open lines are faults of the wires between them; stuck lines are faults at the chip.
// A store passes the wires, then the chip; a load the chip, then the wires. Address faults
// act on the word index, as the chip's address lines count it.
#include "cell_faults.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin::sim {

// Lines stuck at a level: a value passes through `(v & keep) | set`.
struct stuck_lines {
    uint32_t keep = 0xFFFFFFFF;
    uint32_t set = 0;
    uint32_t apply(uint32_t v) const { return (v & keep) | set; }
    bool any() const { return keep != 0xFFFFFFFF || set != 0; }
};

// Lines bridged together in groups (two shorts of one kind that share a line make a group of
// three): every line of a group carries the AND (wired-AND) or the OR (wired-OR) of the
// levels driven onto the group.
struct shorted_lines {
    struct group {
        uint32_t lines;
        bool wired_or;
    };
    std::vector<group> groups;

    bool any() const { return !groups.empty(); }
    // Every line in some group.
    uint32_t lines() const {
        uint32_t all = 0;
        for (const auto& g : groups)
            all |= g.lines;
        return all;
    }
    // Two lines shorted: joins the groups either already belongs to, which must be of this
    // kind; false, and nothing joined, when one is of the other kind.
    bool join(uint32_t pair, bool wired_or);
    // The levels with the lines in `driven` carrying `v`. A line whose driver is off has no
    // say in its group's level; its own bit of `v` is left as it is.
    uint32_t apply(uint32_t v, uint32_t driven = 0xFFFFFFFF) const {
        for (const auto& g : groups) {
            const uint32_t m = g.lines & driven;
            const bool high = g.wired_or ? (v & m) != 0 : (v & m) == m;
            v = high ? v | m : v & ~m;
        }
        return v;
    }
};

// What an undriven data line holds on the processor's side before any store has driven it:
// the level an undriven bus on this board floats at, high.
constexpr uint32_t HELD_BEFORE_ANY_STORE = 0xFFFFFFFF;

// The faults on one memory's wires.
struct wire_faults {
    shorted_lines data, address;
    // Data lines broken between processor and chip. The chip's input then sits at 1 (its
    // pin is left to float high); a load sees on the processor's side the level the last
    // store drove there, which the bus capacitance holds.
    uint32_t open_data = 0;
    // Set with the first short or open line: the one test an access without faults makes.
    bool faulty = false;

    bool any() const { return faulty; }
    // A store: the processor drives `v` on the lines in `driven`. Returns what the chip's
    // pins see; `held`, the level of every line on the processor's side, takes the driven
    // levels.
    uint32_t store(uint32_t v, uint32_t driven, uint32_t& held) const {
        v = data.apply(v, driven);
        held = (held & ~driven) | (v & driven);
        return v | open_data;
    }
    // A load: the chip drives `v` on the lines in `drives`. Returns what the processor sees:
    // a line the chip does not drive, or an open one, keeps the level `held` has for it; the
    // others take the chip's level.
    uint32_t load(uint32_t v, uint32_t& held, uint32_t drives = 0xFFFFFFFF) const {
        const uint32_t reach = drives & ~open_data;
        v = data.apply(v, drives);
        held = (held & ~reach) | (v & reach);
        return held;
    }
};

// A control or byte-lane line stuck at a level, or open. An open line leaves the chip's input
// to float, and an undriven input on this board sits high: it acts as stuck high.
enum class line_fault : uint8_t { none, low, high, open };

// The level the chip's pin sees of a line the processor drives to `driven`.
inline bool at_chip(line_fault f, bool driven) {
    return f == line_fault::none ? driven : f != line_fault::low;
}

// The faults on a memory's named nets, beside its data and word-index lines: the SDRAM's
// multiplexed address and bank pins, the byte lanes and the control lines.
struct pin_faults {
    // The SDRAM's address pins as one word: MA0..MA12 in bits 0..12, BA0 and BA1 in bits 13
    // and 14. Stuck pins at the chips, shorts on the wires, open pins (the chips' inputs
    // float high) in between.
    stuck_lines address;
    shorted_lines address_shorts;
    uint32_t open_address = 0;
    // Byte lanes by their line: the SDRAM's DQM0..DQM3 (high masks the lane), the WEIM's EB0
    // and EB1 (low enables it). Stuck high or open, a lane is off; stuck low, on.
    line_fault lanes[4] = {};
    // Control lines, all active low: chip select (the SDRAM's CSD0, the WEIM's CS0 or CS1),
    // output enable, write enable; the SDRAM's RAS, CAS and clock enable (active high).
    line_fault cs = line_fault::none, oe = line_fault::none, we = line_fault::none,
               ras = line_fault::none, cas = line_fault::none, cke = line_fault::none;
    // Set with the first of them: the one test an access without them makes.
    bool faulty = false;

    bool any() const { return faulty; }
    // The address pins as the chips see them when the controller drives `pins`.
    uint32_t address_at_chip(uint32_t pins) const {
        return address.apply(address_shorts.apply(pins) | open_address);
    }
    // The lanes the chips take (bit n: lane n) when the processor asserts those in `asserted`.
    uint32_t lanes_at_chip(uint32_t asserted) const {
        uint32_t on = 0;
        for (unsigned n = 0; n < 4; ++n) {
            // DQM and EB alike: low at the chip lets the lane through.
            const bool low = !at_chip(lanes[n], !((asserted >> n) & 1));
            on |= low ? 1u << n : 0u;
        }
        return on;
    }
};

// The faults on one memory's lines. `address` acts on the word index as the test routines count
// it: for the FLASH and the SRAM these are the chip's address lines; for the SDRAM, whose
// pins carry a row and then a column, it is no pin but the index the controller maps.
struct memory_faults {
    stuck_lines data, address;
    wire_faults wires;
    cell_faults cells;
    pin_faults pins;
};

// Faults of the FLASH chip itself.
struct flash_chip_faults {
    uint16_t manufacturer = 0x00C2;
    uint16_t device = 0x227E;
    bool dead = false; // no chip answers: the bus floats high
};

// The boot ROM's ways of not doing what the host expects.
struct boot_faults {
    bool never_wakes = false;
    unsigned wake_after = 1; // the status request that is answered first
    bool wake_alt = false;
    bool refuse_write = false;
    bool refuse_start = false;
};

struct fault_set {
    memory_faults sdram, flash, sram;
    flash_chip_faults flash_chip;
    boot_faults boot;
};

// Adds one --fault argument to `faults`; on a malformed one, one that names a line the memory
// does not have, or one that names a line another fault already holds in a different way,
// returns false with `error` set: "bad --fault 'TEXT'", and why where it is not plain.
bool parse_fault(const std::string& text, fault_set& faults, std::string& error);

} // namespace korvin::sim
