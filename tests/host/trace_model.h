#pragma once
// A model of the monitor's memory tests over a faulty memory: it runs the
// data-bus and address-line routines (and the FLASH identification, erase
// plan and completion polls) and returns the result code and the trace text
// the monitor would send in verbose mode.
#include <cstdint>
#include <string>

#include "diagnose.h"

namespace korvin::test {

struct memory_fault {
    int data_bit = -1; // stuck data line, or -1 (it forces what the processor loads)
    int data_level = 0;
    int address_bit = -1; // stuck word-index bit, or -1
    int address_level = 0;
    // Two data lines shorted: on every transfer, store or load, both carry
    // the AND (or the OR) of what their drivers put on them.
    int short_a = -1, short_b = -1;
    bool short_or = false;
    // Two word-index bits shorted: every access, the FLASH's command cycles
    // included, goes to the index with both bits replaced by their AND (OR).
    int address_short_a = -1, address_short_b = -1;
    bool address_short_or = false;
    // An open data line: a load returns on it the level of the processor's
    // last store to the device; the memory sees it at 1.
    int open_bit = -1;
    // FLASH: the chip ignores commands (dead, or unlock cycles not reaching it)
    // and reads float high.
    bool flash_dead = false;
    // FLASH: the chip takes no command, but the array still reads.
    bool flash_commands_lost = false;
};

struct trace_run {
    std::uint32_t code = 0;
    std::string trace;
};

trace_run run_memory_test(memory tested, const memory_fault& fault);

// Whether a stuck word-index bit of the FLASH also moves its command cycles
// (the unlock addresses 0x555 and 0x2AA use word-index bits 0 to 10).
inline bool breaks_flash_commands(int address_bit) {
    return address_bit >= 0 && address_bit <= 10;
}

} // namespace korvin::test
