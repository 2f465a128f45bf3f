#pragma once
// Faults injected into the simulated board, from repeatable --fault options.
#include <cstdint>
#include <string>

namespace korvin::sim {

// Lines stuck at a level: a value passes through `(v & keep) | set`.
struct stuck_lines {
    uint32_t keep = 0xFFFFFFFF;
    uint32_t set = 0;
    uint32_t apply(uint32_t v) const { return (v & keep) | set; }
    bool any() const { return keep != 0xFFFFFFFF || set != 0; }
};

struct fault_set {
    stuck_lines sdram_data, sdram_address; // address faults act on the word index
    stuck_lines flash_data, flash_address;
    stuck_lines sram_data, sram_address;
    uint16_t flash_manufacturer = 0x00C2;
    uint16_t flash_device = 0x227E;
    bool flash_dead = false;
    bool boot_never_wakes = false;
    unsigned boot_wake_after = 1; // the status request that is answered first
    bool boot_wake_alt = false;
    bool boot_refuse_write = false;
    bool boot_refuse_start = false;
};

// Adds one --fault argument to `faults`; on a malformed one returns false with `error` set.
bool parse_fault(const std::string& text, fault_set& faults, std::string& error);

} // namespace korvin::sim
