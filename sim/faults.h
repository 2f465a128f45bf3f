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

// What an open data line holds on the processor's side before any store has driven it: the
// level an undriven bus on this board floats at, high.
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
    // pins see; `held` takes the driven levels of the open lines.
    uint32_t store(uint32_t v, uint32_t driven, uint32_t& held) const {
        v = data.apply(v, driven);
        const uint32_t newly = open_data & driven;
        held = (held & ~newly) | (v & newly);
        return v | open_data;
    }
    // A load: the chip drives `v` on every line. Returns what the processor sees.
    uint32_t load(uint32_t v, uint32_t held) const {
        return (data.apply(v) & ~open_data) | (held & open_data);
    }
};

// The faults on one memory's lines. Address faults act on the word index, as the chip's
// address lines count it.
struct memory_faults {
    stuck_lines data, address;
    wire_faults wires;
    cell_faults cells;
    // SDRAM byte lanes (bit k: lane k) whose data mask (DQMk) is stuck low: the lane is
    // written by every store, also a byte or halfword store to another lane.
    uint32_t lanes_stuck_enabled = 0;
    // A path other than the plain one: cells or lanes with faults.
    bool cell_faults_any() const { return cells.any() || lanes_stuck_enabled != 0; }
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

// Adds one --fault argument to `faults`; on a malformed one, or one that names a line another
// fault already holds in a different way, returns false with `error` set.
bool parse_fault(const std::string& text, fault_set& faults, std::string& error);

} // namespace korvin::sim
